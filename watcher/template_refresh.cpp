#include "watcher/template_refresh.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "common/trace.h"
#include "delivery/template_file.h"
#include "discovery/state.h"
#include "templates/template_passes.h"
#include "watcher/lookupip.h"

namespace {

// What the main thread keeps between its address checks.
struct AddressFollower {
    // The address the templates were last brought up to: only ever a usable one.
    std::wstring wstrLastWritten;
    // Records whose template could not be brought up to it: tried again at the
    // next check, while the others are left alone. A watcher whose rewrite at
    // its start failed adds its record from its own thread.
    SRWLOCK srwOwed = SRWLOCK_INIT;
    std::vector<const DeviceInfo*> owed;
    // Ticks since the address was last checked.
    DWORD dwTicks = 0;
    // The address table at the last check, and the checks since the name was
    // last resolved.
    AddressTableWatch table;
    DWORD dwQuietChecks = 0;
    // A table that moved is read mid-change as often as not (the address
    // there, its route not yet): the check after it resolves too.
    bool bTableMovedLast = false;
};
AddressFollower g_follower;

// The 5 s tick checks the address only every fifth time: 25 s, within the 30 s
// a changed address may take to be followed.
constexpr DWORD kTicksPerCheck = 5;
// A check whose address table has not moved resolves the name only every
// twelfth time (5 min): the name may come to mean another address without one
// of the PC's own changing.
constexpr DWORD kQuietChecksPerResolve = 12;

constexpr ULONG_PTR kTwainKind = 1;
constexpr ULONG_PTR kWiaKind = 2;

ULONG_PTR KindBit(int nIsWia) { return nIsWia == 0 ? kTwainKind : nIsWia == 1 ? kWiaKind : 0; }

// At most one republish thread waits for g_csTemplateLock; a request made
// meanwhile adds its kinds to that one. The waiting thread takes them over,
// with the session-end count of the latest request, once it holds the lock.
struct RepublishQueue {
    SRWLOCK srw = SRWLOCK_INIT;
    bool bWaiting = false;
    ULONG_PTR ulKinds = 0;
    LONG lStartedUnder = 0;
};
RepublishQueue g_queue;

void TakeQueuedRequest(ULONG_PTR& ulKinds, LONG& lStartedUnder)
{
    AcquireSRWLockExclusive(&g_queue.srw);
    ulKinds = g_queue.ulKinds;
    lStartedUnder = g_queue.lStartedUnder;
    g_queue.bWaiting = false;
    g_queue.ulKinds = 0;
    ReleaseSRWLockExclusive(&g_queue.srw);
}

DWORD WINAPI RepublishThread(LPVOID)
{
    DWORD dwExitCode = 0;
    EnterCriticalSection(&g_csTemplateLock);
    ULONG_PTR ulKinds = 0;
    LONG lStartedUnder = 0;
    TakeQueuedRequest(ulKinds, lStartedUnder);
    if (SessionEndCount() != lStartedUnder) {
        // A session end began since: its delete pass is what the scanners keep.
        TraceMsg(L"  Republish dropped: a session end began\r\n");
    } else {
        for (int nIsWia : {0, 1}) {
            if ((ulKinds & KindBit(nIsWia)) == 0)
                continue;
            DeviceInfo kind = {};
            kind.IsWIA = nIsWia;
            bool bEndThread = false;
            TraceMsg(L"  Getting the republish thread. IsWIA %d\r\n", nIsWia);
            RePublishAllTemplates(&kind, &bEndThread);
            if (bEndThread) {
                dwExitCode = GetLastError();
                break;
            }
        }
    }
    LeaveCriticalSection(&g_csTemplateLock);
    return dwExitCode;
}

bool StartRepublish(ULONG_PTR ulKinds)
{
    if (ulKinds == 0)
        return true;
    LONG lNow = SessionEndCount();
    if ((lNow & 1) != 0)
        return true;
    AcquireSRWLockExclusive(&g_queue.srw);
    bool bJoined = g_queue.bWaiting;
    g_queue.bWaiting = true;
    g_queue.ulKinds |= ulKinds;
    g_queue.lStartedUnder = lNow;
    ReleaseSRWLockExclusive(&g_queue.srw);
    if (bJoined)
        return true;
    HANDLE hThread = CreateThread(nullptr, 0, RepublishThread, nullptr, 0, nullptr);
    if (hThread == nullptr) {
        DWORD dwError = GetLastError();
        AcquireSRWLockExclusive(&g_queue.srw);
        g_queue.bWaiting = false;
        g_queue.ulKinds = 0;
        ReleaseSRWLockExclusive(&g_queue.srw);
        TraceMsg(L"  Republish thread could not be started: %d\r\n", dwError);
        return false;
    }
    // Nobody waits for it: g_csTemplateLock orders it with every other pass.
    CloseHandle(hThread);
    return true;
}

bool DueForCheck(bool bMayHaveMoved)
{
    if (bMayHaveMoved || ++g_follower.dwTicks >= kTicksPerCheck) {
        g_follower.dwTicks = 0;
        return true;
    }
    return false;
}

std::vector<const DeviceInfo*> OwedRecords()
{
    AcquireSRWLockShared(&g_follower.srwOwed);
    std::vector<const DeviceInfo*> owed = g_follower.owed;
    ReleaseSRWLockShared(&g_follower.srwOwed);
    return owed;
}

// A wake, a moved address table or a rewrite still owed may have something
// for the resolve to find; a quiet table leaves the name unresolved for a while.
bool ResolveDue(bool bMayHaveMoved)
{
    bool bTableMoved = g_follower.table.Moved();
    bool bSettling = std::exchange(g_follower.bTableMovedLast, bTableMoved);
    if (bMayHaveMoved || bTableMoved || bSettling || ++g_follower.dwQuietChecks >= kQuietChecksPerResolve ||
        !OwedRecords().empty()) {
        g_follower.dwQuietChecks = 0;
        return true;
    }
    return false;
}

// Brings the first template of each record up to the address last written;
// the kinds whose templates then agree are asked to republish. A record that
// answers 1 is owed the rewrite.
void RewriteTemplates(const std::vector<const DeviceInfo*>& records)
{
    ULONG_PTR ulKinds = 0;
    for (const DeviceInfo* pRecord : records) {
        if (UpdateTemplateRepository(pRecord) == 0) {
            ulKinds |= KindBit(pRecord->IsWIA);
            AcquireSRWLockExclusive(&g_follower.srwOwed);
            std::erase(g_follower.owed, pRecord);
            ReleaseSRWLockExclusive(&g_follower.srwOwed);
        } else {
            OweTemplateRewrite(pRecord);
        }
    }
    StartRepublish(ulKinds);
}

} // namespace

