#include "watcher/catch_up.h"

#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "common/owners.h"
#include "common/trace.h"
#include "discovery/state.h"
#include "watcher/filing.h"
#include "watcher/filing_parts.h"

namespace filing {

bool EndsWithNoCase(const std::wstring& wstrName, const wchar_t* pwszTail)
{
    size_t cchTail = wcslen(pwszTail);
    return wstrName.size() > cchTail && lstrcmpiW(wstrName.c_str() + wstrName.size() - cchTail, pwszTail) == 0;
}

bool JoinPath(std::wstring& wstrPath, const wchar_t* pwszFolder, const std::wstring& wstrName)
{
    wstrPath = std::wstring(pwszFolder) + L"\\" + wstrName;
    return wstrPath.size() < kPathCapacity;
}

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

} // namespace filing

using namespace filing;

namespace {

// The stem of "<stem>.ost", "<stem>.osm" or "<stem>.<image>": a lock entry's
// stem ends at its first dot, so a name with more dots announces no scan of
// its own.
std::wstring StemOf(const std::wstring& wstrName)
{
    size_t nDot = wstrName.find(L'.');
    return wstrName.find(L'.', nDot + 1) == std::wstring::npos ? wstrName.substr(0, nDot) : std::wstring();
}

struct FinishedScan {
    std::wstring wstrStem;
    std::vector<std::wstring> files;  // what must have been quiet for no pause
};

bool IsImageName(const std::wstring& wstrName)
{
    for (const wchar_t* pwszKind : kImageKinds)
        if (EndsWithNoCase(wstrName, pwszKind))
            return true;
    return false;
}

// The image a report would file for the stem: the first kind that stands.
std::wstring PreferredImage(const wchar_t* pwszTemp, const std::wstring& wstrStem)
{
    for (const wchar_t* pwszKind : kImageKinds)
        if (Exists(pwszTemp, wstrStem + pwszKind))
            return wstrStem + pwszKind;
    return std::wstring();
}

// A scan is finished once its lock entry has gone. Each scan is taken once:
// by its folder job, else by its template copy, else by its preferred image
// (a scan without a template copy is filed as a report would file it); a
// template copy with no image is left where it is, as a report would leave it.
bool FinishedScanOf(const wchar_t* pwszTemp, const FolderEntry& entry, FinishedScan& scan)
{
    bool bFolderJob = entry.bFolder && EndsWithNoCase(entry.wstrName, L".osm");
    bool bTemplate = !entry.bFolder && EndsWithNoCase(entry.wstrName, L".ost");
    bool bImage = !entry.bFolder && IsImageName(entry.wstrName);
    if (!bFolderJob && !bTemplate && !bImage)
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
    std::wstring wstrImage = PreferredImage(pwszTemp, scan.wstrStem);
    if (bTemplate) {
        if (wstrImage.empty())
            return false;
        scan.files.push_back(wstrImage);
        return true;
    }
    return !Exists(pwszTemp, scan.wstrStem + L".ost") && lstrcmpiW(wstrImage.c_str(), entry.wstrName.c_str()) == 0;
}

bool IsQuiet(const wchar_t* pwszTemp, const FinishedScan& scan)
{
    std::vector<std::wstring> paths;
    paths.reserve(scan.files.size());
    for (const std::wstring& wstrFile : scan.files)
        paths.push_back(std::wstring(pwszTemp) + L"\\" + wstrFile);
    return FilesQuiet(paths);
}

} // namespace

bool CatchUpFinishedScans(const DeviceInfo* pDeviceInfo)
{
    TraceMsg(L" Looking for finished scans in %s\r\n", pDeviceInfo->szTempFolder);
    bool bHeld = false;
    FinishedScan scan;
    // A stem is taken once per pass: what its filing leaves (an image of a
    // kind it did not prefer) is a scan of its own only for a later pass.
    std::set<std::wstring> taken;
    for (const FolderEntry& entry : ListEntries(pDeviceInfo->szTempFolder, L"*")) {
        if (!FinishedScanOf(pDeviceInfo->szTempFolder, entry, scan) || !taken.insert(scan.wstrStem).second)
            continue;
        bool bSettle = !IsQuiet(pDeviceInfo->szTempFolder, scan);
        bHeld = FileFinishedScan(pDeviceInfo, scan.wstrStem.c_str(), bSettle) == FilingOutcome::Held || bHeld;
    }
    return bHeld;
}
