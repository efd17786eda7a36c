#include "watcher/watch_loop.h"

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
constexpr DWORD kEventDataBytes = 0x18000;
constexpr DWORD kEndWaitMs = 2000;
constexpr DWORD kFolderCheckMs = 2000;
constexpr DWORD kReadRetryMs = 2000;
// A scan given up because a file of it was held is tried again this soon,
// whether or not another scan comes.
constexpr ULONGLONG kHeldRetryMs = 20000;
constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;

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

// Records are packed one after another, each at a 4-byte boundary; a record
// that would reach past what the read delivered is not looked at. Answers true
// when a scan was left because a file of it was held open.
bool FileRecords(const DeviceInfo* pDeviceInfo, const BYTE* pbEventData, DWORD dwNumBytes)
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
        if (FileScanRecord(pDeviceInfo, pRecord->FileName, pRecord->FileNameLength) == FilingOutcome::Held)
            bHeld = true;
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

// What the watch owns. The read block and the completion event must outlive
// any read the system may still complete into them: when the cancelled read
// cannot be seen to end, they are left alone.
struct WatchState {
    bgt::UniqueFileHandle hFolder;
    bgt::UniqueHandle hCompletionEvent;
    bgt::UniqueHeapMem readBlock;
    bool bReadPending = false;
    // Finished scans that no report announced are looked for once the first
    // read is outstanding, after every overflow, and a while after a scan was
    // given up because a file of it was held.
    bool bCatchUpDue = true;
    ULONGLONG ullRetryAt = 0;
};

ReadBlock& BlockOf(const WatchState& watch)
{
    return *static_cast<ReadBlock*>(watch.readBlock.get());
}

void EndWatch(WatchState& watch)
{
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

// The recovery goes first: a split it finishes gives back no scan of its own,
// and a job folder it empties leaves its scan whole for the catch-up.
void CatchUp(const DeviceInfo* pDeviceInfo, WatchState& watch)
{
    // Refused folders stay due: looked at again a minute later, at the soonest.
    if (!UserFoldersUsable(pDeviceInfo, FolderUse::Filing))
        return;
    watch.bCatchUpDue = false;
    watch.ullRetryAt = 0;
    bool bRetry = RecoverEndedFilings(pDeviceInfo);
    if (CatchUpFinishedScans(pDeviceInfo) || bRetry)
        watch.ullRetryAt = GetTickCount64() + kHeldRetryMs;
}

bool CatchUpDue(const WatchState& watch)
{
    return watch.bCatchUpDue || (watch.ullRetryAt != 0 && GetTickCount64() >= watch.ullRetryAt);
}

// Windows completes the outstanding read when the watched folder is deleted,
// and the next read then fails; Wine never completes it. So the wait is cut
// into slices, and between them a folder that is gone ends the watch. The
// catch-up runs while the read is outstanding, so that whatever changes after
// its look is reported.
bool WaitForRead(const DeviceInfo* pDeviceInfo, WatchState& watch)
{
    for (;;) {
        if (CatchUpDue(watch))
            CatchUp(pDeviceInfo, watch);
        DWORD dwWait = WaitForSingleObject(watch.hCompletionEvent.get(), kFolderCheckMs);
        if (dwWait != WAIT_TIMEOUT)
            return dwWait == WAIT_OBJECT_0;
        if (FolderGone(pDeviceInfo->szTempFolder))
            return false;
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

void NoteHeld(WatchState& watch)
{
    if (watch.ullRetryAt == 0)
        watch.ullRetryAt = GetTickCount64() + kHeldRetryMs;
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
    if (FileRecords(pDeviceInfo, block.rgbEventData, dwNumBytes))
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
    while (WatchOnce(pDeviceInfo, watch)) {
    }
    EndWatch(watch);
}
