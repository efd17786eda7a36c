// The folder watch on a thread of its own, with real directory notifications,
// fed by scans dropped the way the driver drops them.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>

#include "sim_drop.h"
#include "common/trace.h"
#include "tests/reliability/fault_injection.h"
#include "tests/filing/filing_fixture.h"
#include "tests/support/event_capture.h"
#include "tests/support/watch_runner.h"

using namespace filingtest;
using namespace std::chrono_literals;

namespace {

class Watch : public FilingFixture {
protected:
    void TearDown() override
    {
        if (m_hThread) {
            if (PathExists(m_temp))
                DeleteTheFolder();
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_hThread.get(), 20000)) << "the watch must end";
        }
    }

    // The events as the watcher's start-up makes them; the watch takes both over.
    void StartWatch()
    {
        m_args = {};
        m_args.pDevice = &m_device;
        m_args.hWait = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_args.hCompletion = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_TRUE(m_args.hWait != nullptr && m_args.hCompletion != nullptr);
        m_hThread.reset(CreateThread(nullptr, 0, testsupport::RunWatch, &m_args, 0, nullptr));
        ASSERT_TRUE(m_hThread);
    }

    // The watch has its folder open; its first read follows at once.
    bool WaitUntilWatching(std::chrono::milliseconds deadline = 10s)
    {
        bool bOpen = testsupport::WaitFor([&] { return m_trace.Contains(L"  >  Got the file handle!! \r\n"); },
                                          deadline);
        Sleep(300);
        return bOpen;
    }

    void Drop(const std::wstring& stem, sim::JobKind kind = sim::JobKind::Tif, DWORD holdMs = 50,
              unsigned long long cb = 4096)
    {
        sim::DropSpec drop;
        drop.tempFolder = m_temp;
        drop.stem = stem;
        drop.kind = kind;
        drop.holdMs = holdMs;
        drop.imageBytes = cb;
        drop.templateText = "Name \"" + Narrow(stem) + "\"\n";
        sim::DropScan(drop);
    }

    bool Filed(const std::wstring& stem) const
    {
        return PathExists(Docs(stem + L".osm\\" + stem + L".tif")) && PathExists(Docs(stem + L".osm\\" + stem + L".ost"));
    }

    // Wine keeps a deleted folder in place, pending deletion, for as long as the
    // watch holds it open, and reports nothing; Windows completes the read. So
    // the folder is first renamed away, which takes its name at once, and then
    // deleted.
    // A listing of the catch-up holds the folder for a moment: the rename is
    // tried again for up to 5 s.
    void DeleteTheFolder()
    {
        std::wstring gone = m_temp + L".gone";
        BOOL bMoved = FALSE;
        for (int nTry = 0; nTry < 100 && !(bMoved = MoveFileW(m_temp.c_str(), gone.c_str())); ++nTry)
            Sleep(50);
        ASSERT_TRUE(bMoved) << "error " << GetLastError();
        testsupport::RemoveTree(gone);
    }

    bool EndWatchByDeletingTheFolder()
    {
        DeleteTheFolder();
        bool bEnded = WaitForSingleObject(m_hThread.get(), 20000) == WAIT_OBJECT_0;
        if (bEnded)
            m_hThread.reset();
        return bEnded;
    }

    testsupport::WatchArgs m_args;
    bgt::UniqueHandle m_hThread;
};

TEST_F(Watch, DroppedScan_FiledOnceAndTheRemovalReportAddsNothing)
{
    StartWatch();
    ASSERT_TRUE(WaitUntilWatching());
    Drop(L"A");
    ASSERT_TRUE(testsupport::WaitFor([&] { return Filed(L"A"); }, 15s));
    // The report of the lock entry's removal comes after the filing's pause.
    Sleep(2500);
    EXPECT_EQ(std::vector<std::wstring>{L"A.osm"}, ListFolder(m_docs));
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(Docs(L"A.osm")));
    EXPECT_TRUE(ListFolder(m_temp).empty());

    Drop(L"F", sim::JobKind::Folder);
    // The pages are renamed one by one after the folder has moved: wait for the
    // whole of it, not for one name, before looking.
    const std::vector<std::wstring> renamed{L"F.ost",    L"F_p1.jpg", L"F_p1.tif", L"F_p1.tmb",
                                            L"F_p2.jpg", L"F_p2.tif", L"F_p2.tmb"};
    testsupport::WaitFor([&] { return ListFolder(Docs(L"F.osm")) == renamed; }, 15s);
    EXPECT_EQ(renamed, ListFolder(Docs(L"F.osm")));
}

