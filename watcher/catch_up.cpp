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

std::wstring ScanSchedule::KeyOf(const std::wstring& wstrStem)
{
    std::wstring wstrKey = wstrStem;
    if (!wstrKey.empty())
        CharUpperBuffW(wstrKey.data(), static_cast<DWORD>(wstrKey.size()));
    return wstrKey;
}

void ScanSchedule::Note(const std::wstring& wstrStem, FilingOutcome outcome, ULONGLONG ullNow)
{
    std::wstring wstrKey = KeyOf(wstrStem);
    if (outcome == FilingOutcome::Filed) {
        m_entries.erase(wstrKey);
        return;
    }
    if (outcome == FilingOutcome::Refused) {
        m_entries[wstrKey] = {0, kFirstPauseMs, true};
        return;
    }
    if (outcome != FilingOutcome::Held)
        return;
    auto it = m_entries.find(wstrKey);
    ULONGLONG ullPauseMs = kFirstPauseMs;
    if (it != m_entries.end() && !it->second.bRefused)
        ullPauseMs = std::min(it->second.ullPauseMs * 2, kLongestPauseMs);
    m_entries[wstrKey] = {ullNow + ullPauseMs, ullPauseMs, false};
}

void ScanSchedule::Changed(const std::wstring& wstrStem, ULONGLONG ullNow)
{
    auto it = m_entries.find(KeyOf(wstrStem));
    if (it != m_entries.end() && it->second.bRefused)
        it->second = {ullNow + kFirstPauseMs, kFirstPauseMs, false};
}

bool ScanSchedule::Known(const std::wstring& wstrStem) const { return m_entries.count(KeyOf(wstrStem)) != 0; }

bool ScanSchedule::Due(const std::wstring& wstrStem, ULONGLONG ullNow) const
{
    auto it = m_entries.find(KeyOf(wstrStem));
    return it == m_entries.end() || (!it->second.bRefused && ullNow >= it->second.ullNextTry);
}

ULONGLONG ScanSchedule::NextTry() const
{
    ULONGLONG ullFirst = 0;
    for (const auto& [wstrKey, entry] : m_entries)
        if (!entry.bRefused && (ullFirst == 0 || entry.ullNextTry < ullFirst))
            ullFirst = entry.ullNextTry;
    return ullFirst;
}

void ScanSchedule::Keep(const std::set<std::wstring>& stems)
{
    std::set<std::wstring> keys;
    for (const std::wstring& wstrStem : stems)
        keys.insert(KeyOf(wstrStem));
    std::erase_if(m_entries, [&](const auto& item) { return keys.count(item.first) == 0; });
}

namespace {

// A second of a pass at most goes to scans tried before, then the reports
// waiting meanwhile are served.
constexpr ULONGLONG kOldScansBudgetMs = 1000;

// The finished scans of the temporary folder, each stem once: what its filing
// leaves (an image of a kind it did not prefer) is a scan of its own only for
// a later pass.
std::vector<FinishedScan> FinishedScans(const wchar_t* pwszTemp)
{
    std::vector<FinishedScan> scans;
    std::set<std::wstring> taken;
    FinishedScan scan;
    for (const FolderEntry& entry : ListEntries(pwszTemp, L"*"))
        if (FinishedScanOf(pwszTemp, entry, scan) && taken.insert(scan.wstrStem).second)
            scans.push_back(scan);
    return scans;
}

FilingOutcome FileOne(const DeviceInfo* pDeviceInfo, const FinishedScan& scan, HeldWait heldWait = {})
{
    bool bSettle = !IsQuiet(pDeviceInfo->szTempFolder, scan);
    return FileFinishedScan(pDeviceInfo, scan.wstrStem.c_str(), bSettle, heldWait);
}

} // namespace

bool CatchUpFinishedScans(const DeviceInfo* pDeviceInfo)
{
    TraceMsg(L" Looking for finished scans in %s\r\n", pDeviceInfo->szTempFolder);
    bool bHeld = false;
    for (const FinishedScan& scan : FinishedScans(pDeviceInfo->szTempFolder))
        bHeld = FileOne(pDeviceInfo, scan) == FilingOutcome::Held || bHeld;
    return bHeld;
}

bool CatchUpFinishedScans(const DeviceInfo* pDeviceInfo, ScanSchedule& schedule, HANDLE hInterrupt)
{
    TraceMsg(L" Looking for finished scans in %s\r\n", pDeviceInfo->szTempFolder);
    std::vector<FinishedScan> scans = FinishedScans(pDeviceInfo->szTempFolder);
    std::set<std::wstring> stems;
    for (const FinishedScan& scan : scans)
        stems.insert(scan.wstrStem);
    schedule.Keep(stems);
    // New scans go before those tried before, which may be held again.
    std::stable_partition(scans.begin(), scans.end(),
                          [&](const FinishedScan& scan) { return !schedule.Known(scan.wstrStem); });
    ULONGLONG ullOldSpentMs = 0;
    for (const FinishedScan& scan : scans) {
        ULONGLONG ullStart = GetTickCount64();
        bool bOld = schedule.Known(scan.wstrStem);
        if (!schedule.Due(scan.wstrStem, ullStart))
            continue;
        if (WaitForSingleObject(hInterrupt, 0) == WAIT_OBJECT_0 || (bOld && ullOldSpentMs >= kOldScansBudgetMs))
            return false;
        FilingOutcome outcome =
            FileOne(pDeviceInfo, scan, {bOld ? HeldWait::Kind::Once : HeldWait::Kind::Steps, hInterrupt});
        // Its steps cut short by a report: tried afresh, steps and all, once the report is served.
        if (outcome == FilingOutcome::Held && !bOld && WaitForSingleObject(hInterrupt, 0) == WAIT_OBJECT_0)
            return false;
        ULONGLONG ullEnd = GetTickCount64();
        schedule.Note(scan.wstrStem, outcome, ullEnd);
        if (bOld)
            ullOldSpentMs += ullEnd - ullStart;
    }
    return true;
}
