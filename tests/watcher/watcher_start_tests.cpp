#include <gtest/gtest.h>

#include <shlobj.h>

#include <memory>
#include <string>

#include "common/owners.h"
#include "discovery/state.h"
#include "fake_resolver.h"
#include "sim/stisim/stisim.h"
#include "tests/support/event_capture.h"
#include "tests/support/test_support.h"
#include "watcher/template_refresh.h"
#include "watcher/watcher.h"

using namespace testsupport;

namespace {

const std::wstring kBoxText = L"Unable to republish the templates due to network issues. Please verify the IPaddress";
const std::wstring kRepublishTrace = L"  Getting the republish thread. IsWIA 1\r\n";
constexpr DWORD kThreadDeadlineMs = 15000;

std::wstring CommonAppData()
{
    wchar_t wsz[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, wsz);
    return wsz;
}

std::string TemplateNaming(const std::string& address)
{
    return "Name \"Scan\"\r\nRepositoryName \"" + address + "\"\r\n";
}

// One scanner's record and folders, the hook table and the registry of one test.
class WatcherStartUp : public ::testing::Test {
protected:
    void SetUp() override
    {
        static bool s_bLockReady = false;
        if (!s_bLockReady) {
            InitializeCriticalSection(&g_csTemplateLock);
            // The watch that follows the start-up pauses on the shared "WaitEvent"
            // between its attempts to open the (absent) temporary folder. Held
            // signalled for the whole run, those attempts follow each other at
            // once and the watcher ends within moments.
            static HANDLE s_hPauseEvent = CreateEventW(nullptr, TRUE, TRUE, L"WaitEvent");
            SetEvent(s_hPauseEvent);
            s_bLockReady = true;
        }
        wcscpy_s(g_wszUserName, L"tester");
        SetIPAddressText(L"");
        ResetAddressFollower();
        m_commonAppData = CommonAppData();
        ASSERT_FALSE(m_commonAppData.empty());
        m_scratchName = L"bgtws" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount());
        m_scratchRoot = m_commonAppData + L"\\" + m_scratchName;
        m_templates = m_folder / L"Templates";
        MakeFolder(m_templates);
        m_pDevice = std::make_unique<DeviceInfo>();
        SetFilingPath(m_scratchRoot + L"\\A\\MSTB");
        wcscpy_s(m_pDevice->szTemplateFolder, m_templates.c_str());
        m_pDevice->IsWIA = 1;
        RemoveMarker();
    }

    void TearDown() override
    {
        RemoveMarker();
        RemoveTree(m_scratchRoot);
    }

    void SetFilingPath(const std::wstring& path)
    {
        wcscpy_s(m_pDevice->szFilingPath, path.c_str());
        MakeFolder(path);
    }

    std::wstring MarkerPath() const { return m_commonAppData + L"\\Beno_obk.del"; }
    void RemoveMarker() const { DeleteFileW(MarkerPath().c_str()); }

    std::wstring UserKey() const { return L"Software\\" + m_scratchName + L"\\A\\MarlstoneB"; }

    // Runs the watcher thread to its end (the watch gives up at once here).
    bool RunWatcher()
    {
        bgt::UniqueHandle hThread(CreateThread(nullptr, 0, WatchTempFolder, m_pDevice.get(), 0, nullptr));
        if (!hThread)
            return false;
        return WaitForSingleObject(hThread.get(), kThreadDeadlineMs) == WAIT_OBJECT_0;
    }

    ScratchRegistry m_registry;
    ScratchFolder m_folder;
    TraceCapture m_traces;
    SleepRecorder m_sleeps;
    MessageBoxRecorder m_boxes;
    EventCapture m_events;
    std::unique_ptr<DeviceInfo> m_pDevice;
    std::wstring m_commonAppData;
    std::wstring m_scratchName;
    std::wstring m_scratchRoot;
    std::wstring m_templates;
};

// The warning box has its event: what the check found and its answer.
void ExpectNoAddressEvent(const std::wstring& wstrFound, const std::wstring& wstrStatus)
{
    auto vecEvents = EventCapture::Take();
    ASSERT_EQ(1u, vecEvents.size());
    EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_NO_USABLE_ADDRESS), vecEvents[0].dwEventId);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, vecEvents[0].wType);
    EXPECT_EQ(wstrFound, vecEvents[0].strings.at(0));
    EXPECT_EQ(0u, vecEvents[0].strings.at(1).find(wstrStatus));
}

