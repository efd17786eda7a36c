// The administrator's events of scans the filing could not take: each scan is
// reported once while it stays in the temporary folder, and once more when a
// later try files it, so that the event log shows the fault and its end.
#include <mutex>
#include <set>
#include <string>

#include "common/event_reports.h"
#include "watcher/filing_parts.h"

namespace filing {

namespace {

// The scans reported and not filed since, by their temporary folder and stem
// (compared without case, as the file system does). Shared by every watcher of
// the process: two scanners may file from one folder.
class ReportedScans {
public:
    // True when the scan was not in the set yet.
    bool Add(const std::wstring& wstrKey)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_keys.insert(wstrKey).second;
    }
    // True when the scan was in the set.
    bool Remove(const std::wstring& wstrKey)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_keys.erase(wstrKey) != 0;
    }

private:
    std::mutex m_mutex;
    std::set<std::wstring> m_keys;
};

ReportedScans& Reported()
{
    static ReportedScans s_reported;
    return s_reported;
}

std::wstring ScanKey(const DeviceInfo* pDev, const wchar_t* pwszStem)
{
    std::wstring wstrKey = std::wstring(pDev->szTempFolder) + L"\\" + pwszStem;
    CharLowerBuffW(wstrKey.data(), static_cast<DWORD>(wstrKey.size()));
    return wstrKey;
}

// "C:\...\TempImage\A.ost, C:\...\TempImage\A.tif": what of the scan stands
// in the temporary folder (empty when nothing does).
std::wstring ScanFiles(const DeviceInfo* pDev, const wchar_t* pwszStem)
{
    std::wstring wstrFiles;
    for (const FolderEntry& entry : ListEntries(pDev->szTempFolder, (std::wstring(pwszStem) + L".*").c_str())) {
        if (!wstrFiles.empty())
            wstrFiles += L", ";
        wstrFiles += std::wstring(pDev->szTempFolder) + L"\\" + entry.wstrName;
    }
    return wstrFiles;
}

} // namespace

void ReportScanNotFiled(const DeviceInfo* pDev, const wchar_t* pwszStem, DWORD dwError)
{
    // A scan another filer took meanwhile is not one that stays behind.
    std::wstring wstrFiles = ScanFiles(pDev, pwszStem);
    if (!wstrFiles.empty() && Reported().Add(ScanKey(pDev, pwszStem)))
        ReportFilingFailed(wstrFiles.c_str(), dwError);
}

void ReportScanFiled(const DeviceInfo* pDev, const wchar_t* pwszStem, const wchar_t* pwszJobFolder)
{
    if (Reported().Remove(ScanKey(pDev, pwszStem)))
        ReportFiledLater((std::wstring(pDev->szTempFolder) + L"\\" + pwszStem).c_str(), pwszJobFolder);
}

} // namespace filing