TEST_F(Watch, FolderAppearingWithinTheAttempts_IsOpenedAndWatched)
{
    testsupport::RemoveTree(m_temp);
    StartWatch();
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return m_trace.ContainsFragment(L"Getting a file handle to the device's directory failed"); }, 5s));
    Sleep(1500);
    testsupport::MakeFolder(m_temp);
    ASSERT_TRUE(WaitUntilWatching(5s));
    EXPECT_TRUE(m_trace.Contains(
        L"  > Getting a file handle to the device's directory failed. Waiting for 0 seconds  \r\n"));
    EXPECT_FALSE(m_trace.Contains(L"  > Aborting the attempts  \r\n"));
    Drop(L"A");
    EXPECT_TRUE(testsupport::WaitFor([&] { return Filed(L"A"); }, 15s));
}

TEST_F(Watch, ScansWaitingAtTheStart_AreFiledAsAReportWouldFileThem)
{
    // Finished while no watch ran: a single-file scan, a folder job, the same
    // stem as a job already in Documents. A template copy alone stays, and so
    // does a scan whose lock entry stands until its own report files it.
    PutScan(L"Done", L".tif");
    PutTemplate(L"Done");
    testsupport::MakeFolder(Temp(L"Pages.osm"));
    WriteFileBytes(Temp(L"Pages.osm\\p1.tif"), "page");
    WriteFileBytes(Temp(L"Pages.osm\\Pages.ost"), "template");
    testsupport::MakeFolder(Docs(L"Again.osm"));
    PutScan(L"Again", L".pdf");
    PutTemplate(L"Again");
    PutTemplate(L"Lone");
    PutScan(L"Late", L".tif");
    PutTemplate(L"Late");
    WriteFileBytes(Temp(L"Late.lck"), "");
    StartWatch();
    ASSERT_TRUE(testsupport::WaitFor([&] { return Filed(L"Done") && JobFolders().size() == 4; }, 20s));
    EXPECT_EQ((std::vector<std::wstring>{L"Pages.ost", L"Pages_p1.tif"}), ListFolder(Docs(L"Pages.osm")));
    std::vector<std::wstring> jobs = JobFolders();
    auto again = std::find_if(jobs.begin(), jobs.end(), [](const std::wstring& j) { return j.rfind(L"Again_", 0) == 0; });
    ASSERT_NE(jobs.end(), again) << "the taken name gets the stamp";
    std::wstring suffix = again->substr(5, again->size() - 9);
    EXPECT_EQ((std::vector<std::wstring>{L"Again" + suffix + L".ost", L"Again" + suffix + L".pdf"}),
              ListFolder(Docs(*again)));
    EXPECT_EQ((std::vector<std::wstring>{L"Late.lck", L"Late.ost", L"Late.tif", L"Lone.ost"}), ListFolder(m_temp));

    ASSERT_TRUE(DeleteFileW(Temp(L"Late.lck").c_str()));
    ASSERT_TRUE(testsupport::WaitFor([&] { return Filed(L"Late"); }, 15s));
    Sleep(1500);
    EXPECT_EQ(5u, JobFolders().size());
    EXPECT_EQ(std::vector<std::wstring>{L"Lone.ost"}, ListFolder(m_temp));
}

