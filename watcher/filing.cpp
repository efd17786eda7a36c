#include "watcher/filing.h"

#include <shlwapi.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "common/bounded_string.h"
#include "common/hooks.h"
#include "common/owners.h"
#include "common/trace.h"
#include "delivery/send_to_folder.h"
#include "discovery/folder_check.h"
#include "discovery/state.h"
#include "watcher/filing_lock.h"
#include "watcher/filing_parts.h"

using namespace filing;

namespace {

// The driver may still be finishing its files when the lock entry goes; this
// pause gives it a moment before they are moved away from under it.
constexpr DWORD kSettleMs = 1000;
constexpr DWORD kDeliveryWaitMs = 5000;
constexpr DWORD kDeliveryStackBytes = 2048;
constexpr size_t kMaxExtensionChars = 24;
// Files untouched for this long are not being written any more: a scan found by
// the catch-up that has been quiet this long needs no settling pause.
constexpr ULONGLONG kQuietFor100ns = 3ull * 10000000ull;

// The text from the last dot (the whole name when it has none), at most 24
// characters.
void ExtensionOf(const wchar_t* pwszName, wchar_t (&wszExt)[kMaxExtensionChars + 1])
{
    const wchar_t* pwszDot = wcsrchr(pwszName, L'.');
    bgt::StringCchCopyW(wszExt, ARRAYSIZE(wszExt), pwszDot != nullptr ? pwszDot : pwszName);
}

bool IsLockEntryName(const wchar_t* pwszName)
{
    wchar_t wszExt[kMaxExtensionChars + 1];
    ExtensionOf(pwszName, wszExt);
    return lstrcmpiW(wszExt, L".lck") == 0;
}

// The driver removes the lock entry once the scan is complete, and that
// removal (or a rename away) is reported too: a report that finds the entry
// standing, its creation most often, starts nothing and leaves the scan to that
// later report. Nothing is polled, so a scan written for minutes costs nothing
// meanwhile; a report lost on the way is made up for by the catch-up.
bool WaitForLockEntryGone(const wchar_t* pwszLockEntry)
{
    bool bGone = !PathFileExistsW(pwszLockEntry);
    TraceMsg(L" count of i %d\r\n", 0);
    return bGone;
}

// What a delivery thread is handed: the job folder path for SendToFolder,
// which frees it, and the job's delivery marker.
struct MarkedDelivery {
    void* pvJobFolder;
    HANDLE hMarker;
};

DWORD WINAPI DeliverMarkedJob(LPVOID pv)
{
    bgt::UniqueHeapMem block(pv);
    auto* pDelivery = static_cast<MarkedDelivery*>(pv);
    bgt::UniqueFileHandle hMarker(pDelivery->hMarker);
    DWORD dwResult = SendToFolderMarked(pDelivery->pvJobFolder, hMarker.get());
    // The delivery has ended, delivered or reported: the marker goes with its handle.
    FILE_DISPOSITION_INFO info = {TRUE};
    if (hMarker && !SetFileInformationByHandle(hMarker.get(), FileDispositionInfo, &info, sizeof(info)))
        TraceMsg(L" The delivery marker cannot be removed: %d\r\n", GetLastError());
    return dwResult;
}

// Files the finished scan of one stem (names.wszJobFolder tells where). What
// the temporary folder holds is looked at only once the Documents lock is
// held: another filer of the same folders may have taken the scan meanwhile.
FilingOutcome FileJob(const DeviceInfo* pDev, const wchar_t* pwszStem, const JobStamp& stamp, JobNames& names)
{
    PathBuffer wszOsmInTemp;
    if (!BuildPath(wszOsmInTemp, L"%s%s%s%s", pDev->szTempFolder, L"\\", pwszStem, L".osm"))
        return FilingOutcome::NotFiled;
    DocumentsLock lock(pDev->szDocFolder);
    if (!lock.Held()) {
        names.dwError = ERROR_SHARING_VIOLATION; // another filer of these folders
        return FilingOutcome::Held;
    }
    if (PathFileExistsW(wszOsmInTemp))
        return FileFolderJob(pDev, pwszStem, wszOsmInTemp, stamp, names);
    TraceMsg(L"pathFile doesn't exist %s\r\n", wszOsmInTemp);
    return FileSingleFileJob(pDev, pwszStem, stamp, names);
}

// The lock entry is checked once more right before the files are taken.
bool LockEntryStands(const wchar_t* pwszLockEntry)
{
    if (!PathFileExistsW(pwszLockEntry))
        return false;
    TraceMsg(L" The lock entry %s stands again; the scan is still being written\r\n", pwszLockEntry);
    return true;
}

FilingOutcome FileStem(const DeviceInfo* pDev, const wchar_t* pwszStem, const JobStamp& stamp,
                       HeldWait heldWait = {})
{
    if (!UserFoldersUsable(pDev, FolderUse::Filing))
        return FilingOutcome::Refused;
    JobNames names;
    names.heldWait = heldWait;
    FilingOutcome outcome = FileJob(pDev, pwszStem, stamp, names);
    if (outcome == FilingOutcome::Filed) {
        ReportScanFiled(pDev, pwszStem, names.wszJobFolder);
        StartDelivery(names.wszJobFolder, std::move(names.hDeliveryMarker));
    } else if (names.dwError != 0) {
        ReportScanNotFiled(pDev, pwszStem, names.dwError);
    }
    return outcome;
}

} // namespace

