#include "scan_manifest.h"

#include <cstdlib>
#include <set>
#include <stdexcept>

#include "tests/support/test_support.h"
#include "watcher/filing_lock.h"

namespace reliability {
namespace {

std::string Narrow(const std::wstring& w)
{
    std::string s;
    for (wchar_t c : w)
        s += static_cast<char>(c < 0x80 ? c : '?');
    return s;
}

bool EndsWith(const std::wstring& s, const std::wstring& tail)
{
    return s.size() >= tail.size() && _wcsicmp(s.c_str() + s.size() - tail.size(), tail.c_str()) == 0;
}

// A job folder belongs to a scan when its name is the stem followed by
// ".osm" or by a suffix ("_<stamp>", "_<n>").
bool JobFolderOf(const std::wstring& wstrJob, const std::wstring& wstrStem)
{
    if (wstrJob.size() <= wstrStem.size() || _wcsnicmp(wstrJob.c_str(), wstrStem.c_str(), wstrStem.size()) != 0)
        return false;
    wchar_t c = wstrJob[wstrStem.size()];
    return c == L'.' || c == L'_';
}

void ListTreeInto(const std::wstring& wstrRoot, const std::wstring& wstrRel, std::vector<std::wstring>& out)
{
    std::wstring wstrFolder = wstrRel.empty() ? wstrRoot : wstrRoot + L"\\" + wstrRel;
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((wstrFolder + L"\\*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        std::wstring rel = wstrRel.empty() ? name : wstrRel + L"\\" + name;
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            ListTreeInto(wstrRoot, rel, out);
        else
            out.push_back(rel);
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
}

std::wstring Join(const std::set<std::wstring>& names)
{
    std::wstring joined;
    for (const std::wstring& name : names)
        joined += (joined.empty() ? L"" : L", ") + name;
    return joined;
}

struct Location {
    std::wstring wstrJob;  // job folder name; empty for the temporary folder
    std::wstring wstrRel;
};

std::string MakeBytes(unsigned nUnique, const std::wstring& wstrName, size_t cb)
{
    uint64_t x = 1469598103934665603ull ^ (static_cast<uint64_t>(nUnique) * 0x9E3779B97F4A7C15ull);
    for (wchar_t c : wstrName)
        x = (x ^ static_cast<uint64_t>(c)) * 1099511628211ull;
    std::string bytes(cb, '\0');
    for (size_t i = 0; i < cb; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

void WriteWhole(const std::wstring& wstrPath, const std::string& bytes)
{
    HANDLE h = CreateFileW(wstrPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create a dropped file " + Narrow(wstrPath));
    DWORD cbWritten = 0;
    BOOL bOk = bytes.empty() || WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &cbWritten, nullptr);
    CloseHandle(h);
    if (!bOk || cbWritten != bytes.size())
        throw std::runtime_error("cannot write a dropped file " + Narrow(wstrPath));
}

} // namespace

uint64_t HashBytes(const std::string& bytes)
{
    uint64_t h = 1469598103934665603ull;
    for (char c : bytes)
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return h;
}

std::vector<std::wstring> ListTree(const std::wstring& wstrFolder)
{
    std::vector<std::wstring> out;
    ListTreeInto(wstrFolder, L"", out);
    return out;
}

std::string ManifestFindings::Summary() const
{
    return "scans " + std::to_string(nScans) + ": filed " + std::to_string(nFiled) + ", left in the temporary folder " +
           std::to_string(nLeft) + ", split " + std::to_string(nSplit) + "; lost " + std::to_string(nLost) +
           ", duplicated " + std::to_string(nDuplicated) + ", partial/altered " + std::to_string(nPartial) +
           ", out of place " + std::to_string(nStray) + ", empty job folders " + std::to_string(nEmptyJobFolders) +
           ", spread over two job folders " + std::to_string(nSpread) + ", moved away with Documents: lock folders " +
           std::to_string(nLocksMovedAway) + ", empty job folders " + std::to_string(nEmptyJobsMovedAway);
}

ManifestFindings ScanManifest::Check(const std::wstring& wstrTempFolder, const std::vector<std::wstring>& jobAreas,
                                     const std::vector<std::wstring>& movedAway) const
{
    ManifestFindings findings;
    findings.nScans = static_cast<unsigned>(m_scans.size());
    // (hash, size) -> (scan index, file index)
    std::map<std::pair<uint64_t, size_t>, std::pair<size_t, size_t>> byContent;
    for (size_t s = 0; s < m_scans.size(); ++s)
        for (size_t f = 0; f < m_scans[s].files.size(); ++f)
            byContent[{m_scans[s].files[f].ullHash, m_scans[s].files[f].cb}] = {s, f};
    std::map<std::pair<size_t, size_t>, std::vector<Location>> found;

    auto Problem = [&](unsigned& nCounter, const std::string& text) {
        ++nCounter;
        if (findings.problems.size() < 40)
            findings.problems.push_back(text);
    };
    auto Identify = [&](const std::wstring& wstrPath, std::pair<size_t, size_t>& key) {
        std::string bytes = testsupport::ReadFileBytes(wstrPath);
        auto it = byContent.find({HashBytes(bytes), bytes.size()});
        if (it == byContent.end())
            return false;
        key = it->second;
        return true;
    };

    std::vector<std::wstring> areas = jobAreas;
    areas.insert(areas.end(), movedAway.begin(), movedAway.end());
    for (size_t a = 0; a < areas.size(); ++a) {
        const std::wstring& wstrArea = areas[a];
        for (const std::wstring& name : testsupport::ListFolder(wstrArea)) {
            std::wstring wstrPath = wstrArea + L"\\" + name;
            DWORD dwAttributes = GetFileAttributesW(wstrPath.c_str());
            bool bFolder = dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (bFolder && a >= jobAreas.size() && EndsWith(name, L".lck") && ListTree(wstrPath).empty()) {
                ++findings.nLocksMovedAway;
                continue;
            }
            // Wine deletes a delete-on-close file under the name it was opened
            // by: the filing lock of a filing under way when its Documents folder
            // was moved aside stays in the moved folder (Windows deletes it), and
            // so does the marker of a delivery under way then.
            if (!bFolder && a >= jobAreas.size() && (name == kFilingLockName || EndsWith(name, L".delivering"))) {
                ++findings.nLocksMovedAway;
                continue;
            }
            if (!bFolder || !EndsWith(name, L".osm")) {
                Problem(findings.nStray, "left in " + Narrow(wstrArea) + ": " + Narrow(name));
                continue;
            }
            std::vector<std::wstring> files = ListTree(wstrPath);
            if (files.empty() && a >= jobAreas.size())
                ++findings.nEmptyJobsMovedAway;
            else if (files.empty())
                Problem(findings.nEmptyJobFolders, "empty job folder: " + Narrow(wstrPath));
            for (const std::wstring& rel : files) {
                std::pair<size_t, size_t> key;
                if (!Identify(wstrPath + L"\\" + rel, key)) {
                    Problem(findings.nPartial, "no scan has this content: " + Narrow(name + L"\\" + rel));
                    continue;
                }
                if (!JobFolderOf(name, m_scans[key.first].wstrStem))
                    Problem(findings.nStray, "filed in another scan's job folder: " + Narrow(name + L"\\" + rel));
                found[key].push_back({wstrArea + L"\\" + name, rel});
            }
        }
    }
    for (const std::wstring& rel : ListTree(wstrTempFolder)) {
        std::pair<size_t, size_t> key;
        if (!Identify(wstrTempFolder + L"\\" + rel, key))
            continue; // not a scan file (the driver's or a test's own entries)
        const ScanFile& expected = m_scans[key.first].files[key.second];
        if (_wcsicmp(expected.wstrRelPath.c_str(), rel.c_str()) != 0)
            Problem(findings.nStray, "moved within the temporary folder: " + Narrow(rel));
        found[key].push_back({L"", rel});
    }

    for (size_t s = 0; s < m_scans.size(); ++s) {
        const ScanRecord& scan = m_scans[s];
        std::set<std::wstring> places;
        bool bAnyLeft = false;
        bool bAnyFiled = false;
        for (size_t f = 0; f < scan.files.size(); ++f) {
            const std::vector<Location>& where = found[{s, f}];
            if (where.empty()) {
                Problem(findings.nLost, "lost: " + Narrow(scan.files[f].wstrRelPath));
                continue;
            }
            if (where.size() > 1)
                Problem(findings.nDuplicated, "found " + std::to_string(where.size()) +
                                                  " times: " + Narrow(scan.files[f].wstrRelPath));
            for (const Location& loc : where) {
                places.insert(loc.wstrJob);
                (loc.wstrJob.empty() ? bAnyLeft : bAnyFiled) = true;
            }
        }
        places.erase(L"");
        if (places.size() > 1)
            Problem(findings.nSpread, "one scan in " + std::to_string(places.size()) +
                                              " job folders: " + Narrow(scan.wstrStem));
        if (bAnyFiled && bAnyLeft)
            Problem(findings.nSplit, "split: " + Narrow(scan.wstrStem) + " in " + Narrow(Join(places)) +
                                         " and the temporary folder");
        else if (bAnyFiled)
            ++findings.nFiled;
        else if (bAnyLeft)
            ++findings.nLeft;
    }
    return findings;
}

ScanRecord DropScan(const std::wstring& wstrTempFolder, const std::wstring& wstrStem, unsigned nUnique,
                    const DropOptions& options)
{
    ScanRecord scan;
    scan.wstrStem = wstrStem;
    scan.bFolderJob = options.bFolderJob;
    std::wstring wstrBase = wstrTempFolder + L"\\" + wstrStem;
    std::wstring wstrLock = wstrBase + L".lck";
    WriteWhole(wstrLock, {});
    auto Put = [&](const std::wstring& rel, size_t cb, bool bText) {
        std::string bytes = bText ? "Name \"" + Narrow(wstrStem) + "#" + std::to_string(nUnique) + "\"\r\n" + options.strTemplateExtra
                                  : MakeBytes(nUnique, rel, cb);
        WriteWhole(wstrTempFolder + L"\\" + rel, bytes);
        scan.files.push_back({rel, HashBytes(bytes), bytes.size()});
    };
    if (options.bFolderJob) {
        std::wstring wstrFolder = wstrStem + L".osm";
        if (!CreateDirectoryW((wstrTempFolder + L"\\" + wstrFolder).c_str(), nullptr))
            throw std::runtime_error("cannot create a dropped job folder");
        for (int p = 1; p <= options.nPages; ++p) {
            std::wstring page = wstrFolder + L"\\p" + std::to_wstring(p);
            Put(page + L".tif", options.cbImage, false);
            Put(page + L".tmb", 256, false);
            Put(page + L".jpg", options.cbImage / 2 + 1, false);
        }
        Put(wstrFolder + L"\\" + wstrStem + L".ost", 0, true);
    } else {
        Put(wstrStem + L".tif", options.cbImage, false);
        Put(wstrStem + L".ost", 0, true);
    }
    if (options.phHeldOpen != nullptr) {
        // Opened as another program would, sharing reads only: neither a move
        // nor a delete can take it while this handle lives.
        *options.phHeldOpen = CreateFileW((wstrTempFolder + L"\\" + scan.files.front().wstrRelPath).c_str(),
                                          GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    if (options.beforeUnlock)
        options.beforeUnlock();
    if (!DeleteFileW(wstrLock.c_str()))
        throw std::runtime_error("cannot remove a lock entry");
    return scan;
}

unsigned SeedFromEnvironment()
{
    char szSeed[32] = {};
    DWORD cch = GetEnvironmentVariableA("BGTASK_SEED", szSeed, sizeof(szSeed));
    if (cch > 0 && cch < sizeof(szSeed))
        return static_cast<unsigned>(strtoul(szSeed, nullptr, 0));
    LARGE_INTEGER li;
    QueryPerformanceCounter(&li);
    return static_cast<unsigned>(li.QuadPart ^ (li.QuadPart >> 32) ^ GetCurrentProcessId());
}

} // namespace reliability
