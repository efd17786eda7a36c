// The delete pass against the simulated drivers: which requests each device
// receives, the counting, the WIA retries and fatal statuses, the message that
// lets the session end go on.
#include "tests/templates/template_fixture.h"

#include <chrono>
#include <thread>

using namespace tmpltest;
using stisim::JournalOf;

namespace {

constexpr HRESULT kRpcDisconnected = static_cast<HRESULT>(0x80010108);
constexpr HRESULT kWiaOffline = static_cast<HRESULT>(0x80210005);

class DeletePassTest : public TemplatePassTest {
protected:
    // The posted WM_ENDSESSION must carry wParam 1 and the query's lParam.
    void ExpectEndSessionPosted(DWORD dwLParam)
    {
        MSG msg = {};
        ASSERT_TRUE(TakePostedEndSession(msg)) << "no WM_ENDSESSION was posted";
        EXPECT_EQ(1u, msg.wParam);
        EXPECT_EQ(dwLParam, static_cast<DWORD>(msg.lParam));
        EXPECT_FALSE(TakePostedEndSession(msg)) << "posted more than once";
    }

    static void SetWia(const std::wstring& wstrName, std::vector<HRESULT> vecCreate, HRESULT hrLock = S_OK,
                       DWORD dwLockSize = 4, HRESULT hrWrite = S_OK)
    {
        stisim::WiaDeviceConfig config;
        config.vecCreateStatuses = std::move(vecCreate);
        config.hrLockEscape = hrLock;
        config.dwLockActualSize = dwLockSize;
        config.hrWrite = hrWrite;
        stisim::SetWiaDevice(wstrName, config);
    }

    // Runs DeleteTemplateThread on a thread of its own, as the window procedure
    // does, and waits for its end (bounded).
    static void RunDeleteThread(DWORD dwLParam)
    {
        HANDLE hThread = CreateThread(nullptr, 2048, DeleteTemplateThread,
                                      reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(dwLParam)), 0, nullptr);
        ASSERT_NE(nullptr, hThread);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 10000)) << "the deletion thread did not end";
        CloseHandle(hThread);
    }

    // True when another thread can take the template lock within a bound.
    static bool LockIsFree()
    {
        HANDLE hTaken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE hThread = CreateThread(
            nullptr, 0,
            [](LPVOID pv) -> DWORD {
                EnterCriticalSection(&g_csTemplateLock);
                SetEvent(static_cast<HANDLE>(pv));
                LeaveCriticalSection(&g_csTemplateLock);
                return 0;
            },
            hTaken, 0, nullptr);
        bool bTaken = WaitForSingleObject(hTaken, 5000) == WAIT_OBJECT_0;
        if (bTaken)
            WaitForSingleObject(hThread, 5000);
        // When the lock is stuck the probe thread stays blocked; it is left behind.
        CloseHandle(hThread);
        CloseHandle(hTaken);
        return bTaken;
    }
};

} // namespace

