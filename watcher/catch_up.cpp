#include "watcher/catch_up.h"

#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "common/bounded_string.h"
#include "common/owners.h"
#include "common/trace.h"
#include "discovery/state.h"
#include "watcher/filing.h"

namespace {

// The images a single-file job is filed with, in the filing's order of preference.
constexpr const wchar_t* kImageKinds[] = {L".tif", L".pdf", L".xps"};

bool EndsWithNoCase(const std::wstring& wstrName, const wchar_t* pwszTail)
{
    size_t cchTail = wcslen(pwszTail);
    return wstrName.size() > cchTail && lstrcmpiW(wstrName.c_str() + wstrName.size() - cchTail, pwszTail) == 0;
}

// A path that does not fit is not looked at.
bool JoinPath(std::wstring& wstrPath, const wchar_t* pwszFolder, const std::wstring& wstrName)
{
    wstrPath = std::wstring(pwszFolder) + L"\\" + wstrName;
    return wstrPath.size() < kPathCapacity;
}

struct FolderEntry {
    std::wstring wstrName;
    bool bFolder;
};

std::vector<FolderEntry> ListEntries(const wchar_t* pwszFolder, const wchar_t* pwszPattern)
{
    std::vector<FolderEntry> entries;
    std::wstring wstrPattern;
    if (!JoinPath(wstrPattern, pwszFolder, pwszPattern))
        return entries;
    WIN32_FIND_DATAW fd;
    bgt::UniqueFindHandle hFind(FindFirstFileW(wstrPattern.c_str(), &fd));
    if (!hFind)
        return entries;
    do {
        if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0)
            entries.push_back({fd.cFileName, (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileW(hFind.get(), &fd));
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.wstrName < b.wstrName; });
    return entries;
}

bool Exists(const wchar_t* pwszFolder, const std::wstring& wstrName)
{
    std::wstring wstrPath;
    return JoinPath(wstrPath, pwszFolder, wstrName) && PathFileExistsW(wstrPath.c_str());
}

// The stem of "<stem>.ost" or "<stem>.osm": a lock entry's stem ends at its
// first dot, so a name with more dots announces no scan of its own.
std::wstring StemOf(const std::wstring& wstrName)
{
    size_t nDot = wstrName.find(L'.');
    return wstrName.find(L'.', nDot + 1) == std::wstring::npos ? wstrName.substr(0, nDot) : std::wstring();
}

struct FinishedScan {
    std::wstring wstrStem;
    std::vector<std::wstring> files;  // what must have been quiet for no pause
};

// A scan is finished once its lock entry has gone; a template copy with no
// image is left where it is, as a report would leave it.
bool FinishedScanOf(const wchar_t* pwszTemp, const FolderEntry& entry, FinishedScan& scan)
{
    bool bFolderJob = entry.bFolder && EndsWithNoCase(entry.wstrName, L".osm");
    bool bTemplate = !entry.bFolder && EndsWithNoCase(entry.wstrName, L".ost");
    if (!bFolderJob && !bTemplate)
        return false;
    scan.wstrStem = StemOf(entry.wstrName);
    if (scan.wstrStem.empty() || Exists(pwszTemp, scan.wstrStem + L".lck"))
        return false;
    scan.files.clear();
    scan.files.push_back(entry.wstrName);
    if (bFolderJob)
        return true;
    if (Exists(pwszTemp, scan.wstrStem + L".osm"))
        return false;  // the folder job of this stem is filed by its own entry
    for (const wchar_t* pwszKind : kImageKinds) {
        if (Exists(pwszTemp, scan.wstrStem + pwszKind)) {
            scan.files.push_back(scan.wstrStem + pwszKind);
            return true;
        }
    }
    return false;
}

bool IsQuiet(const wchar_t* pwszTemp, const FinishedScan& scan)
{
    std::vector<std::wstring> paths;
    paths.reserve(scan.files.size());
    for (const std::wstring& wstrFile : scan.files)
        paths.push_back(std::wstring(pwszTemp) + L"\\" + wstrFile);
    return FilesQuiet(paths);
}

// ---- what an ended task left ------------------------------------------------

// The job name is <stem><suffix>, the suffix "_<stamp>", "_<stamp>_<n>" or
// "_<n>": the stem is the whole name or the name cut at one of its "_". The
// one whose template copy waits alone in the temporary folder is the one.
std::wstring StrandedTemplateStem(const wchar_t* pwszTemp, const std::wstring& wstrJob)
{
    std::vector<std::wstring> candidates{wstrJob};
    for (size_t n = wstrJob.rfind(L'_'); n != std::wstring::npos && n > 0; n = wstrJob.rfind(L'_', n - 1))
        candidates.push_back(wstrJob.substr(0, n));
    for (const std::wstring& wstrStem : candidates) {
        bool bAlone = Exists(pwszTemp, wstrStem + L".ost") && !Exists(pwszTemp, wstrStem + L".lck") &&
                      !Exists(pwszTemp, wstrStem + L".osm");
        for (const wchar_t* pwszKind : kImageKinds)
            bAlone = bAlone && !Exists(pwszTemp, wstrStem + pwszKind);
        if (bAlone)
            return wstrStem;
    }
    return std::wstring();
}

// A single-file job holds <job>.<image> and <job>.ost; the filing moves the
// image first, so a job cut off between the moves holds the image alone.
void CompleteSingleFileJob(const DeviceInfo* pDev, const std::wstring& wstrJob, const std::wstring& wstrJobFolder)
{
    std::vector<FolderEntry> entries = ListEntries(wstrJobFolder.c_str(), L"*");
    if (entries.size() != 1 || entries[0].bFolder)
        return;
    bool bImage = false;
    for (const wchar_t* pwszKind : kImageKinds)
        bImage = bImage || lstrcmpiW(entries[0].wstrName.c_str(), (wstrJob + pwszKind).c_str()) == 0;
    if (!bImage)
        return;
    std::wstring wstrStem = StrandedTemplateStem(pDev->szTempFolder, wstrJob);
    std::wstring wstrFrom;
    std::wstring wstrTo;
    if (wstrStem.empty() || !JoinPath(wstrFrom, pDev->szTempFolder, wstrStem + L".ost") ||
        !JoinPath(wstrTo, wstrJobFolder.c_str(), wstrJob + L".ost"))
        return;
    if (!MoveFileW(wstrFrom.c_str(), wstrTo.c_str())) {
        TraceMsg(L" Trying to move the file %s has FAILED\r\n", wstrTo.c_str());
        return;
    }
    TraceMsg(L" The File %s was successfully moved\r\n", wstrTo.c_str());
}

void RecoverOneFiling(const DeviceInfo* pDev, const std::wstring& wstrLockFolder)
{
    std::wstring wstrJob = wstrLockFolder.substr(0, wstrLockFolder.size() - 4);
    std::wstring wstrJobFolder;
    std::wstring wstrLockPath;
    if (!JoinPath(wstrJobFolder, pDev->szDocFolder, wstrJob + L".osm") ||
        !JoinPath(wstrLockPath, pDev->szDocFolder, wstrLockFolder))
        return;
    TraceMsg(L" The filing of %s was cut off; finishing it\r\n", wstrJobFolder.c_str());
    // The delivery starts only once the lock folder has gone: a job whose lock
    // folder stands was never delivered.
    bool bDeliver = PathFileExistsW(wstrJobFolder.c_str()) && !RemoveDirectoryW(wstrJobFolder.c_str());
    if (bDeliver)
        CompleteSingleFileJob(pDev, wstrJob, wstrJobFolder);
    RemoveDirectoryW(wstrLockPath.c_str());
    if (bDeliver)
        StartDelivery(wstrJobFolder.c_str());
}

} // namespace

bool CatchUpFinishedScans(const DeviceInfo* pDeviceInfo)
{
    TraceMsg(L" Looking for finished scans in %s\r\n", pDeviceInfo->szTempFolder);
    bool bHeld = false;
    FinishedScan scan;
    for (const FolderEntry& entry : ListEntries(pDeviceInfo->szTempFolder, L"*")) {
        if (!FinishedScanOf(pDeviceInfo->szTempFolder, entry, scan))
            continue;
        bool bSettle = !IsQuiet(pDeviceInfo->szTempFolder, scan);
        bHeld = FileFinishedScan(pDeviceInfo, scan.wstrStem.c_str(), bSettle) == FilingOutcome::Held || bHeld;
    }
    return bHeld;
}

void RecoverEndedFilings(const DeviceInfo* pDeviceInfo)
{
    for (const FolderEntry& entry : ListEntries(pDeviceInfo->szDocFolder, L"*.lck")) {
        if (entry.bFolder && EndsWithNoCase(entry.wstrName, L".lck"))
            RecoverOneFiling(pDeviceInfo, entry.wstrName);
    }
}
