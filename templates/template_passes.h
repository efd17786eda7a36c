#pragma once
// The template passes: delete every template of the user at a session end, and
// republish them when a watcher starts. Both run under g_csTemplateLock.
//
// A WIA request that meets a status on which its thread must give up does not end
// the thread itself (it would die holding g_csTemplateLock): the pass stops
// visiting devices, gives back what it holds and sets *pbEndThread; the caller
// then leaves the lock and ends its thread.
#include <windows.h>

struct DeviceInfo;

// Thread body started suspended by the window procedure at a session-end query;
// the argument is the query's lParam (a 32-bit value). Returns 0.
DWORD WINAPI DeleteTemplateThread(LPVOID pvQueryLParam);

// The delete pass; posts WM_ENDSESSION (1, dwQueryLParam) to g_hWnd at its end
// unless the thread must end.
HRESULT DeleteAllTemplates(DWORD dwQueryLParam, bool* pbEndThread);

// The republish pass for the watcher of pDeviceInfo's driver kind. The caller
// holds g_csTemplateLock. A pass that begins while a session end holds sends
// nothing; one under way when a session end begins stops at its next scanner.
HRESULT RePublishAllTemplates(const DeviceInfo* pDeviceInfo, bool* pbEndThread);

// Session ends as the window procedure sees them: one begins when a query's
// delete pass is started, and ends when the query is cancelled. The count is
// odd while one holds. Written by the main thread, read by any.
void BeginSessionEnd();
void EndSessionEnd();
bool SessionEndHolds();
LONG SessionEndCount();

// True inside a republish pass once a session end has begun since the pass
// started: the pass stops at its next scanner, and a WIA request of it at its
// next root-item retry pause. False outside a republish pass.
bool RepublishCalledOff();

// The pause between a WIA request's root-item tries. Inside a republish pass a
// session end that begins meanwhile ends it at once, so that the delete pass
// is not kept waiting behind it; elsewhere it is a plain pause.
void PauseBeforeRootItemRetry(DWORD dwMilliseconds);
