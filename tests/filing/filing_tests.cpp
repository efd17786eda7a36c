// Job filing driven record by record, as the watch loop hands records over.
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <numeric>
#include <thread>

#include "tests/filing/filing_fixture.h"
#include "tests/reliability/fault_injection.h"
#include "tests/support/event_capture.h"
#include "watcher/catch_up.h"
#include "watcher/filing.h"
#include "watcher/filing_lock.h"
#include "watcher/filing_parts.h"

using namespace filingtest;

namespace {

class Filing : public FilingFixture {
protected:
    // A change record's name is not terminated: hand it over inside a longer
    // text so that a read past its length would be seen.
    FilingOutcome Report(const std::wstring& name)
    {
        std::wstring padded = name + L"XYZ.tif";
        return FileScanRecord(&m_device, padded.c_str(), static_cast<DWORD>(name.size() * sizeof(wchar_t)));
    }

    std::wstring OnlyStampedJob(const std::wstring& stem) const
    {
        std::wstring found;
        for (const std::wstring& job : JobFolders()) {
            if (job.rfind(stem + L"_", 0) == 0) {
                EXPECT_TRUE(found.empty()) << "more than one stamped job";
                found = job;
            }
        }
        return found;
    }

    testsupport::SleepRecorder m_sleeps;
};

TEST_F(Filing, GenTimeDateName_LocalTimeWithoutLeadingZerosAndBoundedStatuses)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    wchar_t wszStamp[260];
    ASSERT_EQ(S_OK, GenTimeDateName(wszStamp, 260));
    std::wstring stamp = wszStamp;
    EXPECT_TRUE(std::regex_match(stamp, StampPattern())) << "no leading zeros: " << Narrow(stamp);
    EXPECT_TRUE(stamp == StampOf(before) || stamp == StampInSeconds(before, 1)) << Narrow(stamp);

    // Cut to the year and its dash; the year of this call, which a run at the
    // year's last second may see change.
    wchar_t wszShort[6];
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, GenTimeDateName(wszShort, ARRAYSIZE(wszShort)));
    SYSTEMTIME after;
    GetLocalTime(&after);
    EXPECT_TRUE(std::wstring(wszShort) == stamp.substr(0, 5) || std::wstring(wszShort) == StampOf(after).substr(0, 5))
        << Narrow(wszShort);
    EXPECT_EQ(E_INVALIDARG, GenTimeDateName(wszShort, 0));
}

TEST_F(Filing, LockGone_FilesImageAndTemplate_ThenRemovalReportFilesNothing)
{
    PutScan(L"A", L".tif");
    PutTemplate(L"A");
    Report(L"A.lck");

    ASSERT_EQ(std::vector<std::wstring>{L"A.osm"}, ListFolder(m_docs)) << "lock folder removed at the end";
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(Docs(L"A.osm")));
    EXPECT_EQ("image of A.tif", ReadFileBytes(Docs(L"A.osm\\A.tif")));
    EXPECT_TRUE(ListFolder(m_temp).empty());
    EXPECT_EQ(std::vector<DWORD>{1000}, m_sleeps.Pauses());
    EXPECT_TRUE(m_trace.Contains(L" count of i 0\r\n"));
    EXPECT_TRUE(m_trace.Contains(L" GenTimeDateName Success\r\n"));
    EXPECT_TRUE(m_trace.Contains(L"pathFile doesn't exist " + Temp(L"A.osm") + L"\r\n"));
    EXPECT_TRUE(m_trace.Contains(L" The File " + Docs(L"A.osm\\A.tif") + L" was successfully moved\r\n"));
    EXPECT_TRUE(m_trace.Contains(L" The File " + Docs(L"A.osm\\A.ost") + L" was successfully moved\r\n"));
    EXPECT_TRUE(m_trace.Contains(L">  SendToFolder Enter  \r\n")) << "a filed job is handed to the delivery";

    // The report of the lock entry's removal: the name is taken, there is no
    // image, nothing is created and nothing is delivered.
    m_trace.Clear();
    Report(L"A.lck");
    EXPECT_EQ(std::vector<std::wstring>{L"A.osm"}, ListFolder(m_docs));
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(Docs(L"A.osm")));
    EXPECT_FALSE(m_trace.ContainsFragment(L"Created at"));
    EXPECT_FALSE(m_trace.Contains(L">  SendToFolder Enter  \r\n"));
    EXPECT_EQ((std::vector<DWORD>{1000, 1000}), m_sleeps.Pauses());
}

TEST_F(Filing, SameStemLater_StampsFolderLockFolderAndFiles)
{
    PutScan(L"A", L".tif", "first");
    PutTemplate(L"A", "first template");
    Report(L"A.lck");
    PutScan(L"A", L".tif", "second");
    PutTemplate(L"A", "second template");
    SYSTEMTIME before;
    GetLocalTime(&before);
    Report(L"A.lck");

    std::wstring job = OnlyStampedJob(L"A");
    ASSERT_FALSE(job.empty());
    std::wstring stamp = job.substr(2, job.size() - 2 - 4);
    EXPECT_TRUE(std::regex_match(stamp, StampPattern())) << Narrow(stamp);
    EXPECT_TRUE(stamp == StampOf(before) || stamp == StampInSeconds(before, 1)) << "local time " << Narrow(stamp);
    EXPECT_EQ((std::vector<std::wstring>{L"A_" + stamp + L".ost", L"A_" + stamp + L".tif"}), ListFolder(Docs(job)));
    EXPECT_EQ("second", ReadFileBytes(Docs(job + L"\\A_" + stamp + L".tif")));
    EXPECT_EQ("first", ReadFileBytes(Docs(L"A.osm\\A.tif")));
    EXPECT_TRUE(m_trace.Contains(L" Lock Folder For New Job Sucessfully Created at " + Docs(L"A_" + stamp + L".lck") +
                                 L"\r\n"));
    EXPECT_FALSE(PathExists(Docs(L"A_" + stamp + L".lck")));
    EXPECT_TRUE(ListFolder(m_temp).empty());
}

TEST_F(Filing, ImagePreference_TifOverPdfOverXps_OthersStay)
{
    PutScan(L"A", L".tif");
    PutScan(L"A", L".xps");
    PutTemplate(L"A");
    Report(L"A.lck");
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(Docs(L"A.osm")));
    EXPECT_EQ(std::vector<std::wstring>{L"A.xps"}, ListFolder(m_temp));

    PutScan(L"B", L".pdf");
    PutScan(L"B", L".xps");
    Report(L"B.lck");
    EXPECT_EQ(std::vector<std::wstring>{L"B.pdf"}, ListFolder(Docs(L"B.osm")));

    PutScan(L"C", L".xps");
    PutScan(L"C", L".jpg");
    Report(L"C.lck");
    EXPECT_EQ(std::vector<std::wstring>{L"C.xps"}, ListFolder(Docs(L"C.osm")));
    EXPECT_EQ((std::vector<std::wstring>{L"A.xps", L"B.xps", L"C.jpg"}), ListFolder(m_temp));
}

TEST_F(Filing, OnlyTemplate_NoJobFolderTemplateStaysNoDelivery)
{
    PutTemplate(L"A");
    Report(L"A.lck");
    EXPECT_TRUE(ListFolder(m_docs).empty());
    EXPECT_EQ(std::vector<std::wstring>{L"A.ost"}, ListFolder(m_temp));
    EXPECT_TRUE(m_trace.Contains(L" Trying to move the file " + Docs(L"A.osm\\A.ost") + L" has FAILED\r\n"));
    EXPECT_FALSE(m_trace.ContainsFragment(L"Created at"));
    EXPECT_FALSE(m_trace.Contains(L">  SendToFolder Enter  \r\n"));
}

namespace {
std::wstring g_wstrLockDuringPause;
void WINAPI LockAgainDuringThePause(DWORD)
{
    testsupport::WriteFileBytes(g_wstrLockDuringPause, "");
}

// The driver begins a new scan of the stem (lock entry, then image) just after
// the late report's check of the lock entry, when it looks for a folder job.
struct ScanBegunAfterCheck {
    std::wstring wstrAskedFor;
    std::wstring wstrLock;
    std::wstring wstrImage;
    faults::ImportOverride* pOverride = nullptr;
};
ScanBegunAfterCheck g_scanBegun;
BOOL WINAPI BeginScanWhenAsked(LPCWSTR pwszPath)
{
    if (g_scanBegun.wstrAskedFor == pwszPath) {
        g_scanBegun.wstrAskedFor.clear();
        testsupport::WriteFileBytes(g_scanBegun.wstrLock, "");
        testsupport::WriteFileBytes(g_scanBegun.wstrImage, "new image");
    }
    return g_scanBegun.pOverride->Original<decltype(PathFileExistsW)>()(pwszPath);
}
} // namespace

