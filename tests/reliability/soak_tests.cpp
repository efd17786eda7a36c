// About a thousand scans through the real watch loop (real directory
// notifications, drops as the driver makes them), with about one in ten meeting
// a fault: a file held open without delete sharing, a read-only, missing or
// blocked Documents folder, the temporary folder deleted and made anew, and,
// where a small tmpfs drive could be mounted around the run, a disk found full
// as the filing starts. At the end every scan is checked against its manifest:
// nothing lost, duplicated, altered or half-moved. Seeded; BGTASK_SEED repeats
// a run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <random>

#include "common/owners.h"
#include "common/trace.h"
#include "discovery/identity.h"
#include "discovery/state.h"
#include "scan_manifest.h"
#include "tests/support/test_support.h"
#include "tests/support/watch_runner.h"

using namespace reliability;
using namespace std::chrono_literals;
using testsupport::PathExists;

namespace {

constexpr unsigned kScans = 1000;

// Counts, without keeping them, the texts that mark the watch's progress.
std::atomic<unsigned> g_nLockRecords{0};
std::atomic<unsigned> g_nWatchesOpen{0};
void CountingSink(const wchar_t* pszText)
{
    if (wcsncmp(pszText, L" count of i ", 12) == 0)
        ++g_nLockRecords;
    else if (wcscmp(pszText, L"  >  Got the file handle!! \r\n") == 0)
        ++g_nWatchesOpen;
}

// The small drive's folder (BGTASK_SMALL_DRIVE, set by small_drive.sh), or
// empty when none was mounted.
std::wstring SmallDriveFromEnvironment()
{
    wchar_t wszDrive[MAX_PATH] = {};
    DWORD cch = GetEnvironmentVariableW(L"BGTASK_SMALL_DRIVE", wszDrive, MAX_PATH);
    return cch > 0 && cch < MAX_PATH ? std::wstring(wszDrive) : std::wstring();
}

// Fills a drive to a chosen headroom: its data blocks with one file, then its
// inodes with empty files. Release gives it all back.
class DiskFiller {
public:
    explicit DiskFiller(std::wstring folder) : m_folder(std::move(folder)) {}
    ~DiskFiller() { Release(); }

    void Fill(ULONGLONG cbHeadroom, unsigned nInodesHeadroom)
    {
        FillBlocks(cbHeadroom);
        FillInodes(nInodesHeadroom);
    }

    void Release()
    {
        for (const std::wstring& file : m_files)
            DeleteFileW(file.c_str());
        m_files.clear();
    }

private:
    void FillBlocks(ULONGLONG cbHeadroom)
    {
        std::wstring path = m_folder + L"\\blocks";
        bgt::UniqueFileHandle hFile(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!hFile)
            return;
        m_files.push_back(path);
        static const std::vector<char> zeros(64 * 1024);
        for (DWORD cbChunk : {64u * 1024u, 4096u}) {
            DWORD cbWritten = 0;
            while (WriteFile(hFile.get(), zeros.data(), cbChunk, &cbWritten, nullptr) && cbWritten == cbChunk) {
            }
        }
        LARGE_INTEGER liSize;
        if (cbHeadroom == 0 || !GetFileSizeEx(hFile.get(), &liSize))
            return;
        LARGE_INTEGER liEnd;
        liEnd.QuadPart = liSize.QuadPart > static_cast<LONGLONG>(cbHeadroom) ? liSize.QuadPart - cbHeadroom : 0;
        SetFilePointerEx(hFile.get(), liEnd, nullptr, FILE_BEGIN);
        SetEndOfFile(hFile.get());
    }

    void FillInodes(unsigned nHeadroom)
    {
        std::vector<std::wstring> made;
        for (unsigned i = 0; i < 4096; ++i) {
            std::wstring path = m_folder + L"\\i" + std::to_wstring(i);
            bgt::UniqueFileHandle hFile(
                CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!hFile)
                break;
            made.push_back(path);
        }
        for (unsigned i = 0; i < nHeadroom && !made.empty(); ++i) {
            DeleteFileW(made.back().c_str());
            made.pop_back();
        }
        m_files.insert(m_files.end(), made.begin(), made.end());
    }

