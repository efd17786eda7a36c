#include "watcher/watch_loop.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "common/event_reports.h"
#include "common/owners.h"
#include "common/trace.h"
#include "discovery/folder_check.h"
#include "discovery/state.h"
#include "watcher/catch_up.h"
#include "watcher/filing.h"

namespace {

constexpr DWORD kOpenAttempts = 51;
constexpr DWORD kOpenPauseMs = 1000;
// A network share refuses a change buffer over 64 KiB (error 87).
constexpr DWORD kEventDataBytes = 0x10000;
constexpr DWORD kEndWaitMs = 2000;
// The folder is looked at this often for having gone: rarely while the folder
// above it is watched, which reports its removal, and as before when it is not.
constexpr ULONGLONG kSlowFolderCheckMs = 60000;
constexpr ULONGLONG kFolderCheckMs = 2000;
constexpr DWORD kReadRetryMs = 2000;
constexpr DWORD kParentEventBytes = 1024;
constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;

// The watches a catch-up asked for from outside must wake. Each watch brings an
// event of its own for its life: one event shared by all would wake only one of
// them, or keep waking them all.
class CatchUpAsks {
public:
    static CatchUpAsks& Watches()
    {
        static CatchUpAsks s_watches;
        return s_watches;
    }
    void Add(HANDLE hEvent)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.push_back(hEvent);
    }
    void Remove(HANDLE hEvent)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.erase(std::remove(m_events.begin(), m_events.end(), hEvent), m_events.end());
    }
    void AskAll()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (HANDLE hEvent : m_events)
            SetEvent(hEvent);
    }

private:
    std::mutex m_lock;
    std::vector<HANDLE> m_events;
};