void ExpectOneWarning(const std::vector<RecordedBox>& boxes)
{
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(nullptr, boxes[0].hWnd);
    EXPECT_EQ(kBoxText, boxes[0].text);
    EXPECT_EQ(L"ORBEK SCANNER", boxes[0].caption);
    EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONWARNING), boxes[0].uType);
}

} // namespace

TEST_F(WatcherStartUp, LoopbackSixTimes_FivePausesThenTheWarningAndNoRefresh)
{
    WriteFileBytes(m_templates + L"\\a.ost", TemplateNaming("10.0.0.9"));
    FakeResolver resolver({Addresses({"127.0.0.1"})});
    ASSERT_TRUE(RunWatcher());
    EXPECT_EQ(6, resolver.Calls());
    EXPECT_EQ((std::vector<DWORD>{5000, 5000, 5000, 5000, 5000}), m_sleeps.Pauses());
    ExpectOneWarning(m_boxes.Boxes());
    ExpectNoAddressEvent(L"127.0.0.1", L"0x80004004");
    EXPECT_EQ(TemplateNaming("10.0.0.9"), ReadFileBytes(m_templates + L"\\a.ost"));
    EXPECT_FALSE(m_traces.Contains(kRepublishTrace));
    // The start-up goes on after the warning.
    DWORD dw = 0;
    EXPECT_TRUE(ScratchRegistry::ReadDword(HKEY_CURRENT_USER, UserKey(), L"tester_DeleteImageOnScan", dw));
}

TEST_F(WatcherStartUp, LoopbackThenLinkLocal_WarnsWithoutTheLongPause)
{
    FakeResolver resolver({Addresses({"127.0.0.1"}), Addresses({"169.254.12.34"}), Addresses({"192.168.1.20"})});
    ASSERT_TRUE(RunWatcher());
    EXPECT_EQ(2, resolver.Calls());
    EXPECT_EQ((std::vector<DWORD>{5000}), m_sleeps.Pauses());
    ExpectOneWarning(m_boxes.Boxes());
}

TEST_F(WatcherStartUp, LoopbackThenUsable_RefreshesAfterOnePause)
{
    WriteFileBytes(m_templates + L"\\a.ost", TemplateNaming("10.0.0.9"));
    FakeResolver resolver({Addresses({"127.0.0.1"}), Addresses({"192.168.1.20"})});
    ASSERT_TRUE(RunWatcher());
    EXPECT_EQ((std::vector<DWORD>{5000}), m_sleeps.Pauses());
    EXPECT_TRUE(m_boxes.Boxes().empty());
    EXPECT_EQ(TemplateNaming("192.168.1.20"), ReadFileBytes(m_templates + L"\\a.ost"));
    EXPECT_EQ(1u, m_traces.Count(kRepublishTrace));
    EXPECT_TRUE(m_events.Take().empty());
}

TEST_F(WatcherStartUp, LinkLocalThenUsable_OneLongPauseThenTheRefreshAndRepublish)
{
    WriteFileBytes(m_templates + L"\\a.ost", TemplateNaming("10.0.0.9"));
    FakeResolver resolver({Addresses({"169.254.12.34"}), Addresses({"192.168.1.20"})});
    ASSERT_TRUE(RunWatcher());
    EXPECT_EQ(2, resolver.Calls());
    EXPECT_EQ((std::vector<DWORD>{18000}), m_sleeps.Pauses());
    EXPECT_TRUE(m_boxes.Boxes().empty());
    EXPECT_EQ(TemplateNaming("192.168.1.20"), ReadFileBytes(m_templates + L"\\a.ost"));
    EXPECT_EQ(1u, m_traces.Count(kRepublishTrace));
}

TEST_F(WatcherStartUp, LinkLocalThreeTimes_TwoLongPausesThenTheWarning)
{
    FakeResolver resolver({Addresses({"169.254.12.34"}), Addresses({"169.254.12.34"}), Addresses({"127.0.0.1"})});
    ASSERT_TRUE(RunWatcher());
    EXPECT_EQ(3, resolver.Calls());
    EXPECT_EQ((std::vector<DWORD>{18000, 18000}), m_sleeps.Pauses());
    ExpectOneWarning(m_boxes.Boxes());
    ExpectNoAddressEvent(L"127.0.0.1", L"0x80004004");
}

