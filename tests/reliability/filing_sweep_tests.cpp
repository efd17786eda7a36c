// Every call point of the filing, the job folder creation and the template
// rewrite failed once in turn (SQLite-style), with the invariants checked after
// each run: no scan lost, duplicated, altered or half-moved; a template either
// old or new, never partial.
#include <gtest/gtest.h>

#include <iostream>

#include "common/owners.h"
#include "delivery/template_file.h"
#include "discovery/identity.h"
#include "discovery/state.h"
#include "fault_injection.h"
#include "scan_manifest.h"
#include "tests/support/test_support.h"
#include "watcher/filing.h"
#include "watcher/user_option.h"

using namespace reliability;
using faults::Kind;
using testsupport::ListFolder;
using testsupport::PathExists;
using testsupport::ReadFileBytes;

namespace {

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// Stem of the scans whose delivery is swept; its staging copies are looked for
// in the user's temporary folder by this prefix.
constexpr wchar_t kDeliveredStem[] = L"RelSweepS";

void PrintFigures(const char* pszScenario, Kind kind, const faults::SweepFigures& figures)
{
    std::cout << "[ sweep ] " << pszScenario << ", " << faults::KindName(kind) << ": call points "
              << figures.nCallPoints << ", calls failed " << figures.nRunsFailed << ", invariant breaks "
              << figures.nInvariantBreaks << ", crashes " << figures.nCrashes << std::endl;
}

void ExpectClean(const faults::SweepFigures& figures)
{
    EXPECT_EQ(figures.nCallPoints, figures.nRunsFailed) << "every call point was failed once";
    EXPECT_EQ(0u, figures.nInvariantBreaks);
    EXPECT_EQ(0u, figures.nCrashes);
}

class FilingSweep : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(S_OK, InitUserIdentity()); }

    void SetUp() override
    {
        m_temp = m_root / L"TempImage";
        m_docs = m_root / L"Documents";
        m_pc = m_root / L"PC";
        ZeroMemory(&m_device, sizeof(m_device));
        wcscpy_s(m_device.szTempFolder, m_temp.c_str());
        wcscpy_s(m_device.szDocFolder, m_docs.c_str());
        wchar_t wszUserTemp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, wszUserTemp);
        m_userTemp = wszUserTemp;
    }

    // A fresh pair of folders (the Documents folder only when asked for).
    void Reset(bool bWithDocuments = true)
    {
        testsupport::RemoveTree(m_temp);
        testsupport::RemoveTree(m_docs);
        testsupport::RemoveTree(m_pc);
        testsupport::MakeFolder(m_temp);
        testsupport::MakeFolder(m_pc);
        if (bWithDocuments)
            testsupport::MakeFolder(m_docs);
        m_manifest.Clear();
    }

    void FileNamed(const std::wstring& stem)
    {
        std::wstring wstrLock = stem + L".lck";
        FileScanRecord(&m_device, wstrLock.c_str(), static_cast<DWORD>(wstrLock.size() * sizeof(wchar_t)));
    }

    ScanRecord Drop(const std::wstring& stem, bool bFolderJob, bool bDeliver)
    {
        DropOptions options;
        options.bFolderJob = bFolderJob;
        options.cbImage = 3000 + 7 * m_nUnique;
        if (bDeliver)
            options.strTemplateExtra = "PCFolderPath \"" + Narrow(m_pc) + "\"\r\n";
        ScanRecord scan = DropScan(m_temp, stem, ++m_nUnique, options);
        m_manifest.Add(scan);
        return scan;
    }

    // The manifest's invariants, and for a delivery: at most one image in the
    // PC folder, byte-identical to the scan's, and no copy left half-written
    // anywhere.
    bool Check(unsigned nFailAt, const ScanRecord* pDelivered = nullptr)
    {
        ManifestFindings findings = m_manifest.Check(m_temp, {m_docs});
        bool bHolds = findings.Holds();
        if (!bHolds) {
            ADD_FAILURE() << "failing call " << nFailAt << ": " << findings.Summary();
            for (const std::string& problem : findings.problems)
                std::cout << "    " << problem << std::endl;
        }
        if (pDelivered != nullptr) {
            std::vector<std::wstring> delivered = ListFolder(m_pc);
            const ScanFile& image = pDelivered->files.front();
            bool bDeliveryOk = delivered.size() <= 1;
            for (const std::wstring& name : delivered) {
                std::string bytes = ReadFileBytes(m_pc + L"\\" + name);
                bDeliveryOk = bDeliveryOk && HashBytes(bytes) == image.ullHash && bytes.size() == image.cb;
            }
            if (nFailAt == 0)
                bDeliveryOk = bDeliveryOk && delivered.size() == 1;
            EXPECT_TRUE(bDeliveryOk) << "failing call " << nFailAt << ": delivered " << delivered.size();
            bHolds = bHolds && bDeliveryOk;
        }
        // A staging copy must never be half of the image.
        for (const std::wstring& name : ListFolder(m_userTemp)) {
            if (name.rfind(kDeliveredStem, 0) != 0)
                continue;
            std::wstring wstrStaged = m_userTemp + name;
            std::string bytes = ReadFileBytes(wstrStaged);
            bool bWhole = pDelivered != nullptr && HashBytes(bytes) == pDelivered->files.front().ullHash;
            EXPECT_TRUE(bWhole) << "failing call " << nFailAt << ": partial staging copy " << Narrow(name);
            bHolds = bHolds && bWhole;
            ++m_nStagingLeftovers;
            DeleteFileW(wstrStaged.c_str());
        }
        return bHolds;
    }

    // A filing that loops on a taken name fails here within seconds.
    testsupport::HangDeadline m_deadline{"the whole test", std::chrono::seconds(120)};
    testsupport::ScratchFolder m_root;
    testsupport::SleepRecorder m_instantSleep;
    std::wstring m_temp;
    std::wstring m_docs;
    std::wstring m_pc;
    std::wstring m_userTemp;
    DeviceInfo m_device;
    ScanManifest m_manifest;
    unsigned m_nUnique = 0;
    unsigned m_nStagingLeftovers = 0;
};