TEST_F(Watch, DeletingTheFolder_EndsTheWatchAndGivesEverythingBack)
{
    // A first watch lets Wine make whatever it keeps for good on first use.
    StartWatch();
    ASSERT_TRUE(WaitUntilWatching());
    ASSERT_TRUE(EndWatchByDeletingTheFolder()) << "no hang";
    testsupport::MakeFolder(m_temp);
    m_trace.Clear();

    testsupport::EventCapture events;
    size_t nBefore = testsupport::CountProcessHandles();
    StartWatch();
    ASSERT_TRUE(WaitUntilWatching());
    ASSERT_TRUE(EndWatchByDeletingTheFolder()) << "no hang";
    auto vecEvents = events.Take();
    ASSERT_EQ(1u, vecEvents.size()) << "the watch that ended says so once";
    EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_WATCH_ENDED), vecEvents[0].dwEventId);
    EXPECT_EQ(m_temp, vecEvents[0].strings.at(0));
    // The read outstanding when the folder went is cancelled and seen to end
    // before its buffer is freed.
    EXPECT_EQ(1u, m_trace.Count(L"    > Wait event was signaled\r\n"));
    EXPECT_FALSE(m_trace.Contains(L"    > Wait timed out\r\n") || m_trace.Contains(L"    > Wait abandoned\r\n"));
    EXPECT_EQ(nBefore, testsupport::CountProcessHandles()) << "folder handle and both events closed";
}

TEST_F(Watch, NoFolderWithin51Attempts_GivesUpAndClosesTheEvents)
{
    testsupport::RemoveTree(m_temp);
    size_t nBefore = testsupport::CountProcessHandles();
    StartWatch();
    // Nobody signals "WaitEvent"; setting it here lets the attempts run without pauses.
    SetEvent(m_args.hWait);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_hThread.get(), 20000));
    m_hThread.reset();
    EXPECT_EQ(51u, [&] {
        size_t n = 0;
        for (const std::wstring& t : m_trace.Texts())
            n += t.find(L"Getting a file handle to the device's directory failed") != std::wstring::npos;
        return n;
    }());
    EXPECT_TRUE(m_trace.Contains(
        L"  > Getting a file handle to the device's directory failed. Waiting for 50 seconds  \r\n"));
    EXPECT_TRUE(m_trace.Contains(L"  > Aborting the attempts  \r\n"));
    EXPECT_EQ(nBefore, testsupport::CountProcessHandles());
}

// More changes than the read buffer holds pile up while a scan is being filed
// (held here in its settling pause): the platform gives up on them (0 bytes on
// Windows, ERROR_NOTIFY_ENUM_DIR on Wine). The watch goes on and looks for the
// scans whose reports were lost.
namespace {
HANDLE g_hReleasePause = nullptr;
HANDLE g_hInPause = nullptr;
void WINAPI PauseHeldByTheTest(DWORD dwMs)
{
    if (dwMs == 1000 && g_hReleasePause != nullptr) {
        SetEvent(g_hInPause);
        WaitForSingleObject(g_hReleasePause, 30000);
    }
}
decltype(&GetOverlappedResult) g_pfnRealOverlappedResult = nullptr;
BOOL WINAPI ZeroBytesAsWindowsOverflows(HANDLE hFile, LPOVERLAPPED pOverlapped, LPDWORD pcb, BOOL bWait)
{
    g_pfnRealOverlappedResult(hFile, pOverlapped, pcb, bWait);
    *pcb = 0;
    return TRUE;
}
} // namespace

