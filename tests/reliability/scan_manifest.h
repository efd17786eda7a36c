#pragma once
// What every generated scan consists of (a hash per file) and the invariant
// check of the filing against it: each file of each scan is found exactly once,
// byte-identical, either in a job folder of its own scan or untouched where the
// driver left it in the temporary folder; nothing else lies in a job folder (no
// empty, partial or temporary file), and no lock folder is left behind.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace reliability {

struct ScanFile {
    std::wstring wstrRelPath;  // below the temporary folder, e.g. L"S1.tif" or L"F.osm\\p1.tif"
    uint64_t ullHash = 0;
    size_t cb = 0;
};

struct ScanRecord {
    std::wstring wstrStem;
    bool bFolderJob = false;
    std::vector<ScanFile> files;
};

uint64_t HashBytes(const std::string& bytes);

struct ManifestFindings {
    unsigned nScans = 0;
    unsigned nFiled = 0;       // every file in one job folder
    unsigned nLeft = 0;        // every file untouched in the temporary folder
    unsigned nSplit = 0;       // some files filed, the others left untouched
    unsigned nLost = 0;        // files found nowhere
    unsigned nDuplicated = 0;  // files found more than once
    unsigned nPartial = 0;     // files in a job folder that match no scan file (empty, partial, altered)
    unsigned nStray = 0;       // anything else out of place (lock folders, moved-but-not-filed files, wrong job)
    unsigned nEmptyJobFolders = 0;
    // Scans whose files, each found once, lie in two job folders: a file that
    // could not be moved with its scan is filed on the lock entry's second
    // change record into a job folder of its own.
    unsigned nSpread = 0;
    // Lock folders, and job folders left empty, in a Documents folder that was
    // moved away while a filing was under way: the task can no longer reach
    // them by their path, so it can neither finish nor take back that filing.
    unsigned nLocksMovedAway = 0;
    unsigned nEmptyJobsMovedAway = 0;
    std::vector<std::string> problems;
    bool Holds() const { return nLost == 0 && nDuplicated == 0 && nPartial == 0 && nStray == 0; }
    std::string Summary() const;
};

class ScanManifest {
public:
    void Add(const ScanRecord& scan) { m_scans.push_back(scan); }
    void Clear() { m_scans.clear(); }
    size_t Size() const { return m_scans.size(); }
    // jobAreas: the Documents folder; movedAway: places a Documents folder was
    // moved aside to, searched alike. Files of the temporary folder that belong
    // to no scan are not looked at.
    ManifestFindings Check(const std::wstring& wstrTempFolder, const std::vector<std::wstring>& jobAreas,
                           const std::vector<std::wstring>& movedAway = {}) const;

private:
    std::vector<ScanRecord> m_scans;
};

// Drops a scan the way the driver does (lock entry, files, lock entry removed)
// with content unique to nUnique, and answers what it dropped. With
// pHeldOpen, the scan's first image is left open without delete sharing and
// its handle handed back (the caller closes it).
struct DropOptions {
    bool bFolderJob = false;
    int nPages = 2;
    size_t cbImage = 4096;
    HANDLE* phHeldOpen = nullptr;
    std::string strTemplateExtra;  // more template lines, e.g. a send-to-folder destination
    // Runs once the files are written and before the lock entry goes, the moment
    // the filing is set off: a fault set up here meets the filing itself.
    std::function<void()> beforeUnlock;
};
ScanRecord DropScan(const std::wstring& wstrTempFolder, const std::wstring& wstrStem, unsigned nUnique,
                    const DropOptions& options);

// Every file below a folder, as paths relative to it.
std::vector<std::wstring> ListTree(const std::wstring& wstrFolder);

// The seed of a randomised test: BGTASK_SEED when set, else one from the clock.
// Printed by the caller so that a run can be repeated.
unsigned SeedFromEnvironment();

} // namespace reliability
