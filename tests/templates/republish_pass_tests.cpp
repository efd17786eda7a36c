// The republish pass a watcher runs: which devices a watcher serves, the
// request values, the retries and the one fatal range, and that nothing is
// posted and the SID text stays.
#include "tests/templates/template_fixture.h"

#include <thread>

using namespace tmpltest;
using stisim::JournalOf;

namespace {

class RepublishPassTest : public TemplatePassTest {
protected:
    static void SetWiaCreate(const std::wstring& wstrName, std::vector<HRESULT> vecCreate)
    {
        stisim::WiaDeviceConfig config;
        config.vecCreateStatuses = std::move(vecCreate);
        stisim::SetWiaDevice(wstrName, config);
    }

    static void ExpectNothingPosted()
    {
        MSG msg;
        EXPECT_FALSE(TakePostedEndSession(msg));
    }

    // A watcher thread as the watcher subsystem runs it: the pass under the
    // lock, then the thread ends when the pass says so. Answers whether it did.
    static bool RunWatcherThread(int nIsWia)
    {
        struct Args {
            int nIsWia;
            bool bEndThread;
        } args{nIsWia, false};
        HANDLE hThread = CreateThread(
            nullptr, 2048,
            [](LPVOID pv) -> DWORD {
                auto* pArgs = static_cast<Args*>(pv);
                DeviceInfo info = {};
                info.IsWIA = pArgs->nIsWia;
                if (!EnterTemplateLockBounded())
                    return 1;
                RePublishAllTemplates(&info, &pArgs->bEndThread);
                LeaveCriticalSection(&g_csTemplateLock);
                return 0;
            },
            &args, 0, nullptr);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 15000));
        DWORD dwExit = 0;
        GetExitCodeThread(hThread, &dwExit);
        EXPECT_EQ(0u, dwExit) << "the watcher could not take the template lock";
        CloseHandle(hThread);
        return args.bEndThread;
    }
};

} // namespace

TEST_F(RepublishPassTest, TwoTwainScannersEachReceiveTheRequestFromBothWatchers)
{
    stisim::SetStiDevices({Twain(L"twain0"), Twain(L"twain1", kTwainDesc2)});
    std::thread first([] { EXPECT_FALSE(RunWatcherThread(0)); });
    std::thread second([] { EXPECT_FALSE(RunWatcherThread(0)); });
    testsupport::JoinWithin(first, std::chrono::seconds(30), "the first watcher's pass ended");
    testsupport::JoinWithin(second, std::chrono::seconds(30), "the second watcher's pass ended");
    for (const wchar_t* pszDevice : {L"twain0", L"twain1"}) {
        auto vecEscape = JournalOf(pszDevice, L"Escape");
        ASSERT_EQ(2u, vecEscape.size()) << pszDevice;
        for (const stisim::JournalEntry& entry : vecEscape) {
            EXPECT_EQ(0x101Eu, entry.dwCode);
            EXPECT_EQ(kUserSid, entry.wstrSid);
            EXPECT_EQ(4u, entry.dwInSize);
            EXPECT_TRUE(entry.bNullOut);
        }
        EXPECT_EQ(2u, JournalOf(pszDevice, L"UnLockDevice").size());
    }
    EXPECT_EQ(2u, m_trace.Count(L"\t\t 2 Orbek Devices found on the system\r\n"));
    EXPECT_EQ(4u, m_trace.Count(L"\t\tIStiDevice::Escape ETD_REPUBLISH_ALL_TEMPLATES SUCCESS\r\n"));
    ExpectNothingPosted();
    std::wstring wstrSid;
    EXPECT_TRUE(CopyUserSidText(wstrSid)) << "the republish pass leaves the SID text in place";
}