TEST_F(FilingSweep, InjectorFindsEveryImportAndCountsOnlyWhileArmed)
{
    faults::FaultInjector injector;
    for (Kind kind : {Kind::Move, Kind::Copy, Kind::CreateFolder, Kind::RegOpen, Kind::RegWrite, Kind::FileOpen,
                      Kind::FileWrite, Kind::FileReplace, Kind::StiCreate, Kind::WiaCreate})
        EXPECT_TRUE(faults::FaultInjector::Patched(kind)) << faults::KindName(kind);
    std::wstring a = m_root / L"a";
    std::wstring b = m_root / L"b";
    testsupport::WriteFileBytes(a, "x");
    injector.Arm(Kind::Move, 2, ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(MoveFileW(a.c_str(), b.c_str()));
    EXPECT_FALSE(MoveFileExW(b.c_str(), a.c_str(), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_TRUE(MoveFileExW(b.c_str(), a.c_str(), 0));
    EXPECT_EQ(3u, injector.Calls(Kind::Move));
    EXPECT_EQ(1u, injector.Failed(Kind::Move));
    injector.DisarmAll();
    EXPECT_TRUE(MoveFileW(a.c_str(), b.c_str()));
    EXPECT_EQ(3u, injector.Calls(Kind::Move)) << "not counted once disarmed";
}

// The checker itself: each kind of damage is seen.
TEST_F(FilingSweep, ManifestCheck_SeesLostDuplicatedPartialAndStrayFiles)
{
    Reset();
    Drop(L"M", false, false);
    FileNamed(L"M");
    EXPECT_TRUE(m_manifest.Check(m_temp, {m_docs}).Holds());
    std::wstring image = m_docs + L"\\M.osm\\M.tif";
    std::string bytes = ReadFileBytes(image);
    testsupport::WriteFileBytes(m_temp + L"\\M.tif", bytes);
    EXPECT_EQ(1u, m_manifest.Check(m_temp, {m_docs}).nDuplicated);
    DeleteFileW((m_temp + L"\\M.tif").c_str());
    testsupport::WriteFileBytes(image, bytes.substr(0, bytes.size() / 2));
    ManifestFindings findings = m_manifest.Check(m_temp, {m_docs});
    EXPECT_EQ(1u, findings.nPartial);
    EXPECT_EQ(1u, findings.nLost);
    testsupport::MakeFolder(m_docs + L"\\M.lck");
    EXPECT_EQ(1u, m_manifest.Check(m_temp, {m_docs}).nStray);
    // The same lock folder in a Documents folder moved away is counted apart,
    // and so is an empty job folder there; in the live folder it counts.
    testsupport::MakeFolder(m_docs + L"\\E.osm");
    EXPECT_EQ(1u, m_manifest.Check(m_temp, {m_docs}).nEmptyJobFolders);
    findings = m_manifest.Check(m_temp, {}, {m_docs});
    EXPECT_EQ(0u, findings.nStray);
    EXPECT_EQ(1u, findings.nLocksMovedAway);
    EXPECT_EQ(0u, findings.nEmptyJobFolders);
    EXPECT_EQ(1u, findings.nEmptyJobsMovedAway);
}

TEST_F(FilingSweep, SingleFileJob_EveryCallPointFailedOnce)
{
    const ScanRecord* pDelivered = nullptr;
    ScanRecord delivered;
    auto prepare = [&] {
        Reset();
        // An earlier scan of the stem is filed already: this one takes the
        // stamped name, and its delivery copies the image to the PC folder.
        Drop(kDeliveredStem, false, false);
        FileNamed(kDeliveredStem);
        delivered = Drop(kDeliveredStem, false, true);
        pDelivered = &delivered;
    };
    auto scenario = [&] { FileNamed(kDeliveredStem); };
    for (auto [kind, lError] : {std::pair{Kind::Move, ERROR_SHARING_VIOLATION}, {Kind::CreateFolder, ERROR_ACCESS_DENIED},
                                {Kind::FileWrite, ERROR_DISK_FULL}, {Kind::FileOpen, ERROR_ACCESS_DENIED}}) {
        faults::SweepFigures figures = faults::Sweep(kind, static_cast<LONG>(lError), prepare, scenario,
                                                     [&](unsigned n) { return Check(n, pDelivered); });
        PrintFigures("single-file job", kind, figures);
        ExpectClean(figures);
        if (kind == Kind::Move) {
            EXPECT_EQ(2u, figures.nCallPoints) << "image and template (the delivered copy is named through its handle)";
        }
    }
    std::cout << "[ sweep ] staging copies left in the user's temporary folder: " << m_nStagingLeftovers << std::endl;
}

TEST_F(FilingSweep, FolderJob_EveryCallPointFailedOnce)
{
    auto prepare = [&] {
        Reset();
        Drop(L"F", true, false);
    };
    auto scenario = [&] { FileNamed(L"F"); };
    for (auto [kind, lError] : {std::pair{Kind::Move, ERROR_DISK_FULL}, {Kind::CreateFolder, ERROR_ACCESS_DENIED},
                                {Kind::FileOpen, ERROR_ACCESS_DENIED}}) {
        faults::SweepFigures figures = faults::Sweep(kind, static_cast<LONG>(lError), prepare, scenario,
                                                     [&](unsigned n) { return Check(n); });
        PrintFigures("folder job", kind, figures);
        ExpectClean(figures);
        if (kind == Kind::Move) {
            EXPECT_EQ(7u, figures.nCallPoints) << "the folder, then six pages renamed";
        }
    }
}

// What the Documents folder held at each move or rename of the filing: whether a
// lock folder (<stem>.lck or <stem>_<stamp>.lck) stood there at that moment.
struct LockWatch {
    std::wstring wstrDocs;
    std::vector<bool> vecLockStood;
    faults::ImportOverride* pMoveFile = nullptr;
    faults::ImportOverride* pMoveFileEx = nullptr;
};
LockWatch g_lockWatch;

bool LockFolderStands(const std::wstring& wstrDocs)
{
    for (const std::wstring& name : ListFolder(wstrDocs))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, L".lck") == 0)
            return true;
    return false;
}

BOOL WINAPI MoveFileWatchingLock(LPCWSTR pwszFrom, LPCWSTR pwszTo)
{
    g_lockWatch.vecLockStood.push_back(LockFolderStands(g_lockWatch.wstrDocs));
    return g_lockWatch.pMoveFile->Original<decltype(MoveFileW)>()(pwszFrom, pwszTo);
}

BOOL WINAPI MoveFileExWatchingLock(LPCWSTR pwszFrom, LPCWSTR pwszTo, DWORD dwFlags)
{
    g_lockWatch.vecLockStood.push_back(LockFolderStands(g_lockWatch.wstrDocs));
    return g_lockWatch.pMoveFileEx->Original<decltype(MoveFileExW)>()(pwszFrom, pwszTo, dwFlags);
}

// The lock folder marks the job as being filled: it stands from before the
// folder's move until after its last page is renamed, and goes then; also for
// a job filed under a stamp.
TEST_F(FilingSweep, FolderJob_LockFolderStandsDuringEveryRenameAndGoesAfterTheLast)
{
    Reset();
    faults::ImportOverride moveFile("MoveFileW", reinterpret_cast<void*>(MoveFileWatchingLock));
    faults::ImportOverride moveFileEx("MoveFileExW", reinterpret_cast<void*>(MoveFileExWatchingLock));
    ASSERT_TRUE(moveFile.Patched() && moveFileEx.Patched());
    g_lockWatch.pMoveFile = &moveFile;
    g_lockWatch.pMoveFileEx = &moveFileEx;
    g_lockWatch.wstrDocs = m_docs;
    // The folder, then its six pages; under a stamp the template is renamed too.
    for (auto [pszRound, nMoves] : {std::pair{"plain name", 7u}, {"stamped name", 8u}}) {
        g_lockWatch.vecLockStood.clear();
        Drop(L"L", true, false);
        FileNamed(L"L");
        const std::vector<bool>& stood = g_lockWatch.vecLockStood;
        ASSERT_EQ(nMoves, stood.size()) << pszRound;
        for (size_t i = 0; i < stood.size(); ++i)
            EXPECT_TRUE(stood[i]) << pszRound << ": no lock folder at move " << i + 1 << " of " << nMoves;
        EXPECT_FALSE(LockFolderStands(m_docs)) << pszRound << ": the lock folder outlived the filing";
    }
    EXPECT_TRUE(m_manifest.Check(m_temp, {m_docs}).Holds());
}

// The Documents folder is missing, so every job makes it anew; the creation
// fails outright, or answers that the folder exists when it does not (another
// program racing for the name).
TEST_F(FilingSweep, JobFolderCreation_EveryCallPointFailedOnce)
{
    for (bool bFolderJob : {false, true}) {
        auto prepare = [&] {
            Reset(false);
            Drop(L"J", bFolderJob, false);
        };
        auto scenario = [&] { FileNamed(L"J"); };
        for (DWORD dwError : {ERROR_ACCESS_DENIED, ERROR_ALREADY_EXISTS, ERROR_PATH_NOT_FOUND}) {
            faults::SweepFigures figures = faults::Sweep(Kind::CreateFolder, static_cast<LONG>(dwError), prepare,
                                                         scenario, [&](unsigned n) { return Check(n); });
            std::string label = std::string(bFolderJob ? "folder" : "single-file") + " job folder creation, error " +
                                std::to_string(dwError);
            PrintFigures(label.c_str(), Kind::CreateFolder, figures);
            ExpectClean(figures);
            EXPECT_EQ(bFolderJob ? 2u : 3u, figures.nCallPoints)
                << "the Documents folder for its filing lock, the lock folder (and the job folder)";
        }
    }
}

// ---- the template rewrite ------------------------------------------------------

const std::string kOldTemplate = "Name \"Scan\"\r\nRepositoryName \"10.0.0.9\"\r\nPCFolderPath \"C:\\x\"\r\n";
const std::string kNewTemplate = "Name \"Scan\"\r\nRepositoryName \"192.168.1.20\"\r\nPCFolderPath \"C:\\x\"\r\n";

class TemplateSweep : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_templates = m_root / L"Templates";
        ZeroMemory(&m_device, sizeof(m_device));
        wcscpy_s(m_device.szTemplateFolder, m_templates.c_str());
        SetIPAddressText(L"192.168.1.20");
    }
    void TearDown() override { SetIPAddressText(L""); }

    void Prepare()
    {
        testsupport::RemoveTree(m_templates);
        testsupport::MakeFolder(m_templates);
        testsupport::WriteFileBytes(m_templates + L"\\a.ost", kOldTemplate);
    }

    // Old or new, never a part; nothing else left beside it; 0 only when new.
    bool Check(unsigned nFailAt)
    {
        std::string text = ReadFileBytes(m_templates + L"\\a.ost");
        bool bOld = text == kOldTemplate;
        bool bNew = text == kNewTemplate;
        std::vector<std::wstring> left = ListFolder(m_templates);
        bool bHolds = (bOld || bNew) && left == std::vector<std::wstring>{L"a.ost"} && (m_nResult == 0) == bNew;
        EXPECT_TRUE(bHolds) << "failing call " << nFailAt << ": result " << m_nResult << ", template "
                            << (bOld ? "old" : bNew ? "new" : "damaged: " + text) << ", files " << left.size();
        (bNew ? m_nNew : m_nOld)++;
        return bHolds;
    }

    testsupport::ScratchFolder m_root;
    std::wstring m_templates;
    DeviceInfo m_device;
    int m_nResult = -1;
    unsigned m_nOld = 0;
    unsigned m_nNew = 0;
};