TEST_F(WatcherStartUp, LookupFailure_WarnsAtOnce)
{
    FakeResolver resolver({Failure(WSAHOST_NOT_FOUND), Addresses({"192.168.1.20"})});
    ASSERT_TRUE(RunWatcher());
    EXPECT_EQ(1, resolver.Calls());
    EXPECT_TRUE(m_sleeps.Pauses().empty());
    ExpectOneWarning(m_boxes.Boxes());
    EXPECT_FALSE(m_traces.Contains(kRepublishTrace));
    ExpectNoAddressEvent(L"(none)", L"0x80004005");
}

TEST_F(WatcherStartUp, RefreshAnsweringOne_NeverTakesTheTemplateLock)
{
    // No repository value: the refresh answers 1.
    WriteFileBytes(m_templates + L"\\a.ost", "Name \"Scan\"\r\n");
    FakeResolver resolver({Addresses({"192.168.1.20"})});
    EnterCriticalSection(&g_csTemplateLock);
    bgt::ScopeExit leave([] { LeaveCriticalSection(&g_csTemplateLock); });
    EXPECT_TRUE(RunWatcher()) << "the watcher waited for the template lock";
    EXPECT_FALSE(m_traces.Contains(kRepublishTrace));
    EXPECT_TRUE(m_boxes.Boxes().empty());
}

TEST_F(WatcherStartUp, RefreshAnsweringZero_RepublishesUnderTheTemplateLock)
{
    FakeResolver resolver({Addresses({"192.168.1.20"})}); // empty Templates folder: 0
    EnterCriticalSection(&g_csTemplateLock);
    bgt::ScopeExit leave([] { LeaveCriticalSection(&g_csTemplateLock); });
    bgt::UniqueHandle hThread(CreateThread(nullptr, 0, WatchTempFolder, m_pDevice.get(), 0, nullptr));
    ASSERT_TRUE(hThread);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(hThread.get(), 500));
    EXPECT_FALSE(m_traces.Contains(kRepublishTrace));
    leave.dismiss();
    LeaveCriticalSection(&g_csTemplateLock);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hThread.get(), kThreadDeadlineMs));
    EXPECT_EQ(1u, m_traces.Count(kRepublishTrace));
}

TEST_F(WatcherStartUp, WritesTheOptionUnderTheDerivedKeyAndCreatesTheMarker)
{
    FakeResolver resolver({Addresses({"192.168.1.20"})});
    size_t nHandlesBefore = CountProcessHandles();
    ASSERT_TRUE(RunWatcher());
    DWORD dw = 0;
    ASSERT_TRUE(ScratchRegistry::ReadDword(HKEY_CURRENT_USER, UserKey(), L"tester_DeleteImageOnScan", dw));
    EXPECT_EQ(1u, dw);
    EXPECT_TRUE(PathExists(MarkerPath()));
    EXPECT_EQ("", ReadFileBytes(MarkerPath()));
    EXPECT_EQ(1u, m_traces.Count(L" Created the Del file \r\n"));
    EXPECT_EQ(1u, m_traces.Count(L"  > Entering WatchTempFolder  \r\n"));
    EXPECT_FALSE(m_traces.Contains(L" Cannot Create Event : 0\r\n"));
    // Both events and every key, search and file given back.
    EXPECT_EQ(nHandlesBefore, CountProcessHandles());
}

TEST_F(WatcherStartUp, SecondWatcherWithTheSameTag_LeavesTheMarkerAlone)
{
    FakeResolver resolver({Addresses({"192.168.1.20"})});
    WriteFileBytes(MarkerPath(), "made by the first watcher");
    ASSERT_TRUE(RunWatcher());
    EXPECT_EQ("made by the first watcher", ReadFileBytes(MarkerPath()));
    EXPECT_FALSE(m_traces.Contains(L" Created the Del file \r\n"));
    DWORD dw = 0;
    EXPECT_TRUE(ScratchRegistry::ReadDword(HKEY_CURRENT_USER, UserKey(), L"tester_DeleteImageOnScan", dw));
}

