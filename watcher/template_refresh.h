#pragma once
// The log-on between its start and its end: the PC's address is followed while
// the task runs, and the user's templates go back onto the scanners after a
// session end that did not happen.
#include <windows.h>

struct DeviceInfo;

// A session end holds from its delete pass until it is cancelled; meanwhile no
// template is rewritten and no republish is sent, and a republish that was
// waiting for g_csTemplateLock behind the delete pass sends nothing.
void BeginSessionEnd();
void EndSessionEnd();
bool SessionEndHolds();

// Asks every family scanner of the records' driver kinds once to republish the
// user's templates, on a thread of its own under g_csTemplateLock. False when
// the thread could not be started.
bool StartRepublishForRecords(DeviceInfo* const* ppDevices, DWORD nDevices);

// One address check with the watchers' rules and no retries. When a usable
// address differs from the one last written, each record's first template is
// brought up to it and the driver kinds whose templates agree are asked once to
// republish. The same address, or none that is usable, changes nothing. Runs on
// the main thread; nothing happens while a session end holds or before the
// watchers have made their own check.
void FollowPcAddress(DeviceInfo* const* ppDevices, DWORD nDevices);