    std::wstring m_folder;
    std::vector<std::wstring> m_files;
};

struct FaultFigures {
    unsigned nHeldOpen = 0;
    unsigned nReadOnlyDocs = 0;
    unsigned nMissingDocs = 0;
    unsigned nBlockedDocs = 0;
    unsigned nTempRecreated = 0;
    unsigned nFullDisk = 0;
    unsigned nScansUnderFault = 0;
};

class Soak : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(S_OK, InitUserIdentity()); }

    void SetUp() override
    {
        m_temp = m_root / L"TempImage";
        m_docs = m_root / L"Documents";
        testsupport::MakeFolder(m_temp);
        testsupport::MakeFolder(m_docs);
        ZeroMemory(&m_device, sizeof(m_device));
        wcscpy_s(m_device.szTempFolder, m_temp.c_str());
        wcscpy_s(m_device.szDocFolder, m_docs.c_str());
        m_pfnOldSink = SetTraceSink(CountingSink);
        m_small = SmallDriveFromEnvironment();
        if (!m_small.empty()) {
            m_smallTemp = m_small + L"\\TempImage";
            m_smallDocs = m_small + L"\\Documents";
            testsupport::MakeFolder(m_smallTemp);
            testsupport::MakeFolder(m_smallDocs);
            testsupport::MakeFolder(m_small + L"\\filler");
        }
    }

    void TearDown() override
    {
        if (m_hThread)
            StopWatch();
        SetTraceSink(m_pfnOldSink);
        if (!m_small.empty()) {
            testsupport::RemoveTree(m_small + L"\\TempImage");
            testsupport::RemoveTree(m_small + L"\\Documents");
            testsupport::RemoveTree(m_small + L"\\filler");
        }
    }

    bool StartWatch()
    {
        unsigned nOpen = g_nWatchesOpen.load();
        m_args = {};
        m_args.pDevice = &m_device;
        m_args.hWait = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_args.hCompletion = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_hThread.reset(CreateThread(nullptr, 0, testsupport::RunWatch, &m_args, 0, nullptr));
        bool bOpen = testsupport::WaitFor([&] { return g_nWatchesOpen.load() > nOpen; }, 10s);
        Sleep(200); // its first read follows the opening at once
        return bOpen;
    }

    // The folder is renamed away (Wine keeps a deleted folder in place while
    // the watch holds it open), which ends the watch; whatever scans it still
    // held are put back into the new folder, untouched.
    bool StopWatch()
    {
        std::wstring gone = m_temp + L".gone";
        if (!MoveFileW(m_temp.c_str(), gone.c_str()))
            return false;
        bool bEnded = WaitForSingleObject(m_hThread.get(), 20000) == WAIT_OBJECT_0;
        m_hThread.reset();
        testsupport::MakeFolder(m_temp);
        for (const std::wstring& name : testsupport::ListFolder(gone))
            MoveFileW((gone + L"\\" + name).c_str(), (m_temp + L"\\" + name).c_str());
        testsupport::RemoveTree(gone);
        return bEnded;
    }

    // Every record of the burst's lock entries handled, or a bound passed.
    void WaitForRecords(unsigned nExpected)
    {
        if (!testsupport::WaitFor([&] { return g_nLockRecords.load() >= nExpected; }, 15s))
            ++m_nSlowBursts;
    }

    // A filing of the stem under way holds its lock folder in Documents until
    // what it moved is in the job or back in the temporary folder: looked at
    // first, it leaves no moment when the scan is in neither place.
    bool FilingUnderWay(const std::wstring& stem) const
    {
        WIN32_FIND_DATAW data;
        HANDLE hFind = FindFirstFileW((m_docs + L"\\" + stem + L"*.lck").c_str(), &data);
        if (hFind == INVALID_HANDLE_VALUE)
            return false;
        FindClose(hFind);
        return true;
    }

    bool ScanFilesInTemp(const std::wstring& stem) const
    {
        for (const wchar_t* pwszExt : {L".tif", L".ost", L".osm"})
            if (PathExists(m_temp + L"\\" + stem + pwszExt))
                return true;
        return false;
    }

    // Points the watch at the other pair of temporary and Documents folders.
    bool SwapDrives()
    {
        if (!StopWatch())
            return false;
        std::swap(m_temp, m_smallTemp);
        std::swap(m_docs, m_smallDocs);
        wcscpy_s(m_device.szTempFolder, m_temp.c_str());
        wcscpy_s(m_device.szDocFolder, m_docs.c_str());
        return StartWatch();
    }

    // A burst on the small drive, each scan finding the drive full (to a random
    // headroom of blocks and inodes) as its lock entry goes and the filing
    // starts. Whatever cannot be filed must stay untouched in the temporary folder.
    void RunFullDiskBurst(std::mt19937& rng, unsigned nBurst, unsigned& nDropped)
    {
        ASSERT_TRUE(SwapDrives());
        DiskFiller filler(m_small + L"\\filler");
        for (unsigned i = 0; i < nBurst; ++i) {
            DropOptions options;
            options.bFolderJob = rng() % 100 < 30;
            options.nPages = 1 + static_cast<int>(rng() % 3);
            options.cbImage = 512 + rng() % 20000;
            // Removing the lock entry frees one inode: with no headroom the
            // filing finds room for the lock folder and none for a job folder.
            // A folder job only renames the driver's folder, which needs no room.
            ULONGLONG cbHeadroom = (rng() % 4) * 16 * 1024;
            unsigned nInodes = rng() % 3;
            options.beforeUnlock = [&] { filler.Fill(cbHeadroom, nInodes); };
            unsigned nRecordsBefore = g_nLockRecords.load();
            m_smallManifest.Add(DropScan(m_temp, L"D" + std::to_wstring(nDropped + 1), nDropped + 1, options));
            ++nDropped;
            WaitForRecords(nRecordsBefore + 2);
            filler.Release();
        }
        ASSERT_TRUE(SwapDrives());
    }

    // One try: a folder that a filing or a listing holds at that moment (Wine
    // refuses the rename then) is left where it is, and the burst runs
    // without the fault. Trying again would only land the move inside a
    // filing, between its two moves, more often than a user would.
    bool MoveDocumentsAside()
    {
        std::wstring aside = m_docs + L".aside" + std::to_wstring(m_jobAreas.size());
        if (!MoveFileW(m_docs.c_str(), aside.c_str()))
            return false;
        m_jobAreas.push_back(aside);
        return true;
    }

    // A filing still under way may make Documents again between the move and
    // the file taking its name: that folder goes aside too.
    bool BlockDocumentsWithAFile()
    {
        for (int nTry = 0; nTry < 20; ++nTry) {
            if (PathExists(m_docs) && !MoveDocumentsAside())
                return false;
            bgt::UniqueFileHandle hFile(CreateFileW(m_docs.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                    FILE_ATTRIBUTE_NORMAL, nullptr));
            DWORD cbWritten = 0;
            if (hFile)
                return WriteFile(hFile.get(), "not a folder", 12, &cbWritten, nullptr) != FALSE;
        }
        return false;
    }

    testsupport::ScratchFolder m_root;
    testsupport::SleepRecorder m_instantSleep;
    std::wstring m_temp;
    std::wstring m_docs;
    std::vector<std::wstring> m_jobAreas;
    std::wstring m_small;  // empty without a small drive
    std::wstring m_smallTemp;
    std::wstring m_smallDocs;
    ScanManifest m_smallManifest;
    DeviceInfo m_device;
    testsupport::WatchArgs m_args;
    bgt::UniqueHandle m_hThread;
    TraceSinkFn m_pfnOldSink = nullptr;
    unsigned m_nSlowBursts = 0;
};