TEST_F(WatcherStartUp, FilingPathWithoutTheAbbreviation_UsesTheTextAsItIs)
{
    SetFilingPath(m_scratchRoot + L"\\A\\XYZB");
    FakeResolver resolver({Addresses({"192.168.1.20"})});
    ASSERT_TRUE(RunWatcher());
    DWORD dw = 0;
    EXPECT_TRUE(ScratchRegistry::ReadDword(HKEY_CURRENT_USER, L"Software\\" + m_scratchName + L"\\A\\XYZB",
                                           L"tester_DeleteImageOnScan", dw));
    const std::wstring marker = m_commonAppData + L"\\BZYX_obk.del";
    EXPECT_TRUE(PathExists(marker));
    DeleteFileW(marker.c_str());
}

TEST_F(WatcherStartUp, ShortFilingPath_WritesNoKeyNoValueNoMarkerAndGoesOn)
{
    wcscpy_s(m_pDevice->szFilingPath, L"C:\\S");
    FakeResolver resolver({Addresses({"192.168.1.20"})});
    size_t nHandlesBefore = CountProcessHandles();
    ASSERT_TRUE(RunWatcher());
    EXPECT_FALSE(ScratchRegistry::KeyExists(HKEY_CURRENT_USER, L"Software"));
    EXPECT_FALSE(m_traces.Contains(L"RegWriteDeleteImageOption Enter \r\n"));
    EXPECT_FALSE(m_traces.Contains(L" Created the Del file \r\n"));
    EXPECT_TRUE(m_traces.Contains(L"\t Filing path is not below the common application data folder, no user key \r\n"));
    EXPECT_EQ(nHandlesBefore, CountProcessHandles());
}

namespace {
// The WIA service's answers as the simulator gives them, the thread's last error
// set to a value of its own once the manager has been had, so that the exit
// code shows where it came from.
constexpr DWORD kFailureLastError = 0x2345;
HRESULT WINAPI CreateManagerMarkingLastError(REFCLSID rclsid, LPUNKNOWN pOuter, DWORD dwContext, REFIID riid,
                                             LPVOID* ppv)
{
    HRESULT hr = stisim::CoCreateInstance(rclsid, pOuter, dwContext, riid, ppv);
    SetLastError(kFailureLastError);
    return hr;
}
} // namespace

TEST_F(WatcherStartUp, FatalWiaStatusInTheRepublish_EndsTheThreadWithTheFailuresLastError)
{
    FakeResolver resolver({Addresses({"192.168.1.20"})}); // empty Templates folder: 0
    stisim::Reset();
    stisim::StiDeviceConfig device;
    device.wstrInternalName = L"wia0";
    device.wstrDescription = L"Orbek Chromhold WIA Scanner";
    stisim::SetStiDevices({device});
    stisim::WiaDeviceConfig wia;
    wia.vecCreateStatuses = {static_cast<HRESULT>(0x80010108)};
    stisim::SetWiaDevice(L"wia0", wia);
    g_hooks.pfnStiCreateInstanceW = stisim::StiCreateInstanceW;
    g_hooks.pfnCoCreateInstance = CreateManagerMarkingLastError;
    const wchar_t wszSid[] = L"S-1-5-21-1-2-3-1001";
    auto* pwszSid = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, sizeof(wszSid)));
    ASSERT_NE(nullptr, pwszSid);
    memcpy(pwszSid, wszSid, sizeof(wszSid));
    SetUserSidText(pwszSid);
    bgt::ScopeExit noSid([] { DiscardUserSidText(); });

    bgt::UniqueHandle hThread(CreateThread(nullptr, 0, WatchTempFolder, m_pDevice.get(), 0, nullptr));
    ASSERT_TRUE(hThread);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hThread.get(), kThreadDeadlineMs));
    ASSERT_TRUE(m_traces.ContainsFragment(L"Killing the Thread"));
    EXPECT_FALSE(m_traces.Contains(L"RegWriteDeleteImageOption Enter \r\n")) << "the watch never starts";
    DWORD dwExit = 0;
    ASSERT_TRUE(GetExitCodeThread(hThread.get(), &dwExit));
    EXPECT_EQ(kFailureLastError, dwExit);
}

