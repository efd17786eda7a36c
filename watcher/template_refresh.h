#pragma once
// The log-on between its start and its end: the PC's address is followed while
// the task runs, and the user's templates go back onto the scanners after a
// session end that did not happen.
#include <windows.h>

// BeginSessionEnd, EndSessionEnd and SessionEndHolds: a session end holds from
// its delete pass until it is cancelled; meanwhile no template is rewritten and
// no republish is sent, a republish waiting for g_csTemplateLock behind the
// delete pass sends nothing, and one under way stops at its next scanner.
#include "templates/template_passes.h"

struct DeviceInfo;

// Asks every family scanner of the records' driver kinds once to republish the
// user's templates, on a thread of its own under g_csTemplateLock. At most one
// such pass runs and one waits: a request made while one waits joins it. False
// when the thread could not be started.
bool StartRepublishForRecords(DeviceInfo* const* ppDevices, DWORD nDevices);

// Called on every 5 s tick, and with bMayHaveMoved on a wake from sleep. One
// address check with the watchers' rules and no retries, made at once when
// bMayHaveMoved and otherwise only on every fifth call, so a change is still
// followed within 25 s. The name is resolved on a wake, when the PC's address
// table moved at this check or the one before, while a rewrite is owed, and
// otherwise every 5 min: an idle task does not resolve it at all. When a usable
// address differs from the one last written (or a rewrite failed last time),
// each record's first template is brought up to it and the driver kinds whose
// templates agree are asked once to republish. The same address, or none that
// is usable, changes nothing. Runs on the main thread; nothing happens while a
// session end holds.
void FollowPcAddress(DeviceInfo* const* ppDevices, DWORD nDevices, bool bMayHaveMoved = false);

// Forgets what the address checks kept: the records of an earlier run in this
// process are gone, and a rewrite owed to one of them would be tried for ever.
void ResetAddressFollower();

// A record whose first template a watcher could not bring up to the address at
// its start (the file held, say): the next address check tries it again, and
// its driver kind gets the republish it missed once that succeeds.
void OweTemplateRewrite(const DeviceInfo* pRecord);