TEST_F(Soak, ThousandScansWithFaults_NoneLostDuplicatedAlteredOrPartial)
{
    const unsigned nSeed = SeedFromEnvironment();
    std::cout << "[ soak ] seed " << nSeed << " (set BGTASK_SEED=" << nSeed << " to repeat)" << std::endl;
    RecordProperty("seed", static_cast<int>(nSeed));
    std::mt19937 rng(nSeed);
    auto Chance = [&](unsigned nPercent) { return rng() % 100 < nPercent; };
    auto tStart = std::chrono::steady_clock::now();

    ASSERT_TRUE(StartWatch());
    ScanManifest manifest;
    FaultFigures faults;
    unsigned nDropped = 0;
    unsigned nRepeats = 0;
    unsigned nFolderJobs = 0;
    unsigned nStem = 0;
    std::wstring lastCleanStem;
    while (nDropped < kScans) {
        // A burst: mostly a few scans, now and then twenty at once.
        unsigned nBurst = Chance(10) ? 20 : 1 + rng() % 5;
        nBurst = std::min(nBurst, kScans - nDropped);
        if (!m_small.empty() && Chance(3)) {
            nBurst = std::min(nBurst, 4u);
            RunFullDiskBurst(rng, nBurst, nDropped);
            if (HasFatalFailure())
                return;
            ++faults.nFullDisk;
            faults.nScansUnderFault += nBurst;
            lastCleanStem.clear();
            continue;
        }

        // A fault on the Documents folder holds for the whole burst.
        unsigned nDocsFault = Chance(8) ? 1 + rng() % 3 : 0;
        if (nDocsFault == 1) {
            SetFileAttributesW(m_docs.c_str(), FILE_ATTRIBUTE_READONLY);
            ++faults.nReadOnlyDocs;
        } else if (nDocsFault == 2 && PathExists(m_docs) && MoveDocumentsAside()) {
            ++faults.nMissingDocs;
        } else if (nDocsFault == 3 && BlockDocumentsWithAFile()) {
            ++faults.nBlockedDocs;
        }

        std::vector<HANDLE> held;
        unsigned nRecordsBefore = g_nLockRecords.load();
        for (unsigned i = 0; i < nBurst; ++i) {
            // The same stem again within the second, once every record so far
            // has been handled and its last scan has left. (A record still
            // waiting would take the new scan's files as they are written.)
            std::wstring stem;
            bool bRepeat = !lastCleanStem.empty() && Chance(25);
            if (bRepeat)
                WaitForRecords(nRecordsBefore + 2 * i);
            if (bRepeat && !FilingUnderWay(lastCleanStem) && !ScanFilesInTemp(lastCleanStem)) {
                stem = lastCleanStem;
                ++nRepeats;
            } else {
                stem = L"K" + std::to_wstring(++nStem);
            }
            DropOptions options;
            options.bFolderJob = Chance(20);
            options.nPages = 1 + static_cast<int>(rng() % 3);
            options.cbImage = 512 + rng() % 20000;
            HANDLE hHeld = INVALID_HANDLE_VALUE;
            bool bHold = Chance(4);
            if (bHold)
                options.phHeldOpen = &hHeld;
            manifest.Add(DropScan(m_temp, stem, ++nDropped, options));
            nFolderJobs += options.bFolderJob ? 1 : 0;
            if (bHold) {
                ++faults.nHeldOpen;
                held.push_back(hHeld);
            }
            faults.nScansUnderFault += (bHold || nDocsFault != 0) ? 1 : 0;
            lastCleanStem = (bHold || nDocsFault >= 2) ? std::wstring() : stem;
        }
        WaitForRecords(nRecordsBefore + 2 * nBurst);
        for (HANDLE h : held)
            CloseHandle(h);

        if (nDocsFault == 1) {
            SetFileAttributesW(m_docs.c_str(), FILE_ATTRIBUTE_NORMAL);
        } else if (nDocsFault == 3) {
            DeleteFileW(m_docs.c_str());
            testsupport::MakeFolder(m_docs);
        }
        if (Chance(2)) {
            ASSERT_TRUE(StopWatch()) << "the watch ends when its folder goes";
            ASSERT_TRUE(StartWatch());
            ++faults.nTempRecreated;
            lastCleanStem.clear();
        }
    }
    EXPECT_TRUE(StopWatch());
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - tStart).count();

    // A Documents folder moved aside while a filing was under way keeps that
    // filing's lock folder; one left in the live Documents folder is a fault.
    ManifestFindings findings = manifest.Check(m_temp, {m_docs}, m_jobAreas);
    std::cout << "[ soak ] " << findings.Summary() << std::endl;
    ManifestFindings full = m_smallManifest.Check(m_smallTemp, {m_smallDocs});
    if (m_small.empty())
        std::cout << "[ soak ] full disk: left out, no small drive was mounted" << std::endl;
    else
        std::cout << "[ soak ] full disk, " << faults.nFullDisk << " bursts: " << full.Summary() << std::endl;
    std::cout << "[ soak ] folder jobs " << nFolderJobs << ", repeated stems " << nRepeats
              << ", scans under a fault " << faults.nScansUnderFault << " (held open " << faults.nHeldOpen
              << "; Documents read-only " << faults.nReadOnlyDocs << ", missing " << faults.nMissingDocs
              << ", blocked " << faults.nBlockedDocs << " bursts; temporary folder made anew "
              << faults.nTempRecreated << " times), bursts past their bound " << m_nSlowBursts << ", " << seconds
              << " s" << std::endl;
    for (const std::string& problem : findings.problems)
        std::cout << "    " << problem << std::endl;
    for (const std::string& problem : full.problems)
        std::cout << "    full disk: " << problem << std::endl;
    EXPECT_EQ(kScans, findings.nScans + full.nScans);
    EXPECT_EQ(0u, full.nLost);
    EXPECT_EQ(0u, full.nDuplicated);
    EXPECT_EQ(0u, full.nPartial) << "a full disk leaves no empty or partial file in a job folder";
    EXPECT_EQ(0u, full.nStray);
    EXPECT_EQ(0u, findings.nLost);
    EXPECT_EQ(0u, findings.nDuplicated);
    EXPECT_EQ(0u, findings.nPartial) << "no altered, empty or partial file in a job folder";
    EXPECT_EQ(0u, findings.nStray);
    // A single-file job is all or nothing: a file held open leaves its whole scan
    // for a later try, never a part of it in a job folder of its own.
    EXPECT_EQ(0u, findings.nSplit) << "seed " << nSeed;
    EXPECT_EQ(0u, full.nSplit) << "seed " << nSeed;
    EXPECT_EQ(0u, findings.nSpread) << "seed " << nSeed;
    EXPECT_EQ(0u, findings.nEmptyJobFolders + full.nEmptyJobFolders) << "seed " << nSeed;
    // Most scans meet no fault and must all be filed.
    EXPECT_GE(findings.nFiled + findings.nSplit, kScans - faults.nScansUnderFault) << "seed " << nSeed;
}

} // namespace