TEST_F(Filing, LockEntryBackAfterThePause_NewScanOfTheSameNameLeftToItsOwnReport)
{
    // The driver starts the next scan of the same name while a late report of
    // the previous one pauses: the half-written scan must stay where it is.
    g_wstrLockDuringPause = Temp(L"A.lck");
    g_hooks.pfnSleep = LockAgainDuringThePause;
    PutScan(L"A", L".tif");
    Report(L"A.lck");
    EXPECT_TRUE(ListFolder(m_docs).empty());
    EXPECT_EQ((std::vector<std::wstring>{L"A.lck", L"A.tif"}), ListFolder(m_temp));
    EXPECT_TRUE(m_trace.Contains(L" The lock entry " + Temp(L"A.lck") +
                                 L" stands again; the scan is still being written\r\n"));

    // Once the driver has finished, the removal report files it whole.
    PutTemplate(L"A");
    DeleteFileW(Temp(L"A.lck").c_str());
    testsupport::SleepRecorder instant;
    Report(L"A.lck");
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(Docs(L"A.osm")));
    EXPECT_TRUE(ListFolder(m_temp).empty());

    // Begun just after the check: its image, taken before the template exists,
    // goes back, and the new scan is filed whole by its own report.
    {
        faults::ImportOverride exists("PathFileExistsW", reinterpret_cast<void*>(BeginScanWhenAsked));
        ASSERT_TRUE(exists.Patched());
        g_scanBegun = {Temp(L"A.osm"), Temp(L"A.lck"), Temp(L"A.tif"), &exists};
        EXPECT_EQ(FilingOutcome::NotFiled, Report(L"A.lck"));
    }
    EXPECT_EQ(std::vector<std::wstring>{L"A.osm"}, JobFolders());
    EXPECT_EQ((std::vector<std::wstring>{L"A.lck", L"A.tif"}), ListFolder(m_temp));
    PutTemplate(L"A", "new template");
    DeleteFileW(Temp(L"A.lck").c_str());
    EXPECT_EQ(FilingOutcome::Filed, Report(L"A.lck"));
    std::wstring job = OnlyStampedJob(L"A");
    ASSERT_FALSE(job.empty());
    EXPECT_EQ(2u, ListFolder(Docs(job)).size()) << "image and template filed together";
    std::wstring name = job.substr(0, job.size() - 4);
    EXPECT_EQ("new template", ReadFileBytes(Docs(job + L"\\" + name + L".ost")));
}

// A late report that waited for the Documents lock while the driver began a
// new scan of the same folder job: the lock entry is looked at again under the
// lock, and the pages stay together for the new scan's own report.
TEST_F(Filing, FolderJob_NewScanBegunWhileTheReportWaited_PagesStayTogether)
{
    testsupport::MakeFolder(Temp(L"A.osm"));
    WriteFileBytes(Temp(L"A.osm\\p1.tif"), "page 1");
    {
        faults::ImportOverride exists("PathFileExistsW", reinterpret_cast<void*>(BeginScanWhenAsked));
        ASSERT_TRUE(exists.Patched());
        g_scanBegun = {Temp(L"A.osm"), Temp(L"A.lck"), Temp(L"A.osm\\p2.tif"), &exists};
        EXPECT_EQ(FilingOutcome::NotFiled, Report(L"A.lck"));
    }
    EXPECT_TRUE(ListFolder(m_docs).empty());
    EXPECT_EQ((std::vector<std::wstring>{L"p1.tif", L"p2.tif"}), ListFolder(Temp(L"A.osm")));
    DeleteFileW(Temp(L"A.lck").c_str());
    EXPECT_EQ(FilingOutcome::Filed, Report(L"A.lck"));
    EXPECT_EQ((std::vector<std::wstring>{L"A_p1.tif", L"A_p2.tif"}), ListFolder(Docs(L"A.osm")));
}

TEST_F(Filing, OnlyLockEntriesAreActedOn_CaseInsensitiveExtension)
{
    PutScan(L"A", L".tif");
    PutScan(L"B", L".tif");
    Report(L"A.lck.tmp");
    Report(L"A.tif");
    Report(L"lck");
    Report(L"A.lckx");
    EXPECT_TRUE(ListFolder(m_docs).empty());
    EXPECT_TRUE(m_sleeps.Pauses().empty()) << "ignored names cost no pause";

    Report(L"A.LCK");
    Report(L"B.Lck");
    EXPECT_EQ((std::vector<std::wstring>{L"A.osm", L"B.osm"}), ListFolder(m_docs));
}

TEST_F(Filing, FolderJob_PagesRenamedOnce_OddNamesKeepTheirParts)
{
    testsupport::MakeFolder(Temp(L"A.osm"));
    for (const wchar_t* name : {L"p1.tif", L"p1.tmb", L"p1.JPG", L"A.ost", L"README", L"p2.x.jpg", L"A_p9.tif"})
        WriteFileBytes(Temp(L"A.osm\\") + name, Narrow(name));
    Report(L"A.lck");

    EXPECT_EQ(std::vector<std::wstring>{L"A.osm"}, ListFolder(m_docs));
    // A name with several dots keeps everything between its first and last dot.
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A_A_p9.tif", L"A_p1.JPG", L"A_p1.tif", L"A_p1.tmb",
                                         L"A_p2.x.jpg", L"README"}),
              ListFolder(Docs(L"A.osm")));
    EXPECT_EQ("p1.tif", ReadFileBytes(Docs(L"A.osm\\A_p1.tif")));
    EXPECT_EQ("p2.x.jpg", ReadFileBytes(Docs(L"A.osm\\A_p2.x.jpg")));
    EXPECT_EQ("README", ReadFileBytes(Docs(L"A.osm\\README")));
    EXPECT_TRUE(ListFolder(m_temp).empty());
    EXPECT_TRUE(m_trace.Contains(L" Lock Folder For New Job Sucessfully Created at " + Docs(L"A.lck") + L"\r\n"));
    EXPECT_TRUE(m_trace.Contains(L" The File " + Docs(L"A.osm") + L" was successfully moved\r\n"));
    EXPECT_TRUE(m_trace.Contains(L">  SendToFolder Enter  \r\n"));

    // The same stem again: everything carries the stamp.
    testsupport::MakeFolder(Temp(L"A.osm"));
    for (const wchar_t* name : {L"p1.tif", L"A.ost", L"README"})
        WriteFileBytes(Temp(L"A.osm\\") + name, "again");
    Report(L"A.lck");
    std::wstring job = OnlyStampedJob(L"A");
    ASSERT_FALSE(job.empty());
    std::wstring stamp = job.substr(2, job.size() - 6);
    EXPECT_EQ((std::vector<std::wstring>{L"A_" + stamp + L".ost", L"A_p1_" + stamp + L".tif", L"README_" + stamp}),
              ListFolder(Docs(job)));
}

// The report of a lock entry's creation starts nothing: no poll, no pause. Its
// removal is reported too and files the scan.
TEST_F(Filing, LockEntryStanding_NothingFiledNothingPolled)
{
    PutScan(L"A", L".tif");
    WriteFileBytes(Temp(L"A.lck"), "");
    testsupport::HangDeadline deadline("a report of a standing lock entry", std::chrono::seconds(5));
    Report(L"A.lck");
    EXPECT_TRUE(ListFolder(m_docs).empty());
    EXPECT_EQ((std::vector<std::wstring>{L"A.lck", L"A.tif"}), ListFolder(m_temp));
    EXPECT_TRUE(m_trace.Contains(L" count of i 0\r\n"));
    EXPECT_TRUE(m_sleeps.Pauses().empty());
}