TEST_F(TemplateSweep, Rewrite_EveryCallPointFailedOnce_TemplateOldOrNew)
{
    auto scenario = [&] { m_nResult = UpdateTemplateRepository(&m_device); };
    for (auto [kind, lError] : {std::pair{Kind::FileOpen, ERROR_SHARING_VIOLATION}, {Kind::FileWrite, ERROR_DISK_FULL},
                                {Kind::FileReplace, ERROR_UNABLE_TO_REMOVE_REPLACED}}) {
        faults::SweepFigures figures = faults::Sweep(
            kind, static_cast<LONG>(lError), [&] { Prepare(); }, scenario, [&](unsigned n) { return Check(n); });
        PrintFigures("template rewrite", kind, figures);
        ExpectClean(figures);
        EXPECT_GE(figures.nCallPoints, 1u);
    }
    std::cout << "[ sweep ] template rewrite outcomes: old " << m_nOld << ", new " << m_nNew << std::endl;
}

// The replace refused, and the rename that stands in for it failing at each of
// its call points too.
TEST_F(TemplateSweep, ReplaceRefusedAndFallbackFailing_TemplateOldOrNew)
{
    faults::FaultInjector injector;
    Prepare();
    injector.Arm(Kind::FileReplace, 1, ERROR_UNABLE_TO_REMOVE_REPLACED, 1000);
    injector.Arm(Kind::Move, 0, 0);
    m_nResult = UpdateTemplateRepository(&m_device);
    unsigned nMoves = injector.Calls(Kind::Move);
    EXPECT_TRUE(Check(0));
    EXPECT_EQ(0, m_nResult) << "the rename stands in for the replace";
    ASSERT_EQ(1u, nMoves);
    for (unsigned n = 1; n <= nMoves; ++n) {
        Prepare();
        injector.Arm(Kind::FileReplace, 1, ERROR_UNABLE_TO_REMOVE_REPLACED, 1000);
        injector.Arm(Kind::Move, n, ERROR_ACCESS_DENIED);
        m_nResult = UpdateTemplateRepository(&m_device);
        injector.DisarmAll();
        EXPECT_TRUE(Check(n));
        EXPECT_EQ(1, m_nResult);
    }
}