// The address followed while the task runs, one check after another as a wake
// makes them: only a usable address other than the last one written rewrites
// the first template and republishes, once; nothing while a session end holds,
// and a republish that waited behind a session end sends nothing. The loopback
// address a watcher stored while it waited for the network is never taken for
// the one last written.
TEST_F(WatcherStartUp, AddressFollowedWhileTheTaskRuns)
{
    struct Row {
        const char* pszName;
        std::string address;
        std::string templateAfter;
        size_t nRepublishes; // in all, so far
        bool bSessionEnd;
    };
    const Row rows[] = {
        {"the address the watchers wrote", "10.0.0.9", "10.0.0.9", 0, false},
        {"network off: loopback", "127.0.0.1", "10.0.0.9", 0, false},
        {"no lease yet: link-local", "169.254.12.34", "10.0.0.9", 0, false},
        {"a new usable address", "192.168.1.20", "192.168.1.20", 1, false},
        {"the same again", "192.168.1.20", "192.168.1.20", 1, false},
        {"back to the old one", "10.0.0.9", "10.0.0.9", 2, false},
        {"a new one while a session end holds", "10.1.1.1", "10.0.0.9", 2, true},
        {"that one after the cancel", "10.1.1.1", "10.1.1.1", 3, false},
    };
    stisim::Reset();
    g_hooks.pfnStiCreateInstanceW = stisim::StiCreateInstanceW;
    WriteFileBytes(m_templates + L"\\a.ost", TemplateNaming("10.0.0.9"));
    DeviceInfo* records[] = {m_pDevice.get()};
    {
        SetIPAddressText(L"127.0.0.1"); // a watcher still waiting for the network
        FakeResolver resolver({Addresses({"127.0.0.1"})});
        FollowPcAddress(records, 1, true);
    }
    SetIPAddressText(L"10.0.0.9"); // what the watcher's own check found
    const std::wstring kPassDone = L"  >  RePublishAllTemplates Exit\r\n";
    for (const Row& row : rows) {
        FakeResolver resolver({Addresses({row.address})});
        if (row.bSessionEnd)
            BeginSessionEnd();
        else
            EndSessionEnd();
        FollowPcAddress(records, 1, true);
        EXPECT_EQ(row.bSessionEnd ? 0 : 1, resolver.Calls()) << row.pszName;
        EXPECT_EQ(TemplateNaming(row.templateAfter), ReadFileBytes(m_templates + L"\\a.ost")) << row.pszName;
        EXPECT_TRUE(WaitFor([&] { return m_traces.Count(kPassDone) >= row.nRepublishes; }, std::chrono::seconds(10)));
        Sleep(100);
        EXPECT_EQ(row.nRepublishes, m_traces.Count(kPassDone)) << row.pszName;
        EXPECT_EQ(row.nRepublishes, m_traces.Count(kRepublishTrace)) << row.pszName;
    }
    EXPECT_TRUE(m_boxes.Boxes().empty()) << "no warning while the task runs";

    // A republish started before a session end began, still waiting for the
    // template lock when the delete pass has it, sends nothing.
    FakeResolver resolver({Addresses({"10.2.2.2"})});
    EnterCriticalSection(&g_csTemplateLock);
    FollowPcAddress(records, 1, true);
    BeginSessionEnd();
    LeaveCriticalSection(&g_csTemplateLock);
    EXPECT_TRUE(WaitFor([&] { return m_traces.Contains(L"  Republish dropped: a session end began\r\n"); },
                        std::chrono::seconds(10)));
    EXPECT_EQ(3u, m_traces.Count(kPassDone));
    EndSessionEnd();
}