// A watch's place among those a catch-up request wakes, given back when it ends.
struct CatchUpAsk {
    bgt::UniqueHandle hEvent{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    CatchUpAsk()
    {
        if (hEvent)
            CatchUpAsks::Watches().Add(hEvent.get());
    }
    ~CatchUpAsk()
    {
        if (hEvent)
            CatchUpAsks::Watches().Remove(hEvent.get());
    }
    CatchUpAsk(const CatchUpAsk&) = delete;
    CatchUpAsk& operator=(const CatchUpAsk&) = delete;
};

// The driver creates the temporary folder itself, possibly some time after the
// log-on; give it a while to appear.
bgt::UniqueFileHandle OpenTempFolder(const wchar_t* pwszTempFolder, HANDLE hWaitEvent)
{
    bgt::UniqueFileHandle hFolder;
    for (DWORD dwAttempt = 0; dwAttempt < kOpenAttempts; ++dwAttempt) {
        hFolder.reset(CreateFileW(pwszTempFolder, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
        if (hFolder) {
            TraceMsg(L"  >  Got the file handle!! \r\n");
            return hFolder;
        }
        TraceMsg(L"  > Getting a file handle to the device's directory failed. Waiting for %d seconds  \r\n",
                 dwAttempt);
        if (WaitForSingleObject(hWaitEvent, kOpenPauseMs) == WAIT_FAILED)
            TraceMsg(L"  >  WaitForSingleObject FAILED!! %d\r\n", GetLastError());
    }
    return hFolder;
}

// The stem a change record names: its name up to the first dot.
std::wstring StemOfRecord(const FILE_NOTIFY_INFORMATION* pRecord)
{
    std::wstring wstrName(pRecord->FileName, pRecord->FileNameLength / sizeof(wchar_t));
    return wstrName.substr(0, wstrName.find(L'.'));
}

// Records are packed one after another, each at a 4-byte boundary; a record
// that would reach past what the read delivered is not looked at. What became
// of each scan goes into the schedule; answers true when a scan was held.
bool FileRecords(const DeviceInfo* pDeviceInfo, const BYTE* pbEventData, DWORD dwNumBytes, ScanSchedule& schedule)
{
    constexpr DWORD cbHeader = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    bool bHeld = false;
    DWORD dwOffset = 0;
    for (;;) {
        if (dwNumBytes - dwOffset < cbHeader)
            return bHeld;
        const auto* pRecord = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(pbEventData + dwOffset);
        if (pRecord->FileNameLength > dwNumBytes - dwOffset - cbHeader)
            return bHeld;
        FilingOutcome outcome = FileScanRecord(pDeviceInfo, pRecord->FileName, pRecord->FileNameLength);
        if (outcome == FilingOutcome::NotFiled)
            schedule.Changed(StemOfRecord(pRecord), GetTickCount64());
        else
            schedule.Note(StemOfRecord(pRecord), outcome, GetTickCount64());
        bHeld = bHeld || outcome == FilingOutcome::Held;
        if (pRecord->NextEntryOffset == 0 || pRecord->NextEntryOffset > dwNumBytes - dwOffset)
            return bHeld;
        dwOffset += pRecord->NextEntryOffset;
    }
}

void TraceEndWait(DWORD dwWait)
{
    const wchar_t* pwszText = L"    > Wait abandoned\r\n";
    if (dwWait == WAIT_TIMEOUT)
        pwszText = L"    > Wait timed out\r\n";
    else if (dwWait == WAIT_OBJECT_0)
        pwszText = L"    > Wait event was signaled\r\n";
    TraceMsg(pwszText);
    DebugOut(pwszText);
}

// The system writes into both for as long as a read is outstanding, so they
// live and die together.
struct ReadBlock {
    OVERLAPPED overlapped;
    BYTE rgbEventData[kEventDataBytes];
};

struct ParentBlock {
    OVERLAPPED overlapped;
    BYTE rgbEventData[kParentEventBytes];
};

// The folder above the temporary folder, watched for the removal or rename of
// its entries: Wine never completes a read of a folder that was deleted, but
// reports the deletion to the folder above.
struct ParentWatch {
    bgt::UniqueFileHandle hFolder;
    bgt::UniqueHandle hEvent;
    bgt::UniqueHeapMem block;
    bool bPending = false;
};

// What the watch owns. The read block and the completion event must outlive
// any read the system may still complete into them: when the cancelled read
// cannot be seen to end, they are left alone.
struct WatchState {
    bgt::UniqueFileHandle hFolder;
    bgt::UniqueHandle hCompletionEvent;
    bgt::UniqueHeapMem readBlock;
    bool bReadPending = false;
    ParentWatch parent;
    ULONGLONG ullFolderCheckAt = 0;
    // Finished scans that no report announced are looked for once the first
    // read is outstanding, after every overflow, and when the pause of a scan
    // that could not be filed is over; the recovery of what an ended filing
    // left runs with the first two, and again after a pause of its own while
    // it cannot finish.
    bool bCatchUpDue = true;
    bool bPassUnfinished = false;
    ScanSchedule schedule;
    ULONGLONG ullRecoveryAt = 0;
    ULONGLONG ullRecoveryPauseMs = 0;
    CatchUpAsk ask;
};

ReadBlock& BlockOf(const WatchState& watch)
{
    return *static_cast<ReadBlock*>(watch.readBlock.get());
}

// A read that cannot be seen to end keeps its block and event for good.
void EndParentWatch(ParentWatch& parent)
{
    if (!parent.hFolder)
        return;
    CancelIo(parent.hFolder.get());
    if (parent.bPending && WaitForSingleObject(parent.hEvent.get(), kEndWaitMs) != WAIT_OBJECT_0) {
        parent.block.release();
        parent.hEvent.release();
    }
    parent.hFolder.reset();
}

void EndWatch(WatchState& watch)
{
    EndParentWatch(watch.parent);
    if (watch.hFolder)
        CancelIo(watch.hFolder.get());
    if (!watch.hCompletionEvent)
        return;
    DWORD dwWait = WaitForSingleObject(watch.hCompletionEvent.get(), kEndWaitMs);
    TraceEndWait(dwWait);
    if (dwWait == WAIT_OBJECT_0)
        watch.bReadPending = false;
    watch.hFolder.reset();
    if (watch.bReadPending && WaitForSingleObject(watch.hCompletionEvent.get(), kEndWaitMs) != WAIT_OBJECT_0) {
        TraceMsg(L"  > The cancelled read did not end; its buffer is left in place\r\n");
        watch.readBlock.release();
        watch.hCompletionEvent.release();
    }
}

using PFN_RTLGETLASTNTSTATUS = LONG(WINAPI*)();
constexpr LONG kStatusDeletePending = static_cast<LONG>(0xC0000056);

// Windows reports a folder pending deletion as access denied; only the status
// underneath tells it from a folder that is merely out of reach for a moment.
bool IsDeletePending(DWORD dwError)
{
    if (dwError == ERROR_DELETE_PENDING)
        return true;
    if (dwError != ERROR_ACCESS_DENIED)
        return false;
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    auto pfnLastStatus = hNtdll == nullptr ? nullptr
                                           : reinterpret_cast<PFN_RTLGETLASTNTSTATUS>(
                                                 reinterpret_cast<void*>(GetProcAddress(hNtdll, "RtlGetLastNtStatus")));
    return pfnLastStatus != nullptr && pfnLastStatus() == kStatusDeletePending;
}

// A deleted folder stays behind, pending deletion, while our handle holds it
// open; it can no longer be opened anew. Any other failure to open it (held by
// another program, out of reach for a moment) does not end the watch. A folder
// found gone ends the watch, which the event log is told once.
bool FolderGone(const wchar_t* pwszFolder)
{
    bgt::UniqueFileHandle hProbe(CreateFileW(pwszFolder, FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (hProbe.valid())
        return false;
    DWORD dwError = GetLastError();
    bool bGone = dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND || IsDeletePending(dwError);
    if (!bGone)
        TraceMsg(L"  > The folder %s cannot be opened just now: %d\r\n", pwszFolder, dwError);
    else
        ReportWatchEnded(pwszFolder, dwError);
    return bGone;
}

ULONGLONG FolderCheckPause(const WatchState& watch)
{
    return watch.parent.bPending ? kSlowFolderCheckMs : kFolderCheckMs;
}

bool IssueParentRead(ParentWatch& parent)
{
    auto& block = *static_cast<ParentBlock*>(parent.block.get());
    ZeroMemory(&block, sizeof(block));
    block.overlapped.hEvent = parent.hEvent.get();
    ResetEvent(parent.hEvent.get());
    parent.bPending = ReadDirectoryChangesW(parent.hFolder.get(), block.rgbEventData, kParentEventBytes, FALSE,
                                            FILE_NOTIFY_CHANGE_DIR_NAME, nullptr, &block.overlapped, nullptr) != FALSE;
    return parent.bPending;
}

// Without the folder above (a folder at a drive's root, or one out of reach)
// the folder itself is looked at every 2 s instead.
void WatchParent(const wchar_t* pwszTempFolder, ParentWatch& parent)
{
    std::wstring wstrParent(pwszTempFolder);
    size_t nSlash = wstrParent.find_last_of(L'\\');
    if (nSlash == std::wstring::npos || nSlash < 3)
        return;
    wstrParent.resize(nSlash);
    parent.hFolder.reset(CreateFileW(wstrParent.c_str(), FILE_LIST_DIRECTORY,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    parent.hEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    parent.block.reset(HeapAlloc(GetProcessHeap(), 0, sizeof(ParentBlock)));
    if (!parent.hFolder || !parent.hEvent || !parent.block || !IssueParentRead(parent)) {
        TraceMsg(L"  > The folder above %s cannot be watched: %d\r\n", pwszTempFolder, GetLastError());
        EndParentWatch(parent);
    }
}

// Something above the folder changed: the folder is looked at, and the folder
// above watched again.
bool ParentChanged(const DeviceInfo* pDeviceInfo, WatchState& watch)
{
    watch.parent.bPending = false;
    if (FolderGone(pDeviceInfo->szTempFolder))
        return true;
    if (!IssueParentRead(watch.parent)) {
        EndParentWatch(watch.parent);
        watch.ullFolderCheckAt = GetTickCount64() + kFolderCheckMs;
    }
    return false;
}

// A recovery that cannot finish (the Documents lock not had, a file held) is
// tried again after a pause that doubles as a held scan's does; one with
// nothing to do takes no lock and writes nothing.
void Recover(const DeviceInfo* pDeviceInfo, WatchState& watch)
{
    watch.ullRecoveryAt = 0;
    if (!RecoveryMayHaveWork(pDeviceInfo) || !RecoverEndedFilings(pDeviceInfo)) {
        watch.ullRecoveryPauseMs = 0;
        return;
    }
    watch.ullRecoveryPauseMs = watch.ullRecoveryPauseMs == 0
                                   ? ScanSchedule::kFirstPauseMs
                                   : std::min(watch.ullRecoveryPauseMs * 2, ScanSchedule::kLongestPauseMs);
    watch.ullRecoveryAt = GetTickCount64() + watch.ullRecoveryPauseMs;
}

// A held scan may be a split that only the recovery can finish.
void NoteHeld(WatchState& watch)
{
    if (watch.ullRecoveryAt == 0)
        watch.ullRecoveryAt = GetTickCount64() + ScanSchedule::kFirstPauseMs;
}

bool Reached(ULONGLONG ullAt, ULONGLONG ullNow) { return ullAt != 0 && ullNow >= ullAt; }

// The recovery goes first: a split it finishes gives back no scan of its own,
// and a job folder it empties leaves its scan whole for the catch-up.
void CatchUp(const DeviceInfo* pDeviceInfo, WatchState& watch)
{
    // Refused folders stay due: looked at again a minute later, at the soonest.
    if (!UserFoldersUsable(pDeviceInfo, FolderUse::Filing))
        return;
    if (watch.bCatchUpDue || Reached(watch.ullRecoveryAt, GetTickCount64()))
        Recover(pDeviceInfo, watch);
    watch.bCatchUpDue = false;
    watch.bPassUnfinished = !CatchUpFinishedScans(pDeviceInfo, watch.schedule, watch.hCompletionEvent.get());
    if (watch.schedule.NextTry() != 0)
        NoteHeld(watch);
}

// The first scan or recovery whose pause is over; 0 when none waits for a time.
ULONGLONG NextRetry(const WatchState& watch)
{
    ULONGLONG ullScan = watch.schedule.NextTry();
    if (ullScan == 0 || watch.ullRecoveryAt == 0)
        return std::max(ullScan, watch.ullRecoveryAt);
    return std::min(ullScan, watch.ullRecoveryAt);
}

// Asked from outside (a session end that did not happen gave back the SID a
// filing needs): every scan is tried afresh, as by a new watch.
void Asked(WatchState& watch)
{
    watch.schedule = ScanSchedule();
    watch.bCatchUpDue = true;
}

bool CatchUpDue(const WatchState& watch)
{
    return watch.bCatchUpDue || watch.bPassUnfinished || Reached(NextRetry(watch), GetTickCount64());
}

// How long the watch may sleep before it has something of its own to do.
DWORD NextWakeIn(const WatchState& watch)
{
    ULONGLONG ullWake = watch.ullFolderCheckAt;
    if (NextRetry(watch) != 0)
        ullWake = std::min(ullWake, NextRetry(watch));
    ULONGLONG ullNow = GetTickCount64();
    return ullWake <= ullNow ? 0 : static_cast<DWORD>(ullWake - ullNow);
}

// Windows completes the outstanding read when the watched folder is deleted,
// and the next read then fails; Wine never completes it, but tells the folder
// above. Between the two, a folder that is gone ends the watch. The catch-up
// runs while the read is outstanding, so that whatever changes after its look
// is reported, and it gives way to a report as soon as one is in.
bool WaitForRead(const DeviceInfo* pDeviceInfo, WatchState& watch)
{
    for (;;) {
        if (CatchUpDue(watch))
            CatchUp(pDeviceInfo, watch);
        // A handle not waited on gets an index no wait can answer.
        constexpr DWORD kNotWaited = MAXIMUM_WAIT_OBJECTS;
        HANDLE rgh[3] = {watch.hCompletionEvent.get()};
        DWORD nHandles = 1;
        DWORD dwParent = watch.parent.bPending ? nHandles++ : kNotWaited;
        if (dwParent != kNotWaited)
            rgh[dwParent] = watch.parent.hEvent.get();
        DWORD dwAsk = watch.ask.hEvent ? nHandles++ : kNotWaited;
        if (dwAsk != kNotWaited)
            rgh[dwAsk] = watch.ask.hEvent.get();
        DWORD dwWait = WaitForMultipleObjects(nHandles, rgh, FALSE, NextWakeIn(watch));
        if (dwWait == WAIT_OBJECT_0 + dwAsk) {
            Asked(watch);
            continue;
        }
        if (dwWait == WAIT_OBJECT_0 + dwParent) {
            if (ParentChanged(pDeviceInfo, watch))
                return false;
            continue;
        }
        if (dwWait != WAIT_TIMEOUT)
            return dwWait == WAIT_OBJECT_0;
        if (GetTickCount64() < watch.ullFolderCheckAt)
            continue;
        if (FolderGone(pDeviceInfo->szTempFolder))
            return false;
        watch.ullFolderCheckAt = GetTickCount64() + FolderCheckPause(watch);
    }
}

// A read that cannot be issued ends the watch only when the folder has gone;
// otherwise it is issued again after a pause, and what changed meanwhile is
// looked for. Reads that can never be issued (a buffer too big for a network
// share) leave the catch-up as the only filer: it runs before every pause.
bool ReadFailed(const DeviceInfo* pDeviceInfo, WatchState& watch)
{
    DWORD dwError = GetLastError();
    TraceMsg(L"  > Directory watch failed  \r\n");
    TraceMsg(L" The Last Error is %d\r\n", dwError);
    if (FolderGone(pDeviceInfo->szTempFolder)) {
        watch.readBlock.reset();
        watch.hFolder.reset();
        return false;
    }
    if (CatchUpDue(watch))
        CatchUp(pDeviceInfo, watch);
    WaitForSingleObject(watch.hCompletionEvent.get(), kReadRetryMs);
    watch.bCatchUpDue = true;
    return true;
}

// One read, its wait and its records. False when the watch is over.
bool WatchOnce(const DeviceInfo* pDeviceInfo, WatchState& watch)
{
    ReadBlock& block = BlockOf(watch);
    ZeroMemory(&block, sizeof(block));
    block.overlapped.hEvent = watch.hCompletionEvent.get();
    ResetEvent(watch.hCompletionEvent.get());
    if (!ReadDirectoryChangesW(watch.hFolder.get(), block.rgbEventData, kEventDataBytes, FALSE, kNotifyFilter,
                               nullptr, &block.overlapped, nullptr))
        return ReadFailed(pDeviceInfo, watch);
    watch.bReadPending = true;
    if (!WaitForRead(pDeviceInfo, watch))
        return false;
    watch.bReadPending = false;

    // Windows reports an overflow as 0 bytes; Wine fails the result with
    // ERROR_NOTIFY_ENUM_DIR instead. Either way the changes are gone, and the
    // scans they announced are looked for.
    DWORD dwNumBytes = 0;
    if (!GetOverlappedResult(watch.hFolder.get(), &block.overlapped, &dwNumBytes, FALSE)) {
        DWORD dwError = GetLastError();
        TraceMsg(dwError == ERROR_NOTIFY_ENUM_DIR ? L"  > The change buffer overflowed: %d\r\n"
                                                  : L"  > The read's result cannot be had: %d\r\n",
                 dwError);
        watch.bCatchUpDue = true;
        return true;
    }
    if (dwNumBytes == 0) {
        TraceMsg(L"  >  m_pEventData is too small\r\n");
        watch.bCatchUpDue = true;
        return true;
    }
    if (FileRecords(pDeviceInfo, block.rgbEventData, dwNumBytes, watch.schedule))
        NoteHeld(watch);
    return true;
}

} // namespace

void WatchFolder(DeviceInfo* pDeviceInfo, HANDLE hWaitEvent, HANDLE hCompletionEvent)
{
    WatchState watch;
    watch.hCompletionEvent.reset(hCompletionEvent);
    {
        bgt::UniqueHandle hPause(hWaitEvent);
        watch.hFolder = OpenTempFolder(pDeviceInfo->szTempFolder, hPause.get());
    }
    if (!watch.hFolder) {
        TraceMsg(L"  > Aborting the attempts  \r\n");
        return;
    }
    if (!watch.hCompletionEvent) {
        // Without it no read could ever be seen to complete.
        TraceMsg(L"  > Directory watch failed  \r\n");
        return;
    }
    watch.readBlock.reset(HeapAlloc(GetProcessHeap(), 0, sizeof(ReadBlock)));
    if (!watch.readBlock) {
        TraceMsg(L"  > Allocate the event data buffer failed  \r\n");
        return;
    }
    WatchParent(pDeviceInfo->szTempFolder, watch.parent);
    watch.ullFolderCheckAt = GetTickCount64() + FolderCheckPause(watch);
    while (WatchOnce(pDeviceInfo, watch)) {
    }
    EndWatch(watch);
}

void RequestCatchUp() { CatchUpAsks::Watches().AskAll(); }