// ---- the per-user option in the registry ----------------------------------------

class RegistrySweep : public ::testing::Test {
protected:
    // Written (S_OK) exactly when the value is there afterwards.
    bool Check(unsigned nFailAt)
    {
        DWORD dwValue = 0;
        bool bThere = testsupport::ScratchRegistry::ReadDword(HKEY_CURRENT_USER, kKey, L"tester_DeleteImageOnScan",
                                                              dwValue) &&
                      dwValue == 1;
        bool bHolds = (m_hr == S_OK) == bThere && (m_hr == S_OK || m_hr == E_FAIL);
        EXPECT_TRUE(bHolds) << "failing call " << nFailAt << ": " << std::hex << m_hr;
        return bHolds;
    }

    static constexpr wchar_t kKey[] = L"Software\\RelSweep\\A\\MarlstoneB";
    testsupport::ScratchRegistry m_registry;
    HRESULT m_hr = E_UNEXPECTED;
};

TEST_F(RegistrySweep, DeleteImageOption_EveryCallPointFailedOnce)
{
    wcscpy_s(g_wszUserName, L"tester");
    auto prepare = [&] {
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_ALL_ACCESS, &hKey) == ERROR_SUCCESS) {
            RegDeleteTreeW(hKey, L"RelSweep");
            RegCloseKey(hKey);
        }
        m_hr = E_UNEXPECTED;
    };
    auto scenario = [&] { m_hr = CObkCplUI::RegWriteDeleteImageOption(1, kKey); };
    size_t nHandlesBefore = testsupport::CountProcessHandles();
    for (auto [kind, lError] : {std::pair{Kind::RegOpen, ERROR_ACCESS_DENIED}, {Kind::RegWrite, ERROR_ACCESS_DENIED}}) {
        faults::SweepFigures figures =
            faults::Sweep(kind, static_cast<LONG>(lError), prepare, scenario, [&](unsigned n) { return Check(n); });
        PrintFigures("delete-image option", kind, figures);
        ExpectClean(figures);
        EXPECT_EQ(1u, figures.nCallPoints);
    }
    EXPECT_EQ(nHandlesBefore, testsupport::CountProcessHandles()) << "no key left open on a failure";
}

} // namespace