TEST_F(Watch, OverflowWhileFiling_ScansWhoseReportsWereLostAreFiled)
{
    testsupport::HookGuard hooks;
    bgt::UniqueHandle hRelease(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    bgt::UniqueHandle hInPause(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_hReleasePause = hRelease.get();
    g_hInPause = hInPause.get();
    bgt::ScopeExit unhook([] { g_hReleasePause = nullptr; });
    g_hooks.pfnSleep = PauseHeldByTheTest;
    StartWatch();
    ASSERT_TRUE(WaitUntilWatching());
    Drop(L"A");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hInPause.get(), 15000)) << "the filing of A reached its pause";
    Drop(L"C", sim::JobKind::Tif, 0);
    Drop(L"F", sim::JobKind::Folder, 0);
    for (int i = 0; i < 4000; ++i) {
        std::wstring name = L"noise-entry-" + std::to_wstring(i) + L".tmp";
        HANDLE h = CreateFileW(Temp(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        CloseHandle(h);
    }
    SetEvent(hRelease.get());
    g_hReleasePause = nullptr;
    ASSERT_TRUE(testsupport::WaitFor([&] { return Filed(L"A") && Filed(L"C") && JobFolders().size() == 3; }, 30s))
        << "the scans whose reports the overflow swallowed are looked for";
    size_t nOverflows = m_trace.Count(L"  >  m_pEventData is too small\r\n") +
                        m_trace.Count(L"  > The change buffer overflowed: 1022\r\n");
    EXPECT_GE(nOverflows, 1u) << "an overflow really happened";
    EXPECT_EQ(4000u, ListFolder(m_temp).size()) << "the other entries are not touched";
    EXPECT_TRUE(testsupport::WaitFor([&] { return ListFolder(m_docs).size() == 3; }, 5s))
        << "no lock folder left, and the filing lock let go";
    std::cout << "[ overflow ] overflows " << nOverflows << std::endl;

    // Windows' own form of the overflow, which Wine never gives: every read
    // completes with 0 bytes, and only the catch-up can find the scan.
    m_trace.Clear();
    g_pfnRealOverlappedResult = reinterpret_cast<decltype(&GetOverlappedResult)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetOverlappedResult")));
    ASSERT_TRUE(g_pfnRealOverlappedResult);
    faults::ImportOverride zeroBytes("GetOverlappedResult", reinterpret_cast<void*>(ZeroBytesAsWindowsOverflows));
    ASSERT_TRUE(zeroBytes.Patched());
    Drop(L"W");
    EXPECT_TRUE(testsupport::WaitFor([&] { return Filed(L"W"); }, 30s)) << "a 0-byte read runs the catch-up";
    EXPECT_TRUE(m_trace.Contains(L"  >  m_pEventData is too small\r\n"));
}

// A virus scanner or an indexer holds a file just written, in another process.
// A short hold is waited out; after a long one the scan stays whole and is
// tried again without waiting for another scan. No empty job folder either way.
TEST_F(Watch, ImageHeldByAnotherProcess_ShortHoldFiledWhole_LongHoldFiledWithinAMinute)
{
    StartWatch();
    ASSERT_TRUE(WaitUntilWatching());
    for (DWORD dwHoldMs : {1500, 9000}) {
        std::wstring stem = dwHoldMs < 2000 ? L"Short" : L"Long";
        m_trace.Clear();
        WriteFileBytes(Temp(stem + L".lck"), "");
        PutScan(stem, L".tif", "held image");
        PutTemplate(stem);
        HeldByAnotherProcess held(Temp(stem + L".tif"));
        ASSERT_TRUE(held.Holding());
        ASSERT_TRUE(DeleteFileW(Temp(stem + L".lck").c_str()));
        Sleep(dwHoldMs);
        held.Release();
        auto tReleased = std::chrono::steady_clock::now();
        if (dwHoldMs > 2000) {
            // The report of its lock entry's removal has given up by now; the
            // report of its creation started nothing.
            EXPECT_EQ(1u, m_trace.Count(L" The scan " + stem + L" stays whole in the temporary folder\r\n"));
        }
        ASSERT_TRUE(testsupport::WaitFor([&] { return Filed(stem); }, 60s)) << Narrow(stem);
        std::cout << "[ held ] " << Narrow(stem) << " filed "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                           tReleased).count()
                  << " ms after its release" << std::endl;
        EXPECT_EQ("held image", ReadFileBytes(Docs(stem + L".osm\\" + stem + L".tif")));
        EXPECT_TRUE(ListFolder(m_temp).empty());
        // Its delivery ends (its marker goes with it) before the job is taken away.
        testsupport::WaitFor([&] { return ListFolder(m_docs) == std::vector<std::wstring>{stem + L".osm"}; }, 10s);
        testsupport::RemoveTree(Docs(stem + L".osm"));
        // The filing's lock file goes as the filing lets go of it, a moment
        // after its job folder is complete.
        EXPECT_TRUE(testsupport::WaitFor([&] { return ListFolder(m_docs).empty(); }, 5s))
            << "no other job folder, no lock folder: " << testing::PrintToString(ListFolder(m_docs));
    }
}

// What cannot be done at the watch's start is tried again after its own pause,
// with nothing else happening meanwhile: a scan waiting there whose image stays
// held past the filing's own tries, and a recovery that cannot have the
// Documents lock (another filer holds it past the 15 s the filing waits).
TEST_F(Watch, HeldAtTheStart_TriedAgainAfterItsPauseWithNothingElseHappening)
{
    PutScan(L"Held", L".tif", "held image");
    PutTemplate(L"Held");
    {
        HeldByAnotherProcess held(Temp(L"Held.tif"));
        ASSERT_TRUE(held.Holding());
        StartWatch();
        ASSERT_TRUE(testsupport::WaitFor(
            [&] { return m_trace.Contains(L" The scan Held stays whole in the temporary folder\r\n"); }, 30s));
    }
    EXPECT_TRUE(testsupport::WaitFor([&] { return Filed(L"Held"); }, 45s)) << "tried again once its pause is over";
    EXPECT_EQ("held image", ReadFileBytes(Docs(L"Held.osm\\Held.tif")));
    ASSERT_TRUE(EndWatchByDeletingTheFolder());

    testsupport::MakeFolder(m_temp);
    testsupport::MakeFolder(Docs(L"Cut.lck")); // left by a filing that was cut off
    m_trace.Clear();
    {
        bgt::UniqueFileHandle hLock(CreateFileW(Docs(L"BgndTask filing.lock").c_str(), GENERIC_READ | DELETE, 0,
                                                nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        ASSERT_TRUE(hLock);
        StartWatch();
        ASSERT_TRUE(testsupport::WaitFor([&] { return m_trace.ContainsFragment(L"cannot be had"); }, 30s));
    }
    EXPECT_TRUE(testsupport::WaitFor([&] { return !PathExists(Docs(L"Cut.lck")); }, 45s))
        << "the recovery is tried again once its pause is over";
}

// The folder cannot be opened for a moment (held, out of reach): the watch
// goes on; only a folder that is gone ends it.
TEST_F(Watch, FolderOutOfReachForAMoment_WatchGoesOn)
{
    StartWatch();
    ASSERT_TRUE(WaitUntilWatching());
    // Held by another program; out of reach of this user for a moment (Windows
    // answers a folder pending deletion with access denied too, told apart by
    // the status underneath).
    for (DWORD dwError : {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED}) {
        SCOPED_TRACE(dwError);
        {
            faults::FaultInjector injector;
            injector.Arm(faults::Kind::FileOpen, 1, static_cast<LONG>(dwError), 100000);
            // A change beside the folder has the watch look at it.
            testsupport::MakeFolder(m_temp + L"-beside" + std::to_wstring(dwError));
            EXPECT_TRUE(testsupport::WaitFor(
                [&] { return m_trace.ContainsFragment(L"cannot be opened just now: " + std::to_wstring(dwError)); },
                30s));
            injector.DisarmAll();
        }
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m_hThread.get(), 0)) << "the watch goes on";
        std::wstring stem = L"A" + std::to_wstring(dwError);
        Drop(stem);
        EXPECT_TRUE(testsupport::WaitFor([&] { return Filed(stem); }, 15s));
    }
}

// A read that cannot be issued is traced with its own error, read before any
// other call (a debugger's output, for one, may change the thread's last
// error), and the watch goes on after a pause, since the folder is still there.
namespace {
TraceSinkFn g_pfnCaptureSink = nullptr;
void SinkThatTouchesTheLastError(const wchar_t* pszText)
{
    g_pfnCaptureSink(pszText);
    SetLastError(ERROR_SUCCESS);
}
} // namespace

TEST_F(Watch, ReadThatCannotBeIssued_TracedWithItsOwnErrorAndTheWatchGoesOn)
{
    StartWatch();
    ASSERT_TRUE(WaitUntilWatching());
    g_pfnCaptureSink = SetTraceSink(SinkThatTouchesTheLastError);
    bgt::ScopeExit restore([] { SetTraceSink(g_pfnCaptureSink); });
    {
        faults::FaultInjector injector;
        ASSERT_TRUE(faults::FaultInjector::Patched(faults::Kind::DirectoryWatch));
        injector.Arm(faults::Kind::DirectoryWatch, 1, ERROR_INVALID_FUNCTION);
        Drop(L"A");
        ASSERT_TRUE(testsupport::WaitFor([&] { return Filed(L"A"); }, 15s));
        ASSERT_TRUE(testsupport::WaitFor([&] { return injector.Failed(faults::Kind::DirectoryWatch) == 1; }, 10s));
    }
    EXPECT_TRUE(m_trace.Contains(L"  > Directory watch failed  \r\n"));
    EXPECT_TRUE(m_trace.Contains(L" The Last Error is 1\r\n"));
    Drop(L"B");
    EXPECT_TRUE(testsupport::WaitFor([&] { return Filed(L"B"); }, 15s)) << "the watch goes on";

    // Reads that can never be issued (a buffer too big for a network share):
    // the catch-up files what comes all the same.
    faults::FaultInjector injector;
    injector.Arm(faults::Kind::DirectoryWatch, 1, ERROR_INVALID_PARAMETER, 100000);
    // The read pending since B completes on a change of no scan's; the next one fails.
    WriteFileBytes(Temp(L"notes.txt"), "not a scan");
    ASSERT_TRUE(testsupport::WaitFor([&] { return injector.Failed(faults::Kind::DirectoryWatch) >= 1; }, 30s));
    Drop(L"C");
    EXPECT_TRUE(testsupport::WaitFor([&] { return Filed(L"C"); }, 15s)) << "filed by the catch-up";
}

// Scans dropped as fast as the drop protocol allows: each is filed exactly once,
// or, when a notification overflow lost its lock entry's reports, left whole in
// the temporary folder. Nothing is lost or half-moved.
TEST_F(Watch, BurstOf200Scans_EachFiledOnceOrLeftIntact)
{
    testsupport::SleepRecorder instantPauses;
    StartWatch();
    ASSERT_TRUE(WaitUntilWatching());
    constexpr int kScans = 200;
    for (int i = 0; i < kScans; ++i)
        Drop(L"S" + std::to_wstring(i), sim::JobKind::Tif, 0, 64 + i);

    // Settled: nothing has changed in either folder for a while.
    auto Snapshot = [&] { return ListFolder(m_temp).size() * 100000 + ListFolder(m_docs).size(); };
    size_t last = Snapshot();
    auto tStable = std::chrono::steady_clock::now();
    auto tEnd = tStable + 120s;
    while (std::chrono::steady_clock::now() < tEnd && std::chrono::steady_clock::now() - tStable < 4s) {
        Sleep(250);
        size_t now = Snapshot();
        if (now != last) {
            last = now;
            tStable = std::chrono::steady_clock::now();
        }
    }
    int nFiled = 0;
    int nLeft = 0;
    std::map<std::wstring, int> jobsPerStem;
    for (const std::wstring& job : JobFolders())
        ++jobsPerStem[job.substr(0, job.find_first_of(L"._"))];
    for (int i = 0; i < kScans; ++i) {
        std::wstring stem = L"S" + std::to_wstring(i);
        std::string templateText = "Name \"" + Narrow(stem) + "\"\n";
        if (jobsPerStem[stem] > 0) {
            ++nFiled;
            EXPECT_EQ(1, jobsPerStem[stem]) << Narrow(stem) << " filed once";
            EXPECT_EQ(static_cast<size_t>(64 + i), ReadFileBytes(Docs(stem + L".osm\\" + stem + L".tif")).size())
                << Narrow(stem);
            EXPECT_EQ(templateText, ReadFileBytes(Docs(stem + L".osm\\" + stem + L".ost")));
            EXPECT_FALSE(PathExists(Temp(stem + L".tif")) || PathExists(Temp(stem + L".ost"))) << Narrow(stem);
        } else {
            ++nLeft;
            EXPECT_EQ(static_cast<size_t>(64 + i), ReadFileBytes(Temp(stem + L".tif")).size()) << Narrow(stem);
            EXPECT_EQ(templateText, ReadFileBytes(Temp(stem + L".ost"))) << Narrow(stem);
        }
    }
    EXPECT_EQ(kScans, nFiled + nLeft);
    EXPECT_EQ(static_cast<size_t>(nFiled), JobFolders().size()) << "no stray job folders";
    EXPECT_TRUE(testsupport::WaitFor([&] { return ListFolder(m_docs).size() == static_cast<size_t>(nFiled); }, 5s))
        << "no lock folder left, and the filing lock let go";
    size_t nOverflows = m_trace.Count(L"  >  m_pEventData is too small\r\n");
    std::cout << "[ burst ] filed " << nFiled << ", left in TempImage " << nLeft << ", 0-byte reads " << nOverflows
              << std::endl;
    RecordProperty("filed", nFiled);
    RecordProperty("left_behind", nLeft);
    EXPECT_TRUE(EndWatchByDeletingTheFolder());
}

} // namespace