TEST_F(DeletePassTest, NoImagingDevicesSendsNothingAndStillPostsEndSession)
{
    EXPECT_FALSE(RunDeletePass(ENDSESSION_LOGOFF));
    EXPECT_EQ(0u, CountCalls(L"CreateDevice"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t IStillImage::GetDeviceList FAILED. No Devices Found\r\n"));
    ExpectEndSessionPosted(ENDSESSION_LOGOFF);
}

TEST_F(DeletePassTest, NoFamilyScannerSendsNothingTracesNoneFoundAndPosts)
{
    stisim::SetStiDevices({Twain(L"other0", L"Contoso Flatbed 3000"), Twain(L"other1", L"Orbek Printer Fax")});
    EXPECT_FALSE(RunDeletePass(ENDSESSION_LOGOFF | ENDSESSION_CRITICAL));
    EXPECT_EQ(0u, CountCalls(L"CreateDevice"));
    EXPECT_EQ(0u, CountCalls(L"CoCreateInstance"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t No Orbek Devices Found\r\n"));
    ExpectEndSessionPosted(ENDSESSION_LOGOFF | ENDSESSION_CRITICAL);
}

TEST_F(DeletePassTest, NoStillImageServiceStillPostsEndSession)
{
    stisim::SetStiCreateResult(REGDB_E_CLASSNOTREG);
    stisim::SetStiDevices({Twain(L"dev0")});
    EXPECT_FALSE(RunDeletePass(0));
    EXPECT_TRUE(m_trace.Contains(L"\t\tStiCreateInstance FAILED\r\n"));
    EXPECT_EQ(0u, CountCalls(L"LockDevice"));
    ExpectEndSessionPosted(0);
}

TEST_F(DeletePassTest, TwainAndWiaDeviceEachReceiveExactlyOneRequest)
{
    stisim::SetStiDevices({Twain(L"twain0"), Wia(L"wia0")});
    EXPECT_FALSE(RunDeletePass(ENDSESSION_LOGOFF));
    EXPECT_TRUE(m_events.Take().empty()) << "no event when nothing went wrong";

    auto vecLock = JournalOf(L"twain0", L"LockDevice");
    ASSERT_EQ(1u, vecLock.size());
    EXPECT_EQ(20000u, vecLock[0].dwCode);
    auto vecEscape = JournalOf(L"twain0", L"Escape");
    ASSERT_EQ(1u, vecEscape.size());
    EXPECT_EQ(0x101Du, vecEscape[0].dwCode);
    EXPECT_EQ(kUserSid, vecEscape[0].wstrSid) << "the driver reads the SID text through the in-data address";
    EXPECT_EQ(4u, vecEscape[0].dwInSize);
    EXPECT_TRUE(vecEscape[0].bNullOut);
    EXPECT_EQ(0u, vecEscape[0].dwOutSize);
    EXPECT_EQ(1u, JournalOf(L"twain0", L"UnLockDevice").size());

    auto vecMgr = JournalOf(L"WIA", L"CoCreateInstance");
    ASSERT_EQ(1u, vecMgr.size()) << "before Vista the WIA 1 manager is used";
    EXPECT_EQ(static_cast<DWORD>(CLSCTX_LOCAL_SERVER), vecMgr[0].dwCode);
    EXPECT_EQ(1u, vecMgr[0].dwExtra) << "COM is initialised for the request";
    EXPECT_EQ(1u, JournalOf(L"wia0", L"CreateWiaDevice").size());
    auto vecWiaEscape = JournalOf(L"wia0", L"WiaEscape");
    ASSERT_EQ(2u, vecWiaEscape.size());
    EXPECT_EQ(1u, vecWiaEscape[0].dwCode);
    EXPECT_EQ(0x5C3A91E7u, vecWiaEscape[0].dwExtra) << "the lock key";
    EXPECT_EQ(4u, vecWiaEscape[0].dwInSize);
    EXPECT_EQ(4u, vecWiaEscape[0].dwOutSize);
    EXPECT_EQ(2u, vecWiaEscape[1].dwCode);
    EXPECT_EQ(stisim::WiaDeviceConfig{}.dwLockToken, vecWiaEscape[1].dwExtra) << "the unlock hands back the token";
    auto vecWrite = JournalOf(L"wia0", L"WriteMultiple");
    ASSERT_EQ(1u, vecWrite.size());
    EXPECT_EQ(38963u, vecWrite[0].dwCode);
    EXPECT_EQ(kUserSid, vecWrite[0].wstrSid);
    EXPECT_EQ(1u, vecWrite[0].dwInSize);
    EXPECT_EQ(2u, vecWrite[0].dwExtra) << "first property name id";
    // Root item and manager are released before COM is uninitialised.
    auto vecItemRelease = JournalOf(L"wia0", L"FinalRelease");
    ASSERT_EQ(1u, vecItemRelease.size());
    EXPECT_EQ(1u, vecItemRelease[0].dwExtra);
    auto vecMgrRelease = JournalOf(L"WIA", L"FinalRelease");
    ASSERT_EQ(1u, vecMgrRelease.size());
    EXPECT_EQ(1u, vecMgrRelease[0].dwExtra);

    EXPECT_TRUE(m_trace.Contains(L"\t\t 2 Orbek Devices found on the system\r\n"));
    EXPECT_FALSE(m_trace.ContainsFragment(L"DeleteAll failed"));
    ExpectEndSessionPosted(ENDSESSION_LOGOFF);
    std::wstring wstrSid;
    EXPECT_FALSE(CopyUserSidText(wstrSid)) << "the delete pass gives the SID text back";
}

// A record that names both drivers is asked through each of them: the TWAIN
// escape and the WIA property write, and counted twice.
TEST_F(DeletePassTest, RecordNamingBothDriversGetsBothRequests)
{
    stisim::SetStiDevices({Wia(L"both0", L"Orbek Chromhold TWAIN Scanner / Orbek Chromhold WIA Scanner")});
    EXPECT_FALSE(RunDeletePass(ENDSESSION_LOGOFF));
    auto vecEscape = JournalOf(L"both0", L"Escape");
    ASSERT_EQ(1u, vecEscape.size()) << "the TWAIN request";
    EXPECT_EQ(0x101Du, vecEscape[0].dwCode);
    EXPECT_EQ(kUserSid, vecEscape[0].wstrSid);
    auto vecWrite = JournalOf(L"both0", L"WriteMultiple");
    ASSERT_EQ(1u, vecWrite.size()) << "the WIA request";
    EXPECT_EQ(38963u, vecWrite[0].dwCode);
    EXPECT_EQ(kUserSid, vecWrite[0].wstrSid);
    EXPECT_TRUE(m_trace.Contains(L"\t\t 2 Orbek Devices found on the system\r\n"));
    ExpectEndSessionPosted(ENDSESSION_LOGOFF);
}

TEST_F(DeletePassTest, TwainDeviceThatCannotBeOpenedIsNotCounted)
{
    stisim::StiDeviceConfig broken = Twain(L"twain0");
    broken.hrCreate = E_ACCESSDENIED;
    stisim::SetStiDevices({broken});
    RunDeletePass();
    EXPECT_EQ(0u, CountCalls(L"LockDevice"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t No Orbek Devices Found\r\n"));
    ExpectEndSessionPosted(ENDSESSION_LOGOFF);
}

TEST_F(DeletePassTest, TwainLockTimeoutIsCountedWithoutEscapeAndTheNextDeviceIsVisited)
{
    stisim::StiDeviceConfig busy = Twain(L"twain0");
    busy.hrLock = HRESULT_FROM_WIN32(WAIT_TIMEOUT);
    stisim::SetStiDevices({busy, Twain(L"twain1", kTwainDesc2)});
    RunDeletePass();
    EXPECT_EQ(1u, JournalOf(L"twain0", L"LockDevice").size());
    EXPECT_EQ(0u, JournalOf(L"twain0", L"Escape").size());
    EXPECT_EQ(0u, JournalOf(L"twain0", L"UnLockDevice").size());
    EXPECT_EQ(1u, JournalOf(L"twain1", L"Escape").size());
    EXPECT_TRUE(m_trace.Contains(L"\t\tDeleteAll failed for Orbek Marlstone/Pro TWAIN Scanner \r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t 2 Orbek Devices found on the system\r\n"));
}

TEST_F(DeletePassTest, TwainEscapeFailureStillUnlocks)
{
    stisim::StiDeviceConfig device = Twain(L"twain0");
    device.hrEscape = E_FAIL;
    stisim::SetStiDevices({device});
    RunDeletePass();
    EXPECT_EQ(1u, JournalOf(L"twain0", L"UnLockDevice").size());
    EXPECT_TRUE(m_trace.Contains(L"\t\tIStiDevice::Escape ETD_DELETE_ALL_TEMPLATE failed\r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\tDeleteAll failed for Orbek Marlstone/Pro TWAIN Scanner \r\n"));
    auto vecEvents = m_events.Take();
    ASSERT_EQ(1u, vecEvents.size()) << "the scanner may still hold the templates";
    EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_TEMPLATES_KEPT), vecEvents[0].dwEventId);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, vecEvents[0].wType);
    EXPECT_EQ(L"Orbek Marlstone/Pro TWAIN Scanner", vecEvents[0].strings.at(0));
    EXPECT_EQ(0u, vecEvents[0].strings.at(1).find(L"0x80004005")) << "the escape's status";
}

TEST_F(DeletePassTest, WiaLockWithSizeZeroWritesButSendsNoUnlock)
{
    stisim::SetStiDevices({Wia(L"wia0")});
    SetWia(L"wia0", {}, S_OK, 0);
    RunDeletePass();
    EXPECT_EQ(1u, JournalOf(L"wia0", L"WriteMultiple").size());
    auto vecEscape = JournalOf(L"wia0", L"WiaEscape");
    ASSERT_EQ(1u, vecEscape.size());
    EXPECT_EQ(1u, vecEscape[0].dwCode);
    EXPECT_FALSE(m_trace.ContainsFragment(L"DeleteAll failed"));
}

TEST_F(DeletePassTest, WiaWriteFailureAfterSizedLockStillUnlocksAndReportsFalse)
{
    stisim::SetStiDevices({Wia(L"wia0")});
    SetWia(L"wia0", {}, S_OK, 4, E_FAIL);
    RunDeletePass();
    auto vecEscape = JournalOf(L"wia0", L"WiaEscape");
    ASSERT_EQ(2u, vecEscape.size());
    EXPECT_EQ(2u, vecEscape[1].dwCode);
    EXPECT_TRUE(m_trace.Contains(L"\t pWiaPropertyStorage->WriteMultiple FAILED!!  80004005h \r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\tDeleteAll failed for Orbek Chromhold WIA Scanner \r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t 1 Orbek Devices found on the system\r\n"));
}

TEST_F(DeletePassTest, WiaLockEscapeFailureSendsNeitherWriteNorUnlock)
{
    stisim::SetStiDevices({Wia(L"wia0")});
    SetWia(L"wia0", {}, E_ACCESSDENIED);
    RunDeletePass();
    EXPECT_EQ(0u, JournalOf(L"wia0", L"WriteMultiple").size());
    EXPECT_EQ(1u, JournalOf(L"wia0", L"WiaEscape").size());
    EXPECT_TRUE(m_trace.Contains(L"\t pWiaItemExtras->Escape FAILED!!  80070005h\r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t 1 Orbek Devices found on the system\r\n"));
}

TEST_F(DeletePassTest, RootItemAtTheThirdAttemptPausesTwiceThenGoesOn)
{
    stisim::SetStiDevices({Wia(L"wia0")});
    SetWia(L"wia0", {E_FAIL, E_FAIL, S_OK});
    RunDeletePass();
    EXPECT_EQ(3u, JournalOf(L"wia0", L"CreateWiaDevice").size());
    EXPECT_EQ((std::vector<DWORD>{5000, 5000}), m_sleeps.Pauses());
    EXPECT_EQ(1u, JournalOf(L"wia0", L"WriteMultiple").size());
    ExpectEndSessionPosted(ENDSESSION_LOGOFF);
}

TEST_F(DeletePassTest, RootItemFailingEveryTimeMakesSixAttemptsAndTheThreadGoesOn)
{
    stisim::SetStiDevices({Wia(L"wia0"), Twain(L"twain1")});
    SetWia(L"wia0", {E_FAIL});
    EXPECT_FALSE(RunDeletePass());
    EXPECT_EQ(6u, JournalOf(L"wia0", L"CreateWiaDevice").size());
    EXPECT_EQ(std::vector<DWORD>(5, 5000), m_sleeps.Pauses());
    EXPECT_EQ(1u, JournalOf(L"twain1", L"Escape").size()) << "the pass goes on with the next device";
    EXPECT_TRUE(m_trace.Contains(L"\t\tDeleteAll failed for Orbek Chromhold WIA Scanner \r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t 2 Orbek Devices found on the system\r\n"));
    EXPECT_FALSE(m_trace.ContainsFragment(L"Killing the Thread"));
    ExpectEndSessionPosted(ENDSESSION_LOGOFF);
}

TEST_F(DeletePassTest, RpcStatusEndsTheDeletionThreadWithTheLockLeftAndEverythingGivenBack)
{
    stisim::SetStiDevices({Wia(L"wia0"), Wia(L"wia1", kWiaDesc2), Twain(L"twain2")});
    SetWia(L"wia0", {kRpcDisconnected});
    RunDeleteThread(ENDSESSION_LOGOFF);

    EXPECT_TRUE(m_trace.Contains(L"Got the Delete Template thread."));
    EXPECT_EQ(6u, JournalOf(L"wia0", L"CreateWiaDevice").size());
    EXPECT_TRUE(m_trace.Contains(L"\t CreateWiaDevice FAILED with error code 80010108h and Killing the Thread!!  \r\n"));
    EXPECT_EQ(0u, JournalOf(L"wia1", L"CreateWiaDevice").size()) << "the remaining devices are not visited";
    EXPECT_EQ(0u, JournalOf(L"twain2", L"CreateDevice").size());
    EXPECT_FALSE(m_trace.ContainsFragment(L"Orbek Devices")) << "the count is not reached";
    auto vecKept = m_events.Of(BGT_EVENT_TEMPLATES_KEPT);
    ASSERT_EQ(1u, vecKept.size()) << "the scanner whose request met the fatal status";
    EXPECT_EQ(0u, vecKept[0].strings.at(1).find(L"0x80010108"));
    MSG msg;
    EXPECT_FALSE(TakePostedEndSession(msg)) << "a pass ended so posts no WM_ENDSESSION";
    // The manager was released inside the thread's apartment, before COM went.
    auto vecMgrRelease = JournalOf(L"WIA", L"FinalRelease");
    ASSERT_EQ(1u, vecMgrRelease.size());
    EXPECT_EQ(1u, vecMgrRelease[0].dwExtra);
    EXPECT_EQ(0, stisim::LiveObjects()) << "service, manager and items were given back";
    std::wstring wstrSid;
    EXPECT_TRUE(CopyUserSidText(wstrSid)) << "only a completed pass gives the SID text back";
    ASSERT_TRUE(LockIsFree()) << "the ended thread still holds g_csTemplateLock";

    // A second pass takes the lock and runs to its end.
    SetWia(L"wia0", {S_OK});
    SetWia(L"wia1", {S_OK});
    EXPECT_FALSE(RunDeletePass());
    EXPECT_EQ(1u, JournalOf(L"wia1", L"WriteMultiple").size());
    ExpectEndSessionPosted(ENDSESSION_LOGOFF);
}

TEST_F(DeletePassTest, WiaRangeStatusEndsTheDeletionThreadOnWia1AndWia2)
{
    struct Form {
        DWORD dwMajorVersion;
        const wchar_t* pwszCreateCall;
    };
    for (Form form : {Form{5, L"CreateWiaDevice"}, Form{6, L"CreateWia2Device"}}) {
        stisim::Reset();
        SetSid(kUserSid);
        m_trace.Clear();
        g_dwMajorVersion = form.dwMajorVersion;
        stisim::SetStiDevices({Wia(L"wia0"), Twain(L"twain1")});
        SetWia(L"wia0", {kWiaOffline});
        RunDeleteThread(0);
        const std::wstring wstrCall = form.pwszCreateCall;
        EXPECT_EQ(6u, JournalOf(L"wia0", wstrCall).size()) << form.dwMajorVersion;
        EXPECT_TRUE(m_trace.Contains(L"\t " + wstrCall +
                                     L" FAILED with error code 80210005h and Killing the Thread!!  \r\n"))
            << form.dwMajorVersion;
        EXPECT_EQ(0u, JournalOf(L"twain1", L"CreateDevice").size()) << form.dwMajorVersion;
        MSG msg;
        EXPECT_FALSE(TakePostedEndSession(msg)) << form.dwMajorVersion;
        ASSERT_TRUE(LockIsFree()) << form.dwMajorVersion;
    }
}

TEST_F(DeletePassTest, VistaUsesWia2AndAFailedVersionProbeUsesWia1)
{
    stisim::SetStiDevices({Wia(L"wia0")});
    g_dwMajorVersion = 6;
    RunDeletePass();
    EXPECT_EQ(1u, JournalOf(L"WIA2", L"CoCreateInstance").size());
    auto vecCreate = JournalOf(L"wia0", L"CreateWia2Device");
    ASSERT_EQ(1u, vecCreate.size());
    EXPECT_EQ(0u, vecCreate[0].dwCode) << "flags 0";
    EXPECT_EQ(38963u, JournalOf(L"wia0", L"WriteMultiple").at(0).dwCode);

    stisim::ClearJournal();
    SetSid(kUserSid);
    g_bVersionFails = true;
    RunDeletePass();
    EXPECT_EQ(0u, JournalOf(L"WIA2", L"CoCreateInstance").size());
    EXPECT_EQ(1u, JournalOf(L"WIA", L"CoCreateInstance").size());
    EXPECT_EQ(1u, JournalOf(L"wia0", L"CreateWiaDevice").size());
}

TEST_F(DeletePassTest, WiaServiceUnavailableFailsEachRequestWithoutEndingTheThread)
{
    stisim::SetStiDevices({Wia(L"wia0"), Wia(L"wia1", kWiaDesc2)});
    stisim::SetWiaServiceResult(HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED));
    EXPECT_FALSE(RunDeletePass());
    EXPECT_EQ(2u, JournalOf(L"WIA", L"CoCreateInstance").size());
    EXPECT_EQ(2u, m_trace.Count(L"\t CoCreateInstance CLSID_WiaDevMgr FAILED!!:  80070422h\r\n"));
    EXPECT_EQ(0u, CountCalls(L"CreateWiaDevice"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t 2 Orbek Devices found on the system\r\n"));
    ExpectEndSessionPosted(ENDSESSION_LOGOFF);
}

TEST_F(DeletePassTest, ThreadInAnotherApartmentFailsTheWiaRequestAndKeepsItsApartment)
{
    stisim::SetStiDevices({Wia(L"wia0")});
    std::thread sta([this] {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        EXPECT_FALSE(RunDeletePass());
        // The request's failed CoInitializeEx must not be paired with a
        // CoUninitialize that would take this thread's own apartment away.
        APTTYPE aptType;
        APTTYPEQUALIFIER aptQualifier;
        EXPECT_EQ(S_OK, CoGetApartmentType(&aptType, &aptQualifier));
        EXPECT_TRUE(aptType == APTTYPE_STA || aptType == APTTYPE_MAINSTA) << aptType;
        CoUninitialize();
    });
    testsupport::JoinWithin(sta, std::chrono::seconds(20), "the delete pass in another apartment ended");
    EXPECT_EQ(0u, CountCalls(L"CoCreateInstance"));
    EXPECT_TRUE(m_trace.Contains(L"\t CoInitializeEx FAILED!!  80010106h\r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\tDeleteAll failed for Orbek Chromhold WIA Scanner \r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\t 1 Orbek Devices found on the system\r\n"));
    ExpectEndSessionPosted(ENDSESSION_LOGOFF);
}

TEST_F(DeletePassTest, NoRequestIsSentWithoutTheSidText)
{
    DiscardUserSidText();
    stisim::SetStiDevices({Twain(L"twain0"), Wia(L"wia1")});
    RunDeletePass();
    EXPECT_EQ(0u, CountCalls(L"LockDevice"));
    EXPECT_EQ(0u, CountCalls(L"Escape"));
    EXPECT_EQ(0u, CountCalls(L"CoCreateInstance"));
    EXPECT_TRUE(m_trace.Contains(L"\t\tDeleteAll failed for Orbek Marlstone/Pro TWAIN Scanner \r\n"));
    EXPECT_TRUE(m_trace.Contains(L"\t\tDeleteAll failed for Orbek Chromhold WIA Scanner \r\n"));
    EXPECT_TRUE(m_events.Take().empty()) << "without the text nothing was published, or a pass already deleted it";
    ExpectEndSessionPosted(ENDSESSION_LOGOFF);
}

TEST_F(DeletePassTest, RepublishAfterADeletePassSendsNothingAndDoesNotHang)
{
    stisim::SetStiDevices({Twain(L"twain0")});
    RunDeletePass();
    ExpectEndSessionPosted(ENDSESSION_LOGOFF);
    stisim::ClearJournal();
    // The session end was cancelled: the watcher's next pass runs to its end,
    // with no SID text to send.
    EXPECT_FALSE(RunRepublishPass(0));
    EXPECT_EQ(1u, JournalOf(L"twain0", L"CreateDevice").size());
    EXPECT_EQ(0u, CountCalls(L"Escape"));
    EXPECT_TRUE(m_trace.Contains(L"\t\tRepublishAll failed for Orbek Marlstone/Pro TWAIN Scanner \r\n"));
    EXPECT_TRUE(LockIsFree());
}

// ---- the session end through the real hidden window ----

TEST_F(DeletePassTest, QueryEndSessionOnTheWindowDeletesOnEveryScannerAndRelaysTheQueryFlags)
{
    stisim::SetStiDevices({Twain(L"twain0"), Wia(L"wia1")});
    {
        testsupport::HangDeadline deadline("WM_QUERYENDSESSION answered", std::chrono::seconds(20));
        EXPECT_EQ(1, SendMessageW(g_hWnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    }
    EXPECT_TRUE(m_trace.Contains(L"Got the Delete Template thread."));
    EXPECT_EQ(0x101Du, JournalOf(L"twain0", L"Escape").at(0).dwCode);
    EXPECT_EQ(38963u, JournalOf(L"wia1", L"WriteMultiple").at(0).dwCode);
    EXPECT_TRUE(m_trace.Contains(L"\t\t 2 Orbek Devices found on the system\r\n"));
    // Nothing is relayed while the query is answered; the pass's message waits
    // in the queue with the query's flags.
    EXPECT_TRUE(g_vecExitCalls.empty());
    ExpectEndSessionPosted(ENDSESSION_LOGOFF);
}

namespace {

// A wait hook that tells when the republish pass is inside its root-item retry
// pause, and then pauses for real.
HANDLE g_hInsideRetry = nullptr;
DWORD WINAPI WaitTellingItBegan(HANDLE hObject, DWORD dwMilliseconds)
{
    SetEvent(g_hInsideRetry);
    return WaitForSingleObject(hObject, dwMilliseconds);
}

} // namespace

// The republish pass in its 5 s root-item retry pause when the query comes: the
// pause ends with the query's start, the pass stops and the delete pass runs.
TEST_F(DeletePassTest, QueryArrivingDuringARepublishPass_StopsItAtItsRetryPause)
{
    stisim::SetStiDevices({Wia(L"wia0")});
    SetWia(L"wia0", {E_FAIL, S_OK});
    g_hInsideRetry = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_hooks.pfnWaitForSingleObject = WaitTellingItBegan;

    std::thread watcher([this] { EXPECT_FALSE(RunRepublishPass(1)); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hInsideRetry, 5000));
    auto start = std::chrono::steady_clock::now();
    {
        testsupport::HangDeadline deadline("WM_QUERYENDSESSION answered", std::chrono::seconds(20));
        EXPECT_EQ(1, SendMessageW(g_hWnd, WM_QUERYENDSESSION, 0, 0));
    }
    auto waited = std::chrono::steady_clock::now() - start;
    testsupport::JoinWithin(watcher, std::chrono::seconds(20), "the republish pass ended");
    CloseHandle(g_hInsideRetry);

    EXPECT_LT(waited, std::chrono::milliseconds(4000)) << "the query waited out the republish's pause";
    auto vecWrites = JournalOf(L"wia0", L"WriteMultiple");
    ASSERT_EQ(1u, vecWrites.size()) << "the republish pass stopped at its retry pause";
    EXPECT_EQ(38963u, vecWrites[0].dwCode);
    EXPECT_EQ(2u, JournalOf(L"wia0", L"CreateWiaDevice").size()) << "one attempt of each pass, no retry";
    ExpectEndSessionPosted(0);
}