TEST_F(Filing, StampedNameTakenToo_CounterGivesAThirdNameAndNothingIsLost)
{
    // Documents holds the plain name and the stamped names of the next seconds:
    // two jobs of one stem within one second.
    SYSTEMTIME now;
    GetLocalTime(&now);
    testsupport::MakeFolder(Docs(L"A.osm"));
    for (int i = -1; i <= 10; ++i)
        testsupport::MakeFolder(Docs(L"A_" + StampInSeconds(now, i) + L".osm"));
    size_t nBefore = ListFolder(m_docs).size();
    // A name choice that offers a taken name again would never end.
    testsupport::HangDeadline deadline("filing with every stamped name taken", std::chrono::seconds(60));

    PutScan(L"A", L".tif", "one");
    PutTemplate(L"A", "one");
    Report(L"A.lck");
    PutScan(L"A", L".tif", "two");
    PutTemplate(L"A", "two");
    Report(L"A.lck");

    std::vector<std::wstring> added;
    for (const std::wstring& name : ListFolder(m_docs))
        if (!ListFolder(Docs(name)).empty())
            added.push_back(name);
    ASSERT_EQ(2u, added.size());
    EXPECT_EQ(nBefore + 2, ListFolder(m_docs).size()) << "no lock folder left behind";
    std::wregex counted(L"A_\\d{4}-\\d{1,2}-\\d{1,2}_\\d{1,2}-\\d{1,2}-\\d{1,2}_([23])\\.osm");
    std::wsmatch m;
    std::vector<std::string> contents;
    for (const std::wstring& job : added) {
        ASSERT_TRUE(std::regex_match(job, m, counted)) << Narrow(job);
        std::wstring suffix = job.substr(1, job.size() - 5);
        EXPECT_EQ((std::vector<std::wstring>{L"A" + suffix + L".ost", L"A" + suffix + L".tif"}),
                  ListFolder(Docs(job)));
        contents.push_back(ReadFileBytes(Docs(job + L"\\A" + suffix + L".tif")));
    }
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), contents) << "both scans filed, each once";
    EXPECT_TRUE(ListFolder(m_temp).empty());
}

TEST_F(Filing, OverLongPaths_NothingFiledNothingLost)
{
    // The stem fits in the temporary folder, but the job's files would not fit
    // under Documents: nothing moves.
    std::wstring stem(150, L's');
    PutScan(stem, L".tif");
    PutTemplate(stem);
    Report(stem + L".lck");
    EXPECT_TRUE(ListFolder(m_docs).empty());
    EXPECT_EQ((std::vector<std::wstring>{stem + L".ost", stem + L".tif"}), ListFolder(m_temp));
    EXPECT_TRUE(m_trace.ContainsFragment(L"does not fit, the job is not filed"));
    EXPECT_FALSE(m_trace.Contains(L">  SendToFolder Enter  \r\n"));

    // A folder job whose folder fits but one of whose pages would not once renamed.
    // Its path is 259 characters in the job folder; once renamed it would be 261.
    std::wstring page(259 - m_docs.size() - 11, L'p');
    testsupport::MakeFolder(Temp(L"B.osm"));
    WriteFileBytes(Temp(L"B.osm\\" + page + L".tif"), "long page");
    WriteFileBytes(Temp(L"B.osm\\B.ost"), "template");
    m_trace.Clear();
    Report(L"B.lck");
    EXPECT_TRUE(JobFolders().empty());
    EXPECT_EQ((std::vector<std::wstring>{L"B.ost", page + L".tif"}), ListFolder(Temp(L"B.osm")));
    EXPECT_TRUE(m_trace.ContainsFragment(L"does not fit, the job is not filed"));
    EXPECT_FALSE(m_trace.ContainsFragment(L"Created at"));

    // A page whose path once renamed would be exactly 260 characters: the
    // file calls take at most 259.
    std::wstring edge(260 - m_docs.size() - 13, L'e');
    ASSERT_EQ(260u, Docs(L"C.osm\\C_" + edge + L".tif").size());
    testsupport::MakeFolder(Temp(L"C.osm"));
    WriteFileBytes(Temp(L"C.osm\\" + edge + L".tif"), "edge page");
    m_trace.Clear();
    Report(L"C.lck");
    EXPECT_TRUE(JobFolders().empty());
    EXPECT_EQ(std::vector<std::wstring>{edge + L".tif"}, ListFolder(Temp(L"C.osm")));
    EXPECT_TRUE(m_trace.ContainsFragment(L"does not fit, the job is not filed"));
}

