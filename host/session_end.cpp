// The session end: the delete pass at the query, and what the verdict that
// follows asks for. A log-off is relayed only for an end that its sender says
// goes ahead, once per query; an end that is cancelled, or gets no verdict within
// a bound, puts the log-on back as it was; an installer's request to close the
// task (ENDSESSION_CLOSEAPP) ends the task once it goes ahead and relays nothing.
#include "host/bgtask.h"

#include <wtsapi32.h>

#include "common/event_log.h"
#include "common/hooks.h"
#include "common/os_version.h"
#include "common/owners.h"
#include "common/trace.h"
#include "discovery/identity.h"
#include "discovery/state.h"
#include "templates/template_passes.h"
#include "watcher/template_refresh.h"
#include "watcher/watch_loop.h"

CBgTask::SessionEnd CBgTask::s_end;

namespace {

constexpr wchar_t kBlockReason[] = L"Orbek Scanner Template Deletion In Progress...";

bool IsLogoff(LPARAM lParam) { return (static_cast<DWORD>(lParam) & ENDSESSION_LOGOFF) != 0; }
bool IsCloseApp(LPARAM lParam) { return (static_cast<DWORD>(lParam) & ENDSESSION_CLOSEAPP) != 0; }

void EnableShutdownPrivilege()
{
    bgt::UniqueHandle hToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, hToken.put())) {
        TraceMsg(L"EndSession: OpenProcessToken failed");
        return;
    }
    TOKEN_PRIVILEGES tp = {};
    LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid);
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(hToken.get(), FALSE, &tp, 0, nullptr, nullptr);
}

} // namespace

LRESULT CBgTask::OnQueryEndSession(LPARAM lParam)
{
    // A new query: whatever the last one left is forgotten.
    KillTimer(g_hWnd, kVerdictTimerId);
    s_end = SessionEnd{};
    s_end.bSenderAwaited = InSendMessage() != FALSE;

    TraceMsg(L"QUERYENDSESSION MESSAGE Delete all templates on all devices");
    // An installer closing the task shows no reason text to anyone: the pass runs
    // without one, so that it runs where the system gives none.
    bool bReasonSet = false;
    if (IsCloseApp(lParam))
        TraceMsg(L"QueryEndSession CLOSEAPP: the task is asked to close");
    else if (IsVistaOrLater())
        bReasonSet = SetBlockReason();
    StartDeleteThread(lParam);
    if (bReasonSet)
        TraceMsg(L"ShutdownBlockReasonCreate Success !!!");
    AwaitDeleteThread();
    if (bReasonSet && !RemoveBlockReason())
        return 0;
    // The sender's verdict follows; without one the log-on is put back after a bound.
    if (s_end.bPassRan && s_end.bSenderAwaited)
        SetTimer(g_hWnd, kVerdictTimerId, kVerdictBoundMs, nullptr);
    TraceMsg(IsLogoff(lParam) ? L"QueryEndSession LOGOFF MESSAGE" : L"QueryEndSession SHUTDOWN MESSAGE");
    TraceMsg(L"DeleteAll template thread is still alive");
    return 1;
}

// The reason text is a courtesy to the user; the deletion is the job. A reason
// the platform refuses (Wine always does) leaves the pass to run without one.
bool CBgTask::SetBlockReason()
{
    TraceMsg(L"Vista specific... ShutdownBlockReasonCreate");
    g_hUser32 = LoadLibraryW(L"User32.dll");
    if (g_hUser32 == nullptr)
        return false;
    g_lpShutDownBlockReasonCreate = reinterpret_cast<PFN_SHUTDOWNBLOCKREASONCREATE>(
        g_hooks.pfnGetProcAddress(g_hUser32, "ShutdownBlockReasonCreate"));
    g_lpShutDownBlockReasonDestroy = reinterpret_cast<PFN_SHUTDOWNBLOCKREASONDESTROY>(
        g_hooks.pfnGetProcAddress(g_hUser32, "ShutdownBlockReasonDestroy"));
    if (g_lpShutDownBlockReasonCreate == nullptr) {
        FreeLibrary(g_hUser32);
        g_hUser32 = nullptr;
        TraceMsg(L"GetProcAddress : : g_lpShutDownBlockReasonCreate FAILED!!!");
        return false;
    }
    if (!g_lpShutDownBlockReasonCreate(g_hWnd, kBlockReason)) {
        TraceMsg(L"ShutdownBlockReasonCreate FAILED!!! with ERROR: %d", GetLastError());
        return false;
    }
    return true;
}

// False when the reason cannot be removed (no function to remove it).
bool CBgTask::RemoveBlockReason()
{
    if (g_lpShutDownBlockReasonDestroy == nullptr) {
        FreeLibrary(g_hUser32);
        g_hUser32 = nullptr;
        TraceMsg(L"GetProcAddress : : g_lpShutDownBlockReasonDestroy FAILED!!!");
        return false;
    }
    if (g_lpShutDownBlockReasonDestroy(g_hWnd))
        TraceMsg(L"ShutdownBlockReasonDestroy Success !!!");
    else
        TraceMsg(L"ShutdownBlockReasonDestroy FAILED!!! with ERROR: %d", GetLastError());
    return true;
}