TEST_F(RepublishPassTest, EachWatcherServesOnlyItsOwnDriverKind)
{
    stisim::SetStiDevices({Twain(L"twain0"), Wia(L"wia1")});
    EXPECT_FALSE(RunRepublishPass(0));
    EXPECT_EQ(1u, JournalOf(L"twain0", L"Escape").size());
    EXPECT_EQ(0u, CountCalls(L"CoCreateInstance"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t 1 Orbek Devices found on the system\r\n"));

    stisim::ClearJournal();
    EXPECT_FALSE(RunRepublishPass(1));
    EXPECT_EQ(0u, CountCalls(L"CreateDevice"));
    auto vecWrite = JournalOf(L"wia1", L"WriteMultiple");
    ASSERT_EQ(1u, vecWrite.size());
    EXPECT_EQ(38964u, vecWrite[0].dwCode);
    EXPECT_EQ(kUserSid, vecWrite[0].wstrSid);

    // A record with another kind serves none.
    stisim::ClearJournal();
    EXPECT_FALSE(RunRepublishPass(2));
    EXPECT_EQ(0u, CountCalls(L"CreateDevice") + CountCalls(L"CoCreateInstance"));
    ExpectNothingPosted();
}

TEST_F(RepublishPassTest, RecordNamingBothDriversGetsOnlyTheTwainRequestFromATwainWatcher)
{
    stisim::SetStiDevices({Wia(L"both0", L"Orbek Chromhold TWAIN Scanner / Orbek Chromhold WIA Scanner")});
    RunRepublishPass(0);
    EXPECT_EQ(1u, JournalOf(L"both0", L"Escape").size());
    EXPECT_EQ(0u, CountCalls(L"CoCreateInstance")) << "exactly one branch per record";
}

TEST_F(RepublishPassTest, WiaWatcherWithOnlyTwainDevicesSendsNothing)
{
    stisim::SetStiDevices({Twain(L"twain0"), Twain(L"twain1", kTwainDesc2)});
    RunRepublishPass(1);
    EXPECT_EQ(0u, CountCalls(L"CreateDevice"));
    EXPECT_EQ(0u, CountCalls(L"CoCreateInstance"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t No Orbek Devices Found\r\n"));
}

TEST_F(RepublishPassTest, TwainDeviceThatCannotBeOpenedIsSkippedAndNotCounted)
{
    stisim::StiDeviceConfig broken = Twain(L"twain0");
    broken.hrCreate = STIERR_DEVICE_NOTREADY;
    stisim::SetStiDevices({broken});
    RunRepublishPass(0);
    EXPECT_TRUE(m_trace.Contains(L"\tCreateTWAINDevice failed for Orbek Marlstone/Pro TWAIN Scanner \r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t No Orbek Devices Found\r\n"));
    EXPECT_EQ(0u, CountCalls(L"LockDevice"));
}

TEST_F(RepublishPassTest, LockFailureIsTracedAndCounted)
{
    stisim::StiDeviceConfig busy = Twain(L"twain0");
    busy.hrLock = HRESULT_FROM_WIN32(WAIT_TIMEOUT);
    stisim::SetStiDevices({busy});
    RunRepublishPass(0);
    EXPECT_TRUE(m_trace.Contains(L"\t\tIStiDevice::LockDevice failed\r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\tRepublishAll failed for Orbek Marlstone/Pro TWAIN Scanner \r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t 1 Orbek Devices found on the system\r\n"));
    EXPECT_EQ(0u, CountCalls(L"Escape"));
    auto vecEvents = m_events.Take();
    ASSERT_EQ(1u, vecEvents.size());
    EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_REPUBLISH_FAILED), vecEvents[0].dwEventId);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, vecEvents[0].wType);
    EXPECT_EQ(L"Orbek Marlstone/Pro TWAIN Scanner", vecEvents[0].strings.at(0));
    EXPECT_EQ(0u, vecEvents[0].strings.at(1).find(L"0x80070102")) << "the lock's status";
}

TEST_F(RepublishPassTest, ListingFailuresUseTheRepublishTexts)
{
    stisim::SetStiDevices({});
    RunRepublishPass(0);
    EXPECT_TRUE(
        m_trace.Contains(L"\t\t RePublishAllTemplates IStillImage::GetDeviceList FAILED. No Devices Found\r\n"));
    EXPECT_FALSE(m_trace.Contains(L"\t\t IStillImage::GetDeviceList FAILED. No Devices Found\r\n"));
    ExpectNothingPosted();
}

TEST_F(RepublishPassTest, RootItemFailingEveryTimeMakesTwentyOneAttempts)
{
    stisim::SetStiDevices({Wia(L"wia0")});
    SetWiaCreate(L"wia0", {E_FAIL});
    EXPECT_FALSE(RunRepublishPass(1));
    EXPECT_EQ(21u, JournalOf(L"wia0", L"CreateWiaDevice").size());
    EXPECT_EQ(std::vector<DWORD>(20, 5000), m_sleeps.Pauses());
    EXPECT_TRUE(m_trace.Contains(L"\t\tRePublishAllTemplates failed for Orbek Chromhold WIA Scanner \r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t 1 Orbek Devices found on the system\r\n"));
}

TEST_F(RepublishPassTest, WiaRangeStatusIsNotFatalForARepublish)
{
    stisim::SetStiDevices({Wia(L"wia0"), Wia(L"wia1", kWiaDesc2)});
    SetWiaCreate(L"wia0", {static_cast<HRESULT>(0x80210005)});
    EXPECT_FALSE(RunWatcherThread(1));
    EXPECT_EQ(21u, JournalOf(L"wia0", L"CreateWiaDevice").size());
    EXPECT_EQ(1u, JournalOf(L"wia1", L"WriteMultiple").size()) << "the pass goes on";
    EXPECT_FALSE(m_trace.ContainsFragment(L"Killing the Thread"));
}

TEST_F(RepublishPassTest, RpcStatusEndsTheWatcherAfterItsRetriesWithEverythingGivenBack)
{
    g_dwMajorVersion = 6;
    stisim::SetStiDevices({Wia(L"wia0"), Wia(L"wia1", kWiaDesc2)});
    SetWiaCreate(L"wia0", {E_FAIL, static_cast<HRESULT>(0x80010108)});
    EXPECT_TRUE(RunWatcherThread(1));
    EXPECT_EQ(21u, JournalOf(L"wia0", L"CreateWia2Device").size());
    EXPECT_TRUE(
        m_trace.Contains(L"\t CreateWia2Device FAILED with error code 80010108h and Killing the Thread!!  \r\n"));
    EXPECT_EQ(0u, JournalOf(L"wia1", L"CreateWia2Device").size()) << "the remaining devices are not visited";
    EXPECT_EQ(0, stisim::LiveObjects());
    // The lock was left: a later pass runs.
    SetWiaCreate(L"wia0", {S_OK});
    EXPECT_FALSE(RunWatcherThread(1));
    EXPECT_EQ(1u, JournalOf(L"wia1", L"WriteMultiple").size());
}

TEST_F(RepublishPassTest, WiaRequestFailureTextsAreLedByTheOperationName)
{
    stisim::SetStiDevices({Wia(L"wia0")});
    stisim::WiaDeviceConfig config;
    config.hrLockEscape = E_ACCESSDENIED;
    stisim::SetWiaDevice(L"wia0", config);
    RunRepublishPass(1);
    EXPECT_TRUE(
        m_trace.Contains(L"\tRePublishAllWIATemplateFromDevice pWiaItemExtras->Escape FAILED!!  80070005h\r\n"));
    g_dwMajorVersion = 6;
    RunRepublishPass(1);
    EXPECT_TRUE(
        m_trace.Contains(L"\tRePublishAllWIA2TemplateFromDevice pWiaItemExtras->Escape FAILED!!  80070005h\r\n"));
    EXPECT_FALSE(m_trace.Contains(L"\t pWiaItemExtras->Escape FAILED!!  80070005h\r\n"));
}

// A session end does not wait for a republish under way: the pause between
// root-item tries ends when it begins, the pass visits no further scanner,
// reports no failure of the scanner's, and the thread goes on. A pass that begins while a session
// end holds sends nothing; once it is cancelled, passes run again.
TEST_F(RepublishPassTest, SessionEndStopsThePassAtTheNextRetryPauseAndTheNextScanner)
{
    stisim::SetStiDevices({Wia(L"wia0"), Wia(L"wia1", kWiaDesc2), Twain(L"twain0")});
    SetWiaCreate(L"wia0", {E_FAIL});
    auto pfnSaved = g_hooks.pfnWaitForSingleObject;
    bgt::ScopeExit restore([&] {
        g_hooks.pfnWaitForSingleObject = pfnSaved;
        EndSessionEnd();
    });
    g_hooks.pfnWaitForSingleObject = ::WaitForSingleObject; // the real 5 s pause
    std::thread query([] {
        Sleep(300);
        BeginSessionEnd();
    });
    ULONGLONG ullStart = GetTickCount64();
    EXPECT_FALSE(RunWatcherThread(1)) << "the watcher goes on to its watch";
    query.join();
    EXPECT_LT(GetTickCount64() - ullStart, 4000u) << "the pause under way ended with the session end's start";
    EXPECT_EQ(1u, JournalOf(L"wia0", L"CreateWiaDevice").size());
    EXPECT_EQ(0u, JournalOf(L"wia1", L"CreateWiaDevice").size()) << "no further scanner";
    EXPECT_TRUE(m_events.Take().empty()) << "not a failure of the scanner's";

    stisim::ClearJournal();
    EXPECT_FALSE(RunWatcherThread(0));
    EXPECT_EQ(0u, CountCalls(L"CreateDevice")) << "nothing while a session end holds";
    EndSessionEnd();
    EXPECT_FALSE(RunWatcherThread(0));
    EXPECT_EQ(1u, JournalOf(L"twain0", L"Escape").size()) << "after the cancel";
}