TEST_F(Filing, HeldTemplate_TriedAgainThenTheScanStaysWholeWithNoFolderLeft)
{
    PutScan(L"A", L".tif", "held image");
    PutTemplate(L"A", "held template");
    FilingOutcome outcome;
    {
        // Held open without delete sharing, the template cannot be moved; the
        // image, already moved, goes back.
        bgt::UniqueFileHandle hHeld(CreateFileW(Temp(L"A.ost").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(hHeld);
        outcome = Report(L"A.lck");
    }
    EXPECT_EQ(FilingOutcome::Held, outcome);
    EXPECT_TRUE(ListFolder(m_docs).empty()) << "no job folder and no lock folder";
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(m_temp));
    EXPECT_EQ("held image", ReadFileBytes(Temp(L"A.tif")));
    EXPECT_EQ("held template", ReadFileBytes(Temp(L"A.ost")));
    EXPECT_TRUE(m_trace.Contains(L" Trying to move the file " + Docs(L"A.osm\\A.ost") + L" has FAILED\r\n"));
    EXPECT_TRUE(m_trace.Contains(L" The scan A stays whole in the temporary folder\r\n"));
    EXPECT_FALSE(m_trace.Contains(L">  SendToFolder Enter  \r\n"));
    // The settling pause, then the held move tried again in short steps for 2 s.
    std::vector<DWORD> pauses = m_sleeps.Pauses();
    ASSERT_EQ(21u, pauses.size());
    EXPECT_EQ(1000u, pauses[0]);
    EXPECT_EQ(2000u, std::accumulate(pauses.begin() + 1, pauses.end(), 0u));
    EXPECT_EQ(100u, *std::max_element(pauses.begin() + 1, pauses.end()));

    // A held image: nothing moves at all. Once let go, the scan is filed whole.
    {
        bgt::UniqueFileHandle hHeld(CreateFileW(Temp(L"A.tif").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(hHeld);
        EXPECT_EQ(FilingOutcome::Held, Report(L"A.lck"));
    }
    EXPECT_TRUE(ListFolder(m_docs).empty());
    EXPECT_EQ(FilingOutcome::Filed, Report(L"A.lck"));
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(Docs(L"A.osm")));
    EXPECT_TRUE(ListFolder(m_temp).empty());

    // Windows answers access denied for a file another program has open for
    // deletion: held too, tried again, then left whole.
    PutScan(L"D", L".tif");
    PutTemplate(L"D");
    size_t nPausesBefore = m_sleeps.Pauses().size();
    {
        faults::FaultInjector injector;
        injector.Arm(faults::Kind::Move, 1, ERROR_ACCESS_DENIED, 100);
        EXPECT_EQ(FilingOutcome::Held, Report(L"D.lck"));
        EXPECT_EQ(21u, injector.Failed(faults::Kind::Move)) << "the first try and 20 more";
    }
    EXPECT_EQ(21u, m_sleeps.Pauses().size() - nPausesBefore);
    EXPECT_EQ((std::vector<std::wstring>{L"D.ost", L"D.tif"}), ListFolder(m_temp));
}

TEST_F(Filing, FailedRename_LeavesThePageWhereAndAsItWas)
{
    // A page whose rename fails keeps its name inside the job folder.
    testsupport::MakeFolder(Temp(L"B.osm"));
    WriteFileBytes(Temp(L"B.osm\\p1.tif"), "page one");
    WriteFileBytes(Temp(L"B.osm\\p2.tif"), "page two");
    {
        bgt::UniqueFileHandle hHeld(CreateFileW(Temp(L"B.osm\\p2.tif").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(hHeld);
        Report(L"B.lck");
    }
    ASSERT_TRUE(PathExists(Docs(L"B.osm"))) << "the whole job folder moves";
    EXPECT_EQ((std::vector<std::wstring>{L"B_p1.tif", L"p2.tif"}), ListFolder(Docs(L"B.osm")));
    EXPECT_EQ("page two", ReadFileBytes(Docs(L"B.osm\\p2.tif")));
    EXPECT_TRUE(m_trace.Contains(L" Trying to move the file " + Docs(L"B.osm\\B_p2.tif") + L" has FAILED\r\n"));
}

TEST_F(Filing, PageRenameOntoATakenName_NothingIsReplaced)
{
    // p1.tif becomes A_p1.tif, which is taken until A_p1.tif itself has become
    // A_A_p1.tif: whichever comes first, no page replaces another.
    testsupport::MakeFolder(Temp(L"A.osm"));
    WriteFileBytes(Temp(L"A.osm\\p1.tif"), "page");
    WriteFileBytes(Temp(L"A.osm\\A_p1.tif"), "other page");
    Report(L"A.lck");
    std::vector<std::wstring> files = ListFolder(Docs(L"A.osm"));
    ASSERT_EQ(2u, files.size());
    bool bClashed = m_trace.Contains(L" Trying to move the file " + Docs(L"A.osm\\A_p1.tif") + L" has FAILED\r\n");
    EXPECT_EQ(bClashed ? (std::vector<std::wstring>{L"A_A_p1.tif", L"p1.tif"})
                       : (std::vector<std::wstring>{L"A_A_p1.tif", L"A_p1.tif"}),
              files);
    std::vector<std::string> contents{ReadFileBytes(Docs(L"A.osm\\" + files[0])),
                                      ReadFileBytes(Docs(L"A.osm\\" + files[1]))};
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ((std::vector<std::string>{"other page", "page"}), contents);
}

TEST_F(Filing, DocumentsOnAnotherVolume_FilesAndFolderJobsCopiedWhole)
{
    // /dev/shm is a file system of its own: a move there is a copy and a delete.
    std::wstring otherVolume = testsupport::WinPathFromUnix("/dev/shm/bgt-filing-" +
                                                            std::to_string(GetCurrentProcessId()));
    std::wstring docs = otherVolume + L"\\Documents";
    testsupport::MakeFolder(docs);
    bgt::ScopeExit cleanup([&] { testsupport::RemoveTree(otherVolume); });
    wcscpy_s(m_device.szDocFolder, docs.c_str());

    PutScan(L"A", L".tif", std::string(300000, 'x'));
    PutTemplate(L"A");
    Report(L"A.lck");
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(docs + L"\\A.osm"));
    EXPECT_EQ(300000u, ReadFileBytes(docs + L"\\A.osm\\A.tif").size());
    EXPECT_TRUE(ListFolder(m_temp).empty());

    testsupport::MakeFolder(Temp(L"B.osm"));
    WriteFileBytes(Temp(L"B.osm\\p1.tif"), "page one");
    WriteFileBytes(Temp(L"B.osm\\B.ost"), "template");
    m_trace.Clear();
    Report(L"B.lck");
    // A folder cannot be renamed onto another volume: its pages are copied
    // into the job folder, and the source goes once they are all whole there.
    EXPECT_EQ((std::vector<std::wstring>{L"B.ost", L"B_p1.tif"}), ListFolder(docs + L"\\B.osm"));
    EXPECT_EQ("page one", ReadFileBytes(docs + L"\\B.osm\\B_p1.tif"));
    EXPECT_EQ((std::vector<std::wstring>{L"A.osm", L"B.osm"}), ListFolder(docs)) << "no lock folder, no marker";
    EXPECT_TRUE(ListFolder(m_temp).empty());
    EXPECT_TRUE(m_trace.Contains(L">  SendToFolder Enter  \r\n"));
}

TEST_F(Filing, EveryJobAndLockFolderGoesThroughProtectedFolderCreation)
{
    PutScan(L"A", L".pdf");
    PutTemplate(L"A");
    Report(L"A.lck");
    EXPECT_TRUE(m_trace.Contains(L" Lock Folder For New Job Sucessfully Created at " + Docs(L"A.lck") + L"\r\n"));
    EXPECT_TRUE(m_trace.Contains(L" New Job Folder Sucessfully Created at " + Docs(L"A.osm") + L"\r\n"));
    std::vector<std::wstring> texts = m_trace.Texts();
    auto lock = std::find_if(texts.begin(), texts.end(), [](const std::wstring& t) { return t.find(L"Lock Folder") != std::wstring::npos; });
    auto job = std::find_if(texts.begin(), texts.end(), [](const std::wstring& t) { return t.find(L"New Job Folder") != std::wstring::npos; });
    EXPECT_LT(lock - texts.begin(), job - texts.begin()) << "the lock folder stands before the job folder";

    // Without the user's SID the protected creation refuses; the job is then not
    // filed at all, which shows the folders come from nowhere else.
    DiscardUserSidText();
    PutScan(L"B", L".tif");
    PutTemplate(L"B");
    m_trace.Clear();
    Report(L"B.lck");
    ASSERT_EQ(S_OK, InitUserIdentity());
    EXPECT_TRUE(m_trace.Contains(L" Lock Folder For New Job Creation FAILED at " + Docs(L"B.lck") + L"\r\n"));
    EXPECT_TRUE(m_trace.Contains(L" New Job Folder Creation FAILED at " + Docs(L"B.osm") + L"\r\n"));
    EXPECT_EQ(std::vector<std::wstring>{L"A.osm"}, ListFolder(m_docs));
    EXPECT_EQ((std::vector<std::wstring>{L"B.ost", L"B.tif"}), ListFolder(m_temp));
    EXPECT_FALSE(m_trace.Contains(L">  SendToFolder Enter  \r\n"));
}

} // namespace

namespace {

class Recovery : public FilingFixture {
protected:
    static void WrittenAMinuteAgo(const std::wstring& path)
    {
        FILETIME ft;
        GetSystemTimeAsFileTime(&ft);
        ULARGE_INTEGER u{{ft.dwLowDateTime, ft.dwHighDateTime}};
        u.QuadPart -= 60ull * 10000000ull;
        FILETIME ftOld{u.LowPart, u.HighPart};
        bgt::UniqueFileHandle h(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(h && SetFileTime(h.get(), nullptr, nullptr, &ftOld));
    }

    testsupport::SleepRecorder m_sleeps;
};

// What a task ended part way through a filing leaves: its lock folder, perhaps
// an empty job folder, perhaps a single-file job with the image moved and the
// template copy not yet. The next watch finishes it: nothing stays in the
// temporary folder, nothing is doubled, no lock folder is left.
TEST_F(Recovery, FilingsCutOffByAnEndedTask_AreFinishedAndNothingIsDoubled)
{
    // Cut off before anything moved: only the lock folder.
    testsupport::MakeFolder(Docs(L"A.lck"));
    PutScan(L"A", L".tif", "image A");
    PutTemplate(L"A", "template A");
    // Cut off once its job folder was made.
    testsupport::MakeFolder(Docs(L"B.lck"));
    testsupport::MakeFolder(Docs(L"B.osm"));
    PutScan(L"B", L".pdf", "image B");
    PutTemplate(L"B", "template B");
    // Cut off between the two moves of a stamped job.
    const std::wstring job = L"C_2026-12-9_5-1-2";
    testsupport::MakeFolder(Docs(L"C.osm"));
    testsupport::MakeFolder(Docs(job + L".lck"));
    testsupport::MakeFolder(Docs(job + L".osm"));
    WriteFileBytes(Docs(job + L".osm\\" + job + L".tif"), "image C");
    PutTemplate(L"C", "template C");
    // Cut off after a folder job moved, in the middle of its renames.
    testsupport::MakeFolder(Docs(L"F.lck"));
    testsupport::MakeFolder(Docs(L"F.osm"));
    WriteFileBytes(Docs(L"F.osm\\F_p1.tif"), "page 1");
    WriteFileBytes(Docs(L"F.osm\\p2.tif"), "page 2");
    // Cut off between the two moves while a new scan of the stem is being
    // written: the template copy in TempImage is the new scan's.
    testsupport::MakeFolder(Docs(L"N.lck"));
    testsupport::MakeFolder(Docs(L"N.osm"));
    WriteFileBytes(Docs(L"N.osm\\N.tif"), "image N");
    WriteFileBytes(Temp(L"N.lck"), "");
    PutTemplate(L"N", "template of the next N");

    RecoverEndedFilings(&m_device);
    EXPECT_FALSE(CatchUpFinishedScans(&m_device));

    EXPECT_EQ((std::vector<std::wstring>{L"N.lck", L"N.ost"}), ListFolder(m_temp));
    EXPECT_EQ(std::vector<std::wstring>{L"N.tif"}, ListFolder(Docs(L"N.osm")));
    DeleteFileW(Temp(L"N.lck").c_str());
    DeleteFileW(Temp(L"N.ost").c_str());
    testsupport::RemoveTree(Docs(L"N.osm"));
    EXPECT_EQ((std::vector<std::wstring>{L"A.osm", L"B.osm", L"C.osm", job + L".osm", L"F.osm"}), ListFolder(m_docs));
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(Docs(L"A.osm")));
    EXPECT_EQ((std::vector<std::wstring>{L"B.ost", L"B.pdf"}), ListFolder(Docs(L"B.osm")));
    EXPECT_EQ((std::vector<std::wstring>{job + L".ost", job + L".tif"}), ListFolder(Docs(job + L".osm")));
    EXPECT_EQ("template C", ReadFileBytes(Docs(job + L".osm\\" + job + L".ost")));
    EXPECT_EQ((std::vector<std::wstring>{L"F_p1.tif", L"p2.tif"}), ListFolder(Docs(L"F.osm")));
    EXPECT_TRUE(ListFolder(m_temp).empty());
    // The cut-off jobs were never delivered (the delivery starts once the lock
    // folder has gone); they are now, and the scans filed afresh are too.
    EXPECT_EQ(5u, m_trace.Count(L">  SendToFolder Enter  \r\n"));
    // These were just written: each gets the settling pause.
    EXPECT_EQ((std::vector<DWORD>{1000, 1000}), m_sleeps.Pauses());
}

TEST_F(Recovery, ScansQuietForAFewSeconds_FiledWithoutTheSettlingPause)
{
    PutScan(L"Old", L".tif");
    PutTemplate(L"Old");
    PutScan(L"Xps", L".xps");
    PutTemplate(L"Xps");
    testsupport::MakeFolder(Temp(L"Pages.osm"));
    WriteFileBytes(Temp(L"Pages.osm\\p1.tif"), "page");
    // An old template with an image just written, and the other way round.
    PutScan(L"Image", L".pdf");
    PutTemplate(L"Image");
    PutScan(L"Tmpl", L".tif");
    PutTemplate(L"Tmpl");
    FILETIME ftNow;
    GetSystemTimeAsFileTime(&ftNow);
    ULARGE_INTEGER old{{ftNow.dwLowDateTime, ftNow.dwHighDateTime}};
    old.QuadPart -= 3600ull * 10000000ull;
    FILETIME ftOld{old.LowPart, old.HighPart};
    for (const wchar_t* name : {L"Old.tif", L"Old.ost", L"Xps.xps", L"Xps.ost", L"Pages.osm", L"Image.ost",
                                L"Tmpl.tif"}) {
        bgt::UniqueFileHandle h(CreateFileW(Temp(name).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(h);
        ASSERT_TRUE(SetFileTime(h.get(), nullptr, nullptr, &ftOld));
    }
    PutScan(L"New", L".pdf");
    PutTemplate(L"New");
    EXPECT_FALSE(CatchUpFinishedScans(&m_device));
    EXPECT_EQ((std::vector<std::wstring>{L"Image.osm", L"New.osm", L"Old.osm", L"Pages.osm", L"Tmpl.osm",
                                         L"Xps.osm"}),
              ListFolder(m_docs));
    EXPECT_EQ((std::vector<std::wstring>{L"Xps.ost", L"Xps.xps"}), ListFolder(Docs(L"Xps.osm")));
    EXPECT_TRUE(ListFolder(m_temp).empty());
    EXPECT_EQ((std::vector<DWORD>{1000, 1000, 1000}), m_sleeps.Pauses())
        << "only the scans with a file just written wait, the image as much as the template";

    // An image without a template copy is a scan a report would file: so does
    // the catch-up, once, with the image a report would choose.
    PutScan(L"Lone", L".xps");
    PutScan(L"Lone", L".pdf");
    EXPECT_FALSE(CatchUpFinishedScans(&m_device));
    EXPECT_EQ(std::vector<std::wstring>{L"Lone.pdf"}, ListFolder(Docs(L"Lone.osm")));
    EXPECT_EQ(std::vector<std::wstring>{L"Lone.xps"}, ListFolder(m_temp)) << "taken once per pass";
}

// Another filer (a second watcher or a second task of the user) holds the
// Documents lock over its filing: its lock folder is no left-over, and a
// filing that cannot have the lock is tried again later, like a held file.
TEST_F(Recovery, FilingOfAnotherFilerUnderWay_LeftAloneWhileItHoldsTheLock)
{
    testsupport::MakeFolder(Docs(L"A.lck"));
    testsupport::MakeFolder(Docs(L"A.osm"));
    WriteFileBytes(Docs(L"A.osm\\A.tif"), "image A");
    PutTemplate(L"A", "template A");
    PutScan(L"B", L".tif");
    bgt::UniqueFileHandle hLock(CreateFileW(Docs(kFilingLockName).c_str(), GENERIC_READ | DELETE, 0, nullptr,
                                            OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    ASSERT_TRUE(hLock);
    EXPECT_TRUE(RecoverEndedFilings(&m_device)) << "tried again later";
    EXPECT_EQ((std::vector<std::wstring>{L"A.lck", L"A.osm", kFilingLockName}), ListFolder(m_docs));
    EXPECT_EQ(std::vector<std::wstring>{L"A.tif"}, ListFolder(Docs(L"A.osm")));
    EXPECT_EQ(0u, m_trace.Count(L">  SendToFolder Enter  \r\n"));

    // The other filer ends within the wait (about 5 s, a big scan's moves): the
    // filing goes on then, and the administrator reads of no scan left behind.
    testsupport::EventCapture events;
    HANDLE hHeld = hLock.get();
    bgt::UniqueHandle hLetGo(CreateThread(nullptr, 0, [](LPVOID pv) -> DWORD {
        Sleep(5000);
        return CloseHandle(pv);
    }, hHeld, 0, nullptr));
    hLock.release();
    EXPECT_EQ(FilingOutcome::Filed, FileFinishedScan(&m_device, L"B", false));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hLetGo.get(), 20000));
    EXPECT_TRUE(testsupport::EventCapture::Take().empty());
    EXPECT_EQ(std::vector<std::wstring>{L"B.tif"}, ListFolder(Docs(L"B.osm")));
    EXPECT_FALSE(RecoverEndedFilings(&m_device));
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(Docs(L"A.osm")));
    EXPECT_EQ((std::vector<std::wstring>{L"A.osm", L"B.osm"}), ListFolder(m_docs));
}

// The recovery acts only on what the filing makes: empty lock folders, job
// names of the filing's shapes, and copies to another volume that the end cut
// (told by their private names alone, never by file times).
TEST_F(Recovery, OnlyWhatTheFilingMakes_CutCopiesGoAndTheSourceWins)
{
    // A job of the stem "Scan_3" that had no template copy; an orphan
    // template copy of "Scan" is not its own ("Scan.osm" was never taken).
    testsupport::MakeFolder(Docs(L"Scan_3.lck"));
    testsupport::MakeFolder(Docs(L"Scan_3.osm"));
    WriteFileBytes(Docs(L"Scan_3.osm\\Scan_3.tif"), "image");
    PutTemplate(L"Scan", "orphan");
    // A folder of the user's that happens to bear a lock folder's name.
    testsupport::MakeFolder(Docs(L"X.lck"));
    WriteFileBytes(Docs(L"X.lck\\notes.txt"), "mine");
    testsupport::MakeFolder(Docs(L"X.osm"));
    WriteFileBytes(Docs(L"X.osm\\X.tif"), "image X");
    // Cut off while the image was copied to another volume, and while the
    // template copy was: each private source stands whole beside a partial copy.
    testsupport::MakeFolder(Docs(L"D.lck"));
    testsupport::MakeFolder(Docs(L"D.osm"));
    WriteFileBytes(Temp(L"D.tif.D.filing"), "whole image D");
    PutTemplate(L"D", "template D");
    WriteFileBytes(Docs(L"D.osm\\D.tif.filing"), "whole");
    testsupport::MakeFolder(Docs(L"E.lck"));
    testsupport::MakeFolder(Docs(L"E.osm"));
    WriteFileBytes(Docs(L"E.osm\\E.tif"), "whole image E");
    WriteFileBytes(Temp(L"E.ost.E.filing"), "whole template E");
    WriteFileBytes(Docs(L"E.osm\\E.ost.filing"), "whole te");

    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(RecoverEndedFilings(&m_device));
        EXPECT_FALSE(CatchUpFinishedScans(&m_device));
    }
    EXPECT_EQ((std::vector<std::wstring>{L"D.osm", L"E.osm", L"Scan_3.osm", L"X.lck", L"X.osm"}), ListFolder(m_docs));
    EXPECT_EQ(std::vector<std::wstring>{L"Scan.ost"}, ListFolder(m_temp));
    EXPECT_EQ(std::vector<std::wstring>{L"Scan_3.tif"}, ListFolder(Docs(L"Scan_3.osm")));
    EXPECT_EQ(std::vector<std::wstring>{L"notes.txt"}, ListFolder(Docs(L"X.lck")));
    EXPECT_EQ("whole image D", ReadFileBytes(Docs(L"D.osm\\D.tif")));
    EXPECT_EQ("template D", ReadFileBytes(Docs(L"D.osm\\D.ost")));
    EXPECT_EQ("whole image E", ReadFileBytes(Docs(L"E.osm\\E.tif")));
    EXPECT_EQ("whole template E", ReadFileBytes(Docs(L"E.osm\\E.ost")));
    // Scan_3, D and E once; X never.
    EXPECT_EQ(3u, m_trace.Count(L">  SendToFolder Enter  \r\n"));

    // A filing of the stem X does not take the user's folder for its lock folder.
    PutScan(L"X", L".tif");
    EXPECT_EQ(FilingOutcome::Filed, FileFinishedScan(&m_device, L"X", false));
    EXPECT_FALSE(m_trace.Contains(L" Lock Folder For New Job Sucessfully Created at " + Docs(L"X.lck") + L"\r\n"));
    EXPECT_EQ(std::vector<std::wstring>{L"notes.txt"}, ListFolder(Docs(L"X.lck")));
}

// A split the filing cannot undo (the template copy refused, then the image
// held on its way back) keeps its lock folder; the next recovery finishes it.
TEST_F(Recovery, SplitThatCannotBeUndone_KeepsItsLockFolderAndIsFinishedLater)
{
    PutScan(L"A", L".tif", "image A");
    PutTemplate(L"A", "template A");
    {
        // The image moves; the template copy and then the image's way back
        // stay held through all their tries.
        faults::FaultInjector injector;
        injector.Arm(faults::Kind::Move, 2, ERROR_SHARING_VIOLATION, 42);
        EXPECT_EQ(FilingOutcome::Held, FileFinishedScan(&m_device, L"A", false));
        EXPECT_EQ(42u, injector.Failed(faults::Kind::Move));
    }
    EXPECT_EQ((std::vector<std::wstring>{L"A.lck", L"A.osm"}), ListFolder(m_docs));
    EXPECT_EQ(std::vector<std::wstring>{L"A.ost"}, ListFolder(m_temp));
    EXPECT_TRUE(m_trace.Contains(L" The scan A is split; its lock folder stays for the recovery\r\n"));
    EXPECT_FALSE(RecoverEndedFilings(&m_device));
    EXPECT_EQ(std::vector<std::wstring>{L"A.osm"}, ListFolder(m_docs));
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(Docs(L"A.osm")));
    EXPECT_EQ("template A", ReadFileBytes(Docs(L"A.osm\\A.ost")));
    EXPECT_EQ(1u, m_trace.Count(L">  SendToFolder Enter  \r\n"));
}

TEST_F(Recovery, HeldScanThenAFreeOne_ThePassStillReportsTheHeldOne)
{
    PutScan(L"A", L".tif");
    PutTemplate(L"A");
    PutScan(L"B", L".tif");
    PutTemplate(L"B");
    bgt::UniqueFileHandle hHeld(
        CreateFileW(Temp(L"A.tif").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(hHeld);
    testsupport::EventCapture events;
    EXPECT_TRUE(CatchUpFinishedScans(&m_device)) << "so that the held scan is tried again later";
    EXPECT_EQ(std::vector<std::wstring>{L"B.osm"}, ListFolder(m_docs));
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(m_temp));

    // The administrator reads of the held scan once, however often it is tried,
    // and again once it is filed.
    std::vector<testsupport::WrittenEvent> held = testsupport::EventCapture::Take();
    ASSERT_EQ(1u, held.size());
    EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_FILING_FAILED), held[0].dwEventId);
    EXPECT_EQ(Temp(L"A.ost") + L", " + Temp(L"A.tif"), held[0].strings.at(0));
    EXPECT_TRUE(held[0].strings.at(1).ends_with(L"(error 32)"));
    EXPECT_TRUE(CatchUpFinishedScans(&m_device));
    EXPECT_TRUE(testsupport::EventCapture::Take().empty());
    hHeld.reset();
    EXPECT_FALSE(CatchUpFinishedScans(&m_device));
    std::vector<testsupport::WrittenEvent> later = testsupport::EventCapture::Take();
    ASSERT_EQ(1u, later.size());
    EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_FILED_LATER), later[0].dwEventId);
    EXPECT_EQ((std::vector<std::wstring>{Temp(L"A"), Docs(L"A.osm")}), later[0].strings);
}