void CBgTask::StartDeleteThread(LPARAM lParam)
{
    // The query's flags travel as a 32-bit value, unchanged, to the WM_ENDSESSION
    // that the pass posts at its end.
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a thread's one argument is pointer-sized
    LPVOID pvArg = reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(static_cast<DWORD>(lParam)));
    g_hDeleteThread = CreateThread(nullptr, 2048, DeleteTemplateThread, pvArg, CREATE_SUSPENDED, nullptr);
    if (SetThreadPriority(g_hDeleteThread, THREAD_PRIORITY_HIGHEST))
        TraceMsg(L"Set Thread priority Success");
    else
        TraceMsg(L"Set Thread priority Failure");
    // Before the pass can take the template lock: a republish waiting for it, or
    // an address change, now sends nothing.
    BeginSessionEnd();
    if (ResumeThread(g_hDeleteThread) != static_cast<DWORD>(-1)) {
        TraceMsg(L"resumethread successful");
        s_end.bPassRan = true;
        return;
    }
    DWORD dwError = GetLastError();
    TraceMsg(L"resumethread unsuccessful");
    EndSessionEnd();
    // A thread that never runs would hold the session end for ever: it is ended
    // before it has done anything, and the query goes on as if none had started.
    if (g_hDeleteThread != nullptr) {
        TerminateThread(g_hDeleteThread, dwError);
        CloseHandle(g_hDeleteThread);
        g_hDeleteThread = nullptr;
    }
}

void CBgTask::AwaitDeleteThread()
{
    if (g_hDeleteThread == nullptr)
        return;
    // No time limit: the session end is held until every scanner has been asked.
    DWORD dwWait;
    do {
        dwWait = WaitForSingleObject(g_hDeleteThread, INFINITE);
    } while (dwWait == WAIT_TIMEOUT);
    CloseHandle(g_hDeleteThread);
    g_hDeleteThread = nullptr;
}

LRESULT CBgTask::OnEndSession(WPARAM wParam, LPARAM lParam)
{
    if (wParam == 0) {
        OnSessionEndCancelled();
        return 1;
    }
    // The sender of the query (the system, Restart Manager, an installer) says
    // whether the end goes ahead, and only once every program has answered. The
    // pass's own WM_ENDSESSION says nothing of that; it is the verdict only when
    // nobody else will give one.
    if (InSendMessage() == FALSE && s_end.bSenderAwaited)
        return 1;
    OnEndGoesAhead(lParam);
    return 1;
}

void CBgTask::OnEndGoesAhead(LPARAM lParam)
{
    KillTimer(g_hWnd, kVerdictTimerId);
    s_end.bDecided = true;
    // The process may be ended as soon as this message is answered.
    WriteEventsLeftOut();
    if (s_end.bPutBack) {
        // The verdict came after the bound had put the templates back: they go again.
        s_end.bPutBack = false;
        TraceMsg(L"EndSession: the end goes ahead after all; the templates are deleted again");
        StartDeleteThread(lParam);
        AwaitDeleteThread();
    }
    if (IsCloseApp(lParam)) {
        TraceMsg(L"EndSession CLOSEAPP: the task ends");
        EndTask(g_hWnd);
        return;
    }
    RelayOnce(lParam);
}

void CBgTask::OnVerdictBoundOver()
{
    KillTimer(g_hWnd, kVerdictTimerId);
    if (s_end.bDecided || !s_end.bPassRan)
        return;
    // The session is still here and nobody said the end goes ahead: the sender
    // gave up (a closer that stopped, a session end that went nowhere).
    TraceMsg(L"EndSession: no verdict came; the log-on is put back");
    PutLogonBack();
    s_end.bPutBack = true;
}

void CBgTask::RelayOnce(LPARAM lParam)
{
    if (IsLogoff(lParam)) {
        TraceMsg(L"EndSession LOGOFF MESSAGE");
        if (s_end.bRelayed)
            return;
        s_end.bRelayed = true;
        if (!g_hooks.pfnExitWindowsEx(EWX_LOGOFF, 0))
            TraceMsg(L"EndSession: Relaying of Logoff failed");
    } else {
        TraceMsg(L"EndSession SHUTDOWN MESSAGE");
        TraceMsg(L"EndSession SHUTDOWN MESSAGE Enter");
        s_end.bRelayed = true;
        // The shutdown goes on by itself; the task only makes sure that it holds
        // the privilege, and requests no second shutdown.
        EnableShutdownPrivilege();
    }
}

void CBgTask::OnSessionEndCancelled()
{
    KillTimer(g_hWnd, kVerdictTimerId);
    s_end.bDecided = true;
    s_end.bPutBack = false;
    if (s_end.bPassRan)
        PutLogonBack();
}

void CBgTask::PutLogonBack()
{
    s_end.bPassRan = false;
    // The scanners lost the user's templates and the pass gave back the SID text:
    // both come back, and filing goes on as before, including the scans that could
    // not be filed without the SID meanwhile.
    TraceMsg(L"EndSession cancelled: the templates are published again");
    if (FAILED(IdentifyUserSidAgain()))
        TraceMsg(L"EndSession cancelled: the user's SID could not be found again");
    EndSessionEnd();
    StartRepublishForRecords(g_pDevices, g_nDevices);
    RequestCatchUp();
}

void CBgTask::EndTask(HWND hWnd)
{
    CloseWatcherThread();
    WTSUnRegisterSessionNotification(hWnd);
    PostQuitMessage(0);
}