HRESULT GenTimeDateName(wchar_t* pwszName, size_t cchName)
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    return bgt::StringCchPrintfW(pwszName, cchName, L"%d-%d-%d_%d-%d-%d", st.wYear, st.wMonth, st.wDay, st.wHour,
                                 st.wMinute, st.wSecond);
}

void StartDelivery(const wchar_t* pwszJobFolder, bgt::UniqueFileHandle hMarker)
{
    size_t cbPath = (wcslen(pwszJobFolder) + 1) * sizeof(wchar_t);
    bgt::UniqueHeapMem block(HeapAlloc(GetProcessHeap(), 0, sizeof(MarkedDelivery)));
    bgt::UniqueHeapMem pathCopy(HeapAlloc(GetProcessHeap(), 0, cbPath));
    if (!block || !pathCopy)
        return;
    memcpy(pathCopy.get(), pwszJobFolder, cbPath);
    auto* pDelivery = static_cast<MarkedDelivery*>(block.get());
    pDelivery->pvJobFolder = pathCopy.get();
    pDelivery->hMarker = hMarker.get();
    bgt::UniqueHandle hThread(CreateThread(nullptr, kDeliveryStackBytes, DeliverMarkedJob, pDelivery, 0, nullptr));
    if (!hThread) {
        TraceMsg(L" CreateThread for SendToFolder FAILED %d\r\n", GetLastError());
        return;
    }
    // The delivery owns them now.
    block.release();
    pathCopy.release();
    hMarker.release();
    WaitForSingleObject(hThread.get(), kDeliveryWaitMs);
}

FilingOutcome FileScanRecord(const DeviceInfo* pDeviceInfo, const wchar_t* pwchName, DWORD cbName)
{
    DWORD cbWhole = cbName & ~1u;
    bgt::UniqueHeapMem nameCopy(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbWhole + sizeof(wchar_t)));
    if (!nameCopy)
        return FilingOutcome::NotFiled;
    memcpy(nameCopy.get(), pwchName, cbWhole);
    const wchar_t* pwszName = static_cast<const wchar_t*>(nameCopy.get());
    if (!IsLockEntryName(pwszName))
        return FilingOutcome::NotFiled;

    PathBuffer wszFileToMovePath;
    if (!BuildPath(wszFileToMovePath, L"%s%s%s", pDeviceInfo->szTempFolder, L"\\", pwszName))
        return FilingOutcome::NotFiled;
    if (!WaitForLockEntryGone(wszFileToMovePath))
        return FilingOutcome::NotFiled;

    JobStamp stamp;
    MakeStamp(stamp);
    g_hooks.pfnSleep(kSettleMs);
    // A report that arrives late (the removal of an entry already filed) can find
    // the driver writing a new scan of the same name by the end of the pause:
    // its files are not complete yet, and its own removal report files them.
    if (LockEntryStands(wszFileToMovePath))
        return FilingOutcome::NotFiled;

    PathBuffer wszStem;
    const wchar_t* pwszFirstDot = wcschr(pwszName, L'.');
    if (FAILED(bgt::StringCchCopyNW(wszStem, kPathChars, pwszName, static_cast<size_t>(pwszFirstDot - pwszName)))) {
        TraceMsg(L" The path %s does not fit, the job is not filed\r\n", pwszName);
        return FilingOutcome::NotFiled;
    }
    return FileStem(pDeviceInfo, wszStem, stamp);
}

FilingOutcome FileFinishedScan(const DeviceInfo* pDeviceInfo, const wchar_t* pwszStem, bool bSettle, HeldWait heldWait)
{
    PathBuffer wszLockEntry;
    if (!BuildPath(wszLockEntry, L"%s%s%s%s", pDeviceInfo->szTempFolder, L"\\", pwszStem, L".lck"))
        return FilingOutcome::NotFiled;
    JobStamp stamp;
    MakeStamp(stamp);
    if (bSettle)
        g_hooks.pfnSleep(kSettleMs);
    if (LockEntryStands(wszLockEntry))
        return FilingOutcome::NotFiled;
    return FileStem(pDeviceInfo, pwszStem, stamp, heldWait);
}

bool FilesQuiet(const std::vector<std::wstring>& paths)
{
    FILETIME ftNow;
    GetSystemTimeAsFileTime(&ftNow);
    ULARGE_INTEGER now{{ftNow.dwLowDateTime, ftNow.dwHighDateTime}};
    for (const std::wstring& wstrPath : paths) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(wstrPath.c_str(), GetFileExInfoStandard, &data))
            continue;
        ULARGE_INTEGER written{{data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime}};
        if (written.QuadPart + kQuietFor100ns > now.QuadPart)
            return false;
    }
    return true;
}