// One filer at a time: the lock file is shared with nobody, not even a reader,
// and a second taker has it only once the first lets it go.
TEST_F(Recovery, DocumentsLock_ASecondTakerHasItOnlyOnceTheFirstLetsGo)
{
    auto first = std::make_unique<DocumentsLock>(m_docs.c_str());
    ASSERT_TRUE(first->Held());
    bgt::UniqueFileHandle hReader(CreateFileW(Docs(kFilingLockName).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    const DWORD dwReaderError = GetLastError();
    EXPECT_FALSE(hReader.valid());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), dwReaderError);
    std::atomic<bool> bLetGo{false};
    std::thread holder([&] {
        Sleep(1000);
        bLetGo = true;
        first.reset();
    });
    DocumentsLock second(m_docs.c_str());
    holder.join();
    EXPECT_TRUE(second.Held());
    EXPECT_TRUE(bLetGo) << "had while the first filer held it";
}

// Two scanner records may name one temporary folder in different case: it is
// one scan, reported once when it cannot be filed and once when it is.
TEST_F(Recovery, OneFolderNamedInTwoCases_OneNotFiledAndOneFiledLaterEvent)
{
    PutScan(L"A", L".tif");
    PutTemplate(L"A");
    DeviceInfo upper = m_device;
    CharUpperW(upper.szTempFolder);
    bgt::UniqueFileHandle hHeld(
        CreateFileW(Temp(L"A.tif").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(hHeld);
    testsupport::EventCapture events;
    EXPECT_TRUE(CatchUpFinishedScans(&m_device));
    EXPECT_TRUE(CatchUpFinishedScans(&upper));
    EXPECT_EQ(1u, testsupport::EventCapture::Of(BGT_EVENT_FILING_FAILED).size());
    hHeld.reset();
    EXPECT_FALSE(CatchUpFinishedScans(&upper));
    EXPECT_EQ(1u, testsupport::EventCapture::Of(BGT_EVENT_FILED_LATER).size());
}

// A split kept for the recovery whose template copy is held while the
// recovery runs keeps its lock folder; the next recovery completes it.
TEST_F(Recovery, CutOffJobWhoseTemplateIsHeld_KeepsItsLockFolderUntilANextRecoveryCompletesIt)
{
    testsupport::MakeFolder(Docs(L"A.lck"));
    testsupport::MakeFolder(Docs(L"A.osm"));
    WriteFileBytes(Docs(L"A.osm\\A.tif"), "image A");
    PutTemplate(L"A", "template A");
    {
        HeldByAnotherProcess held(Temp(L"A.ost"));
        ASSERT_TRUE(held.Holding());
        EXPECT_TRUE(RecoverEndedFilings(&m_device)) << "to be tried again";
        EXPECT_TRUE(RecoveryMayHaveWork(&m_device));
    }
    EXPECT_EQ((std::vector<std::wstring>{L"A.lck", L"A.osm"}), ListFolder(m_docs));
    EXPECT_EQ(0u, m_trace.Count(L">  SendToFolder Enter  \r\n"));
    EXPECT_FALSE(RecoverEndedFilings(&m_device));
    EXPECT_EQ(std::vector<std::wstring>{L"A.osm"}, ListFolder(m_docs));
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(Docs(L"A.osm")));
    EXPECT_EQ(1u, m_trace.Count(L">  SendToFolder Enter  \r\n"));
    EXPECT_FALSE(RecoveryMayHaveWork(&m_device));
}

// A split kept for the recovery and a new scan of its stem whose files carry
// earlier times: the job's image is the only copy of the first scan and stays.
TEST_F(Recovery, SplitAndANewScanOfItsStemWrittenEarlier_NoImageDeleted)
{
    testsupport::MakeFolder(Docs(L"S.lck"));
    testsupport::MakeFolder(Docs(L"S.osm"));
    WriteFileBytes(Docs(L"S.osm\\S.tif"), "only copy");
    PutScan(L"S", L".tif", "new scan");
    PutTemplate(L"S", "new template");
    WrittenAMinuteAgo(Temp(L"S.tif"));
    WrittenAMinuteAgo(Temp(L"S.ost"));
    EXPECT_FALSE(RecoverEndedFilings(&m_device));
    EXPECT_FALSE(CatchUpFinishedScans(&m_device));
    EXPECT_EQ(std::vector<std::wstring>{L"S.tif"}, ListFolder(Docs(L"S.osm")));
    EXPECT_EQ("only copy", ReadFileBytes(Docs(L"S.osm\\S.tif")));
    std::vector<std::wstring> jobs = JobFolders();
    ASSERT_EQ(2u, jobs.size());
    EXPECT_EQ(2u, ListFolder(Docs(jobs[0] == L"S.osm" ? jobs[1] : jobs[0])).size()) << "the new scan filed whole";
    EXPECT_TRUE(ListFolder(m_temp).empty());
}

// A delivery the task's end cut off: its marker stands beside the job folder
// and no delivery holds it. The next recovery delivers the job once, whole,
// removes the marker and the cut copy's leftover, and says so.
TEST_F(Recovery, DeliveryCutOff_DeliveredOnceAtTheNextRecoveryAndTheMarkerGoes)
{
    std::wstring pc = m_root / L"PC";
    testsupport::MakeFolder(pc);
    testsupport::MakeFolder(Docs(L"J.osm"));
    WriteFileBytes(Docs(L"J.osm\\J.ost"), "PCFolderPath=\"" + Narrow(pc) + "\"\r\n");
    WriteFileBytes(Docs(L"J.osm\\J.tif"), "image J");
    WriteFileBytes(Docs(L"J.delivering"), "");
    WriteFileBytes(pc + L"\\J.tif.560-1.partial", "");
    // Another delivery under way holds its marker; a marker of a job gone just goes.
    testsupport::MakeFolder(Docs(L"K.osm"));
    WriteFileBytes(Docs(L"K.osm\\K.ost"), "PCFolderPath=\"" + Narrow(pc) + "\"\r\n");
    WriteFileBytes(Docs(L"K.osm\\K.tif"), "image K");
    WriteFileBytes(Docs(L"K.delivering"), "");
    WriteFileBytes(Docs(L"Gone.delivering"), "");
    bgt::UniqueFileHandle hLive(CreateFileW(Docs(L"K.delivering").c_str(), GENERIC_READ | DELETE, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(hLive);
    EXPECT_TRUE(RecoveryMayHaveWork(&m_device));
    testsupport::EventCapture events;
    EXPECT_FALSE(RecoverEndedFilings(&m_device));
    EXPECT_EQ(std::vector<std::wstring>{L"J.tif"}, ListFolder(pc));
    EXPECT_EQ("image J", ReadFileBytes(pc + L"\\J.tif"));
    EXPECT_EQ((std::vector<std::wstring>{L"J.osm", L"K.delivering", L"K.osm"}), ListFolder(m_docs));
    std::vector<testsupport::WrittenEvent> redone = testsupport::EventCapture::Take();
    ASSERT_EQ(1u, redone.size());
    EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_DELIVERY_REDONE), redone[0].dwEventId);
    EXPECT_EQ(std::vector<std::wstring>{Docs(L"J.osm")}, redone[0].strings);
    EXPECT_FALSE(RecoverEndedFilings(&m_device));
    EXPECT_EQ(1u, m_trace.Count(L">  SendToFolder Enter  \r\n")) << "once";
    hLive.reset();
    DeleteFileW(Docs(L"K.delivering").c_str());
    EXPECT_FALSE(RecoveryMayHaveWork(&m_device));
}

} // namespace