void ResetAddressFollower()
{
    AcquireSRWLockExclusive(&g_follower.srwOwed);
    g_follower.owed.clear();
    ReleaseSRWLockExclusive(&g_follower.srwOwed);
    g_follower.wstrLastWritten.clear();
    g_follower.dwTicks = 0;
    g_follower.table = AddressTableWatch();
    g_follower.dwQuietChecks = 0;
    g_follower.bTableMovedLast = false;
}

void OweTemplateRewrite(const DeviceInfo* pRecord)
{
    AcquireSRWLockExclusive(&g_follower.srwOwed);
    if (std::find(g_follower.owed.begin(), g_follower.owed.end(), pRecord) == g_follower.owed.end())
        g_follower.owed.push_back(pRecord);
    ReleaseSRWLockExclusive(&g_follower.srwOwed);
}

bool StartRepublishForRecords(DeviceInfo* const* ppDevices, DWORD nDevices)
{
    ULONG_PTR ulKinds = 0;
    for (DWORD i = 0; i < nDevices; ++i)
        ulKinds |= ppDevices[i] != nullptr ? KindBit(ppDevices[i]->IsWIA) : 0;
    return StartRepublish(ulKinds);
}

void FollowPcAddress(DeviceInfo* const* ppDevices, DWORD nDevices, bool bMayHaveMoved)
{
    if (SessionEndHolds() || nDevices == 0)
        return;
    std::wstring wstrStored = GetIPAddressText();
    // Nothing is followed until a watcher has made its own check; its finding
    // is where the templates stand, when it is one the scanners can use (not
    // the loopback address a watcher stored while it waited for the network).
    if (wstrStored.empty())
        return;
    if (g_follower.wstrLastWritten.empty() && IsUsableAddressText(wstrStored.c_str()))
        g_follower.wstrLastWritten = wstrStored;
    if (!DueForCheck(bMayHaveMoved) || !ResolveDue(bMayHaveMoved) || lookupip() != S_OK)
        return;
    std::wstring wstrAddress = GetIPAddressText();
    if (!IsUsableAddressText(wstrAddress.c_str()))
        return;
    if (wstrAddress == g_follower.wstrLastWritten) {
        std::vector<const DeviceInfo*> owed = OwedRecords();
        if (!owed.empty())
            RewriteTemplates(owed);
        return;
    }
    TraceMsg(L"  The PC's address moved from %s to %s\r\n", g_follower.wstrLastWritten.c_str(), wstrAddress.c_str());
    g_follower.wstrLastWritten = wstrAddress;
    std::vector<const DeviceInfo*> records;
    for (DWORD i = 0; i < nDevices; ++i)
        if (ppDevices[i] != nullptr)
            records.push_back(ppDevices[i]);
    RewriteTemplates(records);
}