// On the 5 s tick the address is checked only every fifth time, so a change is
// followed within 25 s, and resolved only when the address table says it may
// have moved; a rewrite that failed is tried again at the next check though the
// address has not moved; requests made while a republish waits join it.
TEST_F(WatcherStartUp, AddressFollowedOnEveryFifthTick_FailedRewriteRetried_RequestsJoinTheWaitingPass)
{
    stisim::Reset();
    g_hooks.pfnStiCreateInstanceW = stisim::StiCreateInstanceW;
    const std::wstring wstrTemplate = m_templates + L"\\a.ost";
    WriteFileBytes(wstrTemplate, TemplateNaming("10.2.2.2"));
    SetIPAddressText(L"10.2.2.2");
    DeviceInfo* records[] = {m_pDevice.get()};
    const std::wstring kPassDone = L"  >  RePublishAllTemplates Exit\r\n";
    {
        // As after a wake, the count starts afresh; the answer is one that is
        // never followed, so the machine's own name plays no part.
        FakeResolver offline({Addresses({"127.0.0.1"})});
        FollowPcAddress(records, 1, true);
    }
    {
        FakeResolver resolver({Addresses({"10.3.3.3"})});
        for (int nTick = 1; nTick <= 4; ++nTick)
            FollowPcAddress(records, 1);
        EXPECT_EQ(0, resolver.Calls());
        FollowPcAddress(records, 1);
        EXPECT_EQ(1, resolver.Calls());
        EXPECT_EQ(TemplateNaming("10.3.3.3"), ReadFileBytes(wstrTemplate)) << "followed on the fifth tick";
        for (int nTick = 1; nTick <= 10; ++nTick)
            FollowPcAddress(records, 1);
        EXPECT_EQ(3, resolver.Calls());

        // A quiet address table spares the resolve: it comes at the check where
        // the table moved and the one after, and at every twelfth quiet check.
        auto Checks = [&](int nChecks) {
            for (int nTick = 1; nTick <= nChecks * 5; ++nTick)
                FollowPcAddress(records, 1);
        };
        resolver.HoldTable("10.3.3.3");
        Checks(4);
        EXPECT_EQ(5, resolver.Calls()) << "the table held from the first of these checks";
        resolver.HoldTable("10.3.3.4");
        Checks(13);
        EXPECT_EQ(7, resolver.Calls());
        Checks(1);
        EXPECT_EQ(8, resolver.Calls()) << "the twelfth quiet check";
    }
    ASSERT_TRUE(WaitFor([&] { return m_traces.Count(kPassDone) == 1; }, std::chrono::seconds(10)));

    FakeResolver resolver({Addresses({"10.4.4.4"})});
    {
        bgt::UniqueFileHandle hHeld(
            CreateFileW(wstrTemplate.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(hHeld);
        FollowPcAddress(records, 1, true);
    }
    EXPECT_EQ(TemplateNaming("10.3.3.3"), ReadFileBytes(wstrTemplate));
    EnterCriticalSection(&g_csTemplateLock);
    FollowPcAddress(records, 1, true);
    EXPECT_EQ(TemplateNaming("10.4.4.4"), ReadFileBytes(wstrTemplate)) << "the failed rewrite tried again";
    for (const char* pszAddress : {"10.5.5.5", "10.6.6.6"}) {
        FakeResolver next({Addresses({pszAddress})});
        FollowPcAddress(records, 1, true);
    }
    LeaveCriticalSection(&g_csTemplateLock);
    EXPECT_TRUE(WaitFor([&] { return m_traces.Count(kPassDone) >= 2; }, std::chrono::seconds(10)));
    Sleep(500);
    EXPECT_EQ(2u, m_traces.Count(kPassDone)) << "three requests while one waited: one pass";
}

// A watcher whose rewrite at its start failed (its template held) is owed it:
// the next address check, the address unchanged, rewrites and republishes.
TEST_F(WatcherStartUp, RewriteFailedAtTheStart_TriedAgainAtTheNextCheck)
{
    stisim::Reset();
    g_hooks.pfnStiCreateInstanceW = stisim::StiCreateInstanceW;
    const std::wstring wstrTemplate = m_templates + L"\\a.ost";
    WriteFileBytes(wstrTemplate, TemplateNaming("10.7.7.7"));
    SetIPAddressText(L"10.7.7.7");
    DeviceInfo* records[] = {m_pDevice.get()};
    const std::wstring kPassDone = L"  >  RePublishAllTemplates Exit\r\n";
    FakeResolver resolver({Addresses({"10.8.8.8"})});
    FollowPcAddress(records, 1, true); // the follower now stands at 10.8.8.8
    ASSERT_TRUE(WaitFor([&] { return m_traces.Count(kPassDone) == 1; }, std::chrono::seconds(10)));
    {
        bgt::UniqueFileHandle hHeld(CreateFileW(wstrTemplate.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(hHeld);
        EXPECT_TRUE(RunWatcher());
    }
    EXPECT_EQ(1u, m_traces.Count(kPassDone)) << "no republish at the start without the rewrite";
    FollowPcAddress(records, 1, true);
    EXPECT_TRUE(WaitFor([&] { return m_traces.Count(kPassDone) == 2; }, std::chrono::seconds(10)));
    FollowPcAddress(records, 1, true);
    Sleep(300);
    EXPECT_EQ(2u, m_traces.Count(kPassDone)) << "paid: nothing owed any more";
}