namespace {

// A report comes in during the held steps, at the third pause.
HANDLE g_hReportAfterPauses = nullptr;
int g_nPauses = 0;
void WINAPI ReportAfterPauses(DWORD)
{
    if (++g_nPauses == 3)
        SetEvent(g_hReportAfterPauses);
}

} // namespace

// With the watch's schedule the catch-up gives way at once to a report that is
// in, files new scans, and leaves a scan whose pause is not over.
TEST_F(Recovery, ScheduledCatchUp_GivesWayToAReportAndLeavesAScanWaitingOutItsPause)
{
    for (const wchar_t* pwszStem : {L"A", L"B"}) {
        PutScan(pwszStem, L".tif");
        PutTemplate(pwszStem);
    }
    ScanSchedule schedule;
    schedule.Note(L"A", FilingOutcome::Held, GetTickCount64());
    bgt::UniqueHandle hReportIn(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    EXPECT_FALSE(CatchUpFinishedScans(&m_device, schedule, hReportIn.get()));
    EXPECT_TRUE(ListFolder(m_docs).empty()) << "nothing filed before the report is served";
    ResetEvent(hReportIn.get());
    EXPECT_TRUE(CatchUpFinishedScans(&m_device, schedule, hReportIn.get()));
    EXPECT_EQ(std::vector<std::wstring>{L"B.osm"}, ListFolder(m_docs));
    EXPECT_TRUE(PathExists(Temp(L"A.tif"))) << "A waits out its pause";
    schedule.Note(L"A", FilingOutcome::Refused, 0);
    EXPECT_TRUE(CatchUpFinishedScans(&m_device, schedule, hReportIn.get()));
    EXPECT_TRUE(PathExists(Temp(L"A.tif"))) << "a refused scan waits for a change";

    // Tried before and still held once its pause is over: one attempt, no
    // steps of waiting that would keep a new scan's report waiting.
    schedule.Note(L"A", FilingOutcome::Held, 0);
    bgt::UniqueFileHandle hHeld(
        CreateFileW(Temp(L"A.tif").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(hHeld);
    testsupport::SleepRecorder sleeps;
    EXPECT_TRUE(CatchUpFinishedScans(&m_device, schedule, hReportIn.get()));
    EXPECT_TRUE(PathExists(Temp(L"A.tif")));
    std::vector<DWORD> pauses = sleeps.Pauses();
    EXPECT_EQ(0, std::count(pauses.begin(), pauses.end(), 100u)) << "no held steps for a scan tried before";
    EXPECT_FALSE(schedule.Due(L"A", GetTickCount64())) << "held again: its next pause begins";

    // A scan met for the first time gets its steps, until a report comes in.
    PutScan(L"C", L".tif");
    PutTemplate(L"C");
    bgt::UniqueFileHandle hHeldC(
        CreateFileW(Temp(L"C.tif").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(hHeldC);
    g_hReportAfterPauses = hReportIn.get();
    g_nPauses = 0;
    testsupport::HookGuard guard;
    g_hooks.pfnSleep = ReportAfterPauses;
    CatchUpFinishedScans(&m_device, schedule, hReportIn.get());
    EXPECT_EQ(3, g_nPauses) << "the steps ended at the report, not after their 2 s";
    EXPECT_TRUE(PathExists(Temp(L"C.tif")));
    EXPECT_FALSE(schedule.Known(L"C")) << "no pause of a held scan's: tried afresh after the report";
}

namespace {

// Each scan waits on its own: a held one from 20 s doubling up to 10 min, a
// refused one until a report names it again (then after the first pause); a
// filed one is forgotten. Times are given, so nothing here waits.
TEST(ScanScheduleTable, HeldBacksOffPerScan_RefusedWaitsForAChange)
{
    constexpr ULONGLONG kAnyTime = 0;
    constexpr ULONGLONG kNever = ~0ull;
    struct Row {
        const wchar_t* pwszStem;
        FilingOutcome outcome; // NotFiled stands for a report naming the scan
        ULONGLONG ullNow;
        ULONGLONG ullNextTry;  // of the whole schedule afterwards
        ULONGLONG ullDueFrom;  // of this scan
    };
    const Row rows[] = {
        {L"A", FilingOutcome::Held, 1000, 21000, 21000},
        {L"A", FilingOutcome::Held, 21000, 61000, 61000},
        {L"a", FilingOutcome::Held, 61000, 141000, 141000}, // one scan, whatever the case
        {L"B", FilingOutcome::Held, 90000, 110000, 110000},
        {L"B", FilingOutcome::Filed, 95000, 141000, kAnyTime},
        {L"R", FilingOutcome::Refused, 96000, 141000, kNever},
        {L"R", FilingOutcome::NotFiled, 97000, 117000, 117000},
        {L"R", FilingOutcome::Refused, 98000, 141000, kNever},
    };
    ScanSchedule schedule;
    for (const Row& row : rows) {
        if (row.outcome == FilingOutcome::NotFiled)
            schedule.Changed(row.pwszStem, row.ullNow);
        else
            schedule.Note(row.pwszStem, row.outcome, row.ullNow);
        SCOPED_TRACE(std::to_string(row.ullNow));
        EXPECT_EQ(row.ullNextTry, schedule.NextTry());
        if (row.ullDueFrom == kAnyTime) {
            EXPECT_TRUE(schedule.Due(row.pwszStem, 0));
        } else if (row.ullDueFrom == kNever) {
            EXPECT_FALSE(schedule.Due(row.pwszStem, kNever - 1));
        } else {
            EXPECT_FALSE(schedule.Due(row.pwszStem, row.ullDueFrom - 1));
            EXPECT_TRUE(schedule.Due(row.pwszStem, row.ullDueFrom));
        }
    }
    for (int i = 0; i < 8; ++i)
        schedule.Note(L"A", FilingOutcome::Held, 1000000);
    EXPECT_EQ(1000000 + ScanSchedule::kLongestPauseMs, schedule.NextTry()) << "the pause stops growing at 10 min";
    schedule.Keep({L"R"});
    EXPECT_FALSE(schedule.Known(L"A")) << "a scan that is no longer there is forgotten";
    EXPECT_TRUE(schedule.Known(L"r"));
}

// Documents on another volume: a rename from the temporary folder into
// Documents (or back) answers ERROR_NOT_SAME_DEVICE, as it does across volumes.
struct OtherVolume {
    decltype(&MoveFileExW) pfnMove = nullptr;
    decltype(&DeleteFileW) pfnDelete = nullptr;
    std::wstring wstrTemp;
    std::wstring wstrDocs;
    bool bPrivateUndeletable = false;
};
OtherVolume g_volume;

bool Under(const wchar_t* pwsz, const std::wstring& folder) { return std::wstring(pwsz).rfind(folder, 0) == 0; }

BOOL WINAPI MoveFileExAcrossVolumes(LPCWSTR pwszFrom, LPCWSTR pwszTo, DWORD dwFlags)
{
    if (Under(pwszFrom, g_volume.wstrTemp) != Under(pwszTo, g_volume.wstrTemp)) {
        SetLastError(ERROR_NOT_SAME_DEVICE);
        return FALSE;
    }
    return g_volume.pfnMove(pwszFrom, pwszTo, dwFlags);
}

BOOL WINAPI DeleteFileRefusingPrivates(LPCWSTR pwsz)
{
    if (g_volume.bPrivateUndeletable && Under(pwsz, g_volume.wstrTemp) &&
        std::wstring(pwsz).ends_with(L".filing")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return g_volume.pfnDelete(pwsz);
}

class OtherVolumeFiling : public FilingFixture {
protected:
    void SetUp() override
    {
        FilingFixture::SetUp();
        g_volume = {};
        g_volume.pfnMove = reinterpret_cast<decltype(&MoveFileExW)>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "MoveFileExW")));
        g_volume.pfnDelete = reinterpret_cast<decltype(&DeleteFileW)>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "DeleteFileW")));
        g_volume.wstrTemp = m_temp + L"\\";
        g_volume.wstrDocs = m_docs + L"\\";
    }
    testsupport::SleepRecorder m_sleeps;
};

TEST_F(OtherVolumeFiling, FolderAndSingleFileJobsCopiedWhole_SourcesGoOnlyOnceTheCopyIsWhole)
{
    faults::ImportOverride moves("MoveFileExW", reinterpret_cast<void*>(MoveFileExAcrossVolumes));
    faults::ImportOverride deletes("DeleteFileW", reinterpret_cast<void*>(DeleteFileRefusingPrivates));
    ASSERT_TRUE(moves.Patched() && deletes.Patched());
    testsupport::MakeFolder(Temp(L"F.osm"));
    for (const wchar_t* name : {L"p1.tif", L"p1.jpg", L"F.ost"})
        WriteFileBytes(Temp(L"F.osm\\") + name, Narrow(name));
    PutScan(L"A", L".tif", "image A");
    PutTemplate(L"A", "template A");
    EXPECT_EQ(FilingOutcome::Filed, FileFinishedScan(&m_device, L"F", false));
    EXPECT_EQ(FilingOutcome::Filed, FileFinishedScan(&m_device, L"A", false));
    EXPECT_EQ((std::vector<std::wstring>{L"F.ost", L"F_p1.jpg", L"F_p1.tif"}), ListFolder(Docs(L"F.osm")));
    EXPECT_EQ("p1.tif", ReadFileBytes(Docs(L"F.osm\\F_p1.tif")));
    EXPECT_EQ((std::vector<std::wstring>{L"A.ost", L"A.tif"}), ListFolder(Docs(L"A.osm")));
    EXPECT_EQ((std::vector<std::wstring>{L"A.osm", L"F.osm"}), ListFolder(m_docs));
    EXPECT_TRUE(ListFolder(m_temp).empty());

    // A source that cannot be removed once copied is not filed a second time:
    // it keeps its private name, and the lock folder stands for the recovery.
    PutScan(L"B", L".tif", "image B");
    PutTemplate(L"B", "template B");
    g_volume.bPrivateUndeletable = true;
    EXPECT_EQ(FilingOutcome::Held, FileFinishedScan(&m_device, L"B", false));
    EXPECT_FALSE(CatchUpFinishedScans(&m_device));
    EXPECT_EQ((std::vector<std::wstring>{L"B.ost.B.filing", L"B.tif.B.filing"}), ListFolder(m_temp));
    EXPECT_EQ((std::vector<std::wstring>{L"A.osm", L"B.lck", L"B.osm", L"F.osm"}), ListFolder(m_docs));
    g_volume.bPrivateUndeletable = false;
    EXPECT_FALSE(RecoverEndedFilings(&m_device));
    EXPECT_EQ((std::vector<std::wstring>{L"B.ost", L"B.tif"}), ListFolder(Docs(L"B.osm")));
    EXPECT_EQ((std::vector<std::wstring>{L"A.osm", L"B.osm", L"F.osm"}), ListFolder(m_docs));
    EXPECT_TRUE(ListFolder(m_temp).empty());
    EXPECT_EQ(3u, m_trace.Count(L">  SendToFolder Enter  \r\n"));
}

// A copy across volumes takes a target under its own name for a whole copy of
// its own; one that stands already (made by anyone else) refuses the move, and
// both files stay as they were.
TEST_F(OtherVolumeFiling, MoveOntoAStandingTarget_RefusedAndBothFilesKept)
{
    faults::ImportOverride moves("MoveFileExW", reinterpret_cast<void*>(MoveFileExAcrossVolumes));
    ASSERT_TRUE(moves.Patched());
    PutScan(L"S", L".tif", "the scan");
    testsupport::MakeFolder(Docs(L"J.osm"));
    WriteFileBytes(Docs(L"J.osm\\S.tif"), "another file");
    EXPECT_FALSE(filing::MoveScanEntry(Temp(L"S.tif").c_str(), Docs(L"J.osm\\S.tif").c_str(),
                                       Temp(L"S.tif.J.filing").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ("the scan", ReadFileBytes(Temp(L"S.tif")));
    EXPECT_EQ("another file", ReadFileBytes(Docs(L"J.osm\\S.tif")));
    EXPECT_EQ(std::vector<std::wstring>{L"S.tif"}, ListFolder(m_temp));
}

// A folder job's copy cut off half way: the pages already whole stay, the
// rest are copied, the private source goes, and the job is delivered once.
TEST_F(OtherVolumeFiling, FolderCopyCutOff_RecoveryFinishesIt)
{
    testsupport::MakeFolder(Docs(L"G.lck"));
    testsupport::MakeFolder(Docs(L"G.osm"));
    testsupport::MakeFolder(Temp(L"G.osm.G.filing"));
    for (const wchar_t* name : {L"p1.tif", L"p2.tif", L"G.ost"})
        WriteFileBytes(Temp(L"G.osm.G.filing\\") + name, Narrow(name));
    WriteFileBytes(Docs(L"G.osm\\G_p1.tif"), "p1.tif");
    WriteFileBytes(Docs(L"G.osm\\G_p2.tif.filing"), "p2");
    EXPECT_TRUE(RecoveryMayHaveWork(&m_device));
    EXPECT_FALSE(RecoverEndedFilings(&m_device));
    EXPECT_EQ((std::vector<std::wstring>{L"G.ost", L"G_p1.tif", L"G_p2.tif"}), ListFolder(Docs(L"G.osm")));
    EXPECT_EQ("p2.tif", ReadFileBytes(Docs(L"G.osm\\G_p2.tif")));
    EXPECT_EQ(std::vector<std::wstring>{L"G.osm"}, ListFolder(m_docs));
    EXPECT_TRUE(ListFolder(m_temp).empty());
    EXPECT_EQ(1u, m_trace.Count(L">  SendToFolder Enter  \r\n"));
}

} // namespace
