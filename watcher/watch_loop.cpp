#include "watcher/watch_loop.h"

#include "common/owners.h"
#include "common/trace.h"
#include "discovery/state.h"
#include "watcher/filing.h"

namespace {

constexpr DWORD kOpenAttempts = 51;
constexpr DWORD kOpenPauseMs = 1000;
constexpr DWORD kEventDataBytes = 0x18000;
constexpr DWORD kEndWaitMs = 2000;
constexpr DWORD kFolderCheckMs = 2000;
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
// that would reach past what the read delivered is not looked at.
void FileRecords(const DeviceInfo* pDeviceInfo, const BYTE* pbEventData, DWORD dwNumBytes)
{
    constexpr DWORD cbHeader = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    DWORD dwOffset = 0;
    for (;;) {
        if (dwNumBytes - dwOffset < cbHeader)
            return;
        const auto* pRecord = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(pbEventData + dwOffset);
        if (pRecord->FileNameLength > dwNumBytes - dwOffset - cbHeader)
            return;
        FileScanRecord(pDeviceInfo, pRecord->FileName, pRecord->FileNameLength);
        if (pRecord->NextEntryOffset == 0 || pRecord->NextEntryOffset > dwNumBytes - dwOffset)
            return;
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

// What the watch owns. The read buffer, the overlapped record and the
// completion event must outlive any read the system may still complete into
// them: when the cancelled read cannot be seen to end, they are left alone.
struct WatchState {
    bgt::UniqueFileHandle hFolder;
    bgt::UniqueHandle hCompletionEvent;
    bgt::UniqueHeapMem eventData;
    OVERLAPPED* pOverlapped = nullptr;
    bool bReadPending = false;
};

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
        watch.eventData.release();
        watch.hCompletionEvent.release();
    }
}

// A deleted folder stays behind, pending deletion, while our handle holds it
// open; it can no longer be opened anew.
bool FolderStillThere(const wchar_t* pwszFolder)
{
    bgt::UniqueFileHandle hProbe(CreateFileW(pwszFolder, FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return hProbe.valid();
}

// Windows completes the outstanding read when the watched folder is deleted,
// and the next read then fails; Wine never completes it. So the wait is cut
// into slices, and between them a folder that is gone ends the watch.
bool WaitForRead(const DeviceInfo* pDeviceInfo, const WatchState& watch)
{
    for (;;) {
        DWORD dwWait = WaitForSingleObject(watch.hCompletionEvent.get(), kFolderCheckMs);
        if (dwWait != WAIT_TIMEOUT)
            return dwWait == WAIT_OBJECT_0;
        if (!FolderStillThere(pDeviceInfo->szTempFolder))
            return false;
    }
}

// One read, its wait and its records. False when the watch is over.
bool WatchOnce(const DeviceInfo* pDeviceInfo, WatchState& watch)
{
    ZeroMemory(watch.eventData.get(), kEventDataBytes);
    ResetEvent(watch.hCompletionEvent.get());
    if (!ReadDirectoryChangesW(watch.hFolder.get(), watch.eventData.get(), kEventDataBytes, FALSE, kNotifyFilter,
                               nullptr, watch.pOverlapped, nullptr)) {
        TraceMsg(L"  > Directory watch failed  \r\n");
        TraceMsg(L" The Last Error is %d\r\n", GetLastError());
        watch.eventData.reset();
        watch.hFolder.reset();
        return false;
    }
    watch.bReadPending = true;
    if (!WaitForRead(pDeviceInfo, watch))
        return false;
    watch.bReadPending = false;

    // Windows reports an overflow as 0 bytes; Wine fails the result with
    // ERROR_NOTIFY_ENUM_DIR instead. Either way the changes are gone.
    DWORD dwNumBytes = 0;
    if (!GetOverlappedResult(watch.hFolder.get(), watch.pOverlapped, &dwNumBytes, FALSE))
        return true;
    if (dwNumBytes == 0) {
        TraceMsg(L"  >  m_pEventData is too small\r\n");
        return true;
    }
    FileRecords(pDeviceInfo, static_cast<const BYTE*>(watch.eventData.get()), dwNumBytes);
    return true;
}

} // namespace

void WatchFolder(DeviceInfo* pDeviceInfo, HANDLE hWaitEvent, HANDLE hCompletionEvent, OVERLAPPED* pOverlapped)
{
    WatchState watch;
    watch.hCompletionEvent.reset(hCompletionEvent);
    watch.pOverlapped = pOverlapped;
    {
        bgt::UniqueHandle hPause(hWaitEvent);
        watch.hFolder = OpenTempFolder(pDeviceInfo->szTempFolder, hPause.get());
    }
    if (!watch.hFolder) {
        TraceMsg(L"  > Aborting the attempts  \r\n");
        return;
    }
    if (!watch.hCompletionEvent || pOverlapped == nullptr) {
        // Without them no read could ever be seen to complete.
        TraceMsg(L"  > Directory watch failed  \r\n");
        return;
    }
    watch.eventData.reset(HeapAlloc(GetProcessHeap(), 0, kEventDataBytes));
    if (!watch.eventData) {
        TraceMsg(L"  > Allocate the event data buffer failed  \r\n");
        return;
    }
    while (WatchOnce(pDeviceInfo, watch)) {
    }
    EndWatch(watch);
}
