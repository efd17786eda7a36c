// Discovery passes over a scratch imaging-device class key (HKEY_LOCAL_MACHINE
// redirected), with a hidden window of the test's own standing in for the task's.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>

#include "discovery/discovery.h"
#include "discovery/identity.h"
#include "discovery/protected_folder.h"
#include "common/hooks.h"
#include "common/trace.h"
#include "discovery/state.h"
#include "host/bgtask.h"
#include "tests/support/event_capture.h"
#include "tests/support/test_support.h"
#include "watcher/watcher.h"

using testsupport::ScratchRegistry;
using testsupport::TraceCapture;

namespace {

const std::wstring kClassKey =
    L"System\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
constexpr wchar_t kUsbId1[] = L"usb\\vid_1f3a&pid_7c1f&mi_01";
constexpr wchar_t kUsbId2[] = L"usb\\vid_1f3a&pid_7c1e&mi_01";

struct DriverKey {
    const wchar_t* pwszDescription = nullptr; // null: no "DriverDesc"
    const wchar_t* pwszMatchingId = nullptr;
    bool bDeviceData = true;
    const wchar_t* pwszMacAddr = nullptr;
    const wchar_t* pwszFilingPath = nullptr;
};

std::wstring KeyName(int nIndex)
{
    wchar_t wsz[8];
    swprintf(wsz, 8, L"%04d", nIndex);
    return wsz;
}

void AddDriverKey(int nIndex, const DriverKey& key)
{
    std::wstring path = kClassKey + L"\\" + KeyName(nIndex);
    ScratchRegistry::CreateKey(HKEY_LOCAL_MACHINE, path);
    if (key.pwszDescription)
        ScratchRegistry::SetString(HKEY_LOCAL_MACHINE, path, L"DriverDesc", key.pwszDescription);
    if (key.pwszMatchingId)
        ScratchRegistry::SetString(HKEY_LOCAL_MACHINE, path, L"MatchingDeviceId", key.pwszMatchingId);
    if (!key.bDeviceData)
        return;
    ScratchRegistry::CreateKey(HKEY_LOCAL_MACHINE, path + L"\\DeviceData");
    if (key.pwszMacAddr)
        ScratchRegistry::SetString(HKEY_LOCAL_MACHINE, path + L"\\DeviceData", L"MacAddr", key.pwszMacAddr);
    if (key.pwszFilingPath)
        ScratchRegistry::SetString(HKEY_LOCAL_MACHINE, path + L"\\DeviceData", L"FilingPath", key.pwszFilingPath);
}

void AddScanner(int nIndex, const wchar_t* pwszDescription = L"Orbek Chromhold 6401")
{
    AddDriverKey(nIndex, {pwszDescription, kUsbId1, true, L"00:80:91:AA:BB:CC", L"C:\\Scans"});
}

// The computer's name comes from the (redirected) machine registry.
void SetScratchComputerName(const wchar_t* pwszName)
{
    ScratchRegistry::SetString(HKEY_LOCAL_MACHINE,
                               L"System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName",
                               L"ComputerName", pwszName);
}

bool AnyTextStartsWith(const TraceCapture& trace, const std::wstring& prefix)
{
    for (const std::wstring& text : trace.Texts())
        if (text.rfind(prefix, 0) == 0)
            return true;
    return false;
}

struct hostent* WINAPI NoHostEntry(const char*)
{
    WSASetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
}

int WINAPI DismissMessageBox(HWND, LPCWSTR, LPCWSTR, UINT) { return IDOK; }

void WINAPI NoPause(DWORD) {}

// The watchers that discovery starts run the real start-up. For the whole run
// they find no network (so no republish), have their warning box dismissed,
// and never pause between attempts to open a temporary folder that does not
// exist: each ends within moments. Never restored, because a watcher may
// outlive the test that started it.
class QuickWatchers : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_hooks.pfnGetHostByName = NoHostEntry;
        g_hooks.pfnMessageBoxW = DismissMessageBox;
        g_hooks.pfnSleep = NoPause;
        // As the host hands it over at start-up.
        SetWatcherThreadEntry(WatchTempFolder);
        m_hPauseEvent = CreateEventW(nullptr, TRUE, TRUE, L"WaitEvent");
        ASSERT_NE(nullptr, m_hPauseEvent);
        SetEvent(m_hPauseEvent);
    }

private:
    HANDLE m_hPauseEvent = nullptr;
};

const ::testing::Environment* const g_pQuickWatchers = ::testing::AddGlobalTestEnvironment(new QuickWatchers);

LRESULT CALLBACK SinkWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

class Discovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetProcessState();
        CloseWatcherHandle();
        WNDCLASSEXW wc = {sizeof(wc)};
        wc.lpfnWndProc = SinkWndProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"DiscoveryTestSink";
        RegisterClassExW(&wc);
        m_hSink = CreateWindowExW(0, L"DiscoveryTestSink", L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  wc.hInstance, nullptr);
        ASSERT_NE(nullptr, m_hSink);
        g_hWnd = m_hSink;
        wcscpy_s(g_wszUserName, L"jdoe");
        wcscpy_s(g_wszDomainName, L"CORP");
        SetScratchComputerName(L"PC01");
    }

    void TearDown() override
    {
        CloseWatcherHandle();
        g_hWnd = nullptr;
        DestroyWindow(m_hSink);
        g_wszUserName[0] = g_wszDomainName[0] = L'\0';
    }

    static void CloseWatcherHandle()
    {
        if (g_hWatcherThread == nullptr)
            return;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hWatcherThread, 15000)) << "the watcher ended";
        CloseHandle(g_hWatcherThread);
        g_hWatcherThread = nullptr;
    }

    bool DestroyWasPosted()
    {
        MSG msg;
        return PeekMessageW(&msg, m_hSink, WM_DESTROY, WM_DESTROY, PM_REMOVE) != 0;
    }

    // An enumeration that never ends fails here within seconds.
    testsupport::HangDeadline m_deadline{"the whole test", std::chrono::seconds(60)};
    ScratchRegistry m_registry;
    TraceCapture m_trace;
    testsupport::EventCapture m_events;
    HWND m_hSink = nullptr;
};

} // namespace

TEST_F(Discovery, FirstPass_MixedKeys_FamilyRecordsInSlotOrderEachWithAWatcher)
{
    AddDriverKey(0, {L"Orbek Marlstone/Pro WIA", kUsbId1, true, L"00:80:91:00:00:01", L"C:\\Scans"});
    AddDriverKey(1, {L"Contoso Flatbed 9000", kUsbId1, true, L"mac", L"C:\\Foreign"});
    AddDriverKey(2, {L"Orbek Tividal 8812MFP TWAIN", kUsbId2, true, nullptr, L"D:\\Filing"});
    AddDriverKey(3, {L"orbek Chromhold 6401", kUsbId1, true, L"mac", L"C:\\Scans"});
    AddDriverKey(4, {L"Orbek Chromhold 7777 wia", L"USB\\VID_1F3A&PID_7C1F&MI_01", true, L"mac4", L"C:\\S"});
    AddDriverKey(5, {L"Orbek Chromhold 6401/6402/6403 TWAIN", kUsbId1, false});
    AddDriverKey(6, {L"Orbek Marlstone/Pr", kUsbId1, true, L"mac", L"C:\\Scans"});
    AddDriverKey(7, {nullptr, kUsbId1, true, L"mac", L"C:\\Scans"});
    AddDriverKey(8, {L"Orbek Chromhold 6402 (WIA)", nullptr, true, nullptr, nullptr});

    EXPECT_EQ(S_OK, GetDeviceInfo());

    ASSERT_EQ(4u, g_nDevices);
    EXPECT_EQ(9u, g_dwEnumIndex) << "the index with no subkey is not passed over";
    EXPECT_EQ(1u, g_bInitialScanDone);
    EXPECT_EQ(nullptr, g_pDevices[4]);
    EXPECT_FALSE(DestroyWasPosted());

    const DeviceInfo& marlstone = *g_pDevices[0];
    EXPECT_EQ(1, marlstone.IsWIA);
    EXPECT_EQ(1, marlstone.bUsbDevice);
    EXPECT_STREQ(L"00:80:91:00:00:01", marlstone.szMacAddr);
    EXPECT_STREQ(L"C:\\Scans", marlstone.szFilingPath);

    const DeviceInfo& tividal = *g_pDevices[1];
    EXPECT_EQ(0, tividal.IsWIA);
    EXPECT_EQ(1, tividal.bUsbDevice) << "second USB interface id";
    EXPECT_STREQ(L"", tividal.szMacAddr);
    EXPECT_STREQ(L"D:\\Filing\\jdoe_CORP\\TempImage", tividal.szTempFolder);

    const DeviceInfo& chromhold = *g_pDevices[2];
    EXPECT_EQ(0, chromhold.IsWIA) << "\"wia\" in lower case is not a WIA driver";
    EXPECT_EQ(0, chromhold.bUsbDevice) << "ids compare case-sensitively";
    EXPECT_STREQ(L"mac4", chromhold.szMacAddr);

    const DeviceInfo& bare = *g_pDevices[3];
    EXPECT_EQ(1, bare.IsWIA);
    EXPECT_EQ(0, bare.bUsbDevice) << "no MatchingDeviceId";
    EXPECT_STREQ(L"", bare.szFilingPath);
    EXPECT_STREQ(L"", bare.szUserFolder);
    EXPECT_STREQ(L"", bare.szTempFolder);
    EXPECT_STREQ(L"", bare.szDocFolder);
    EXPECT_STREQ(L"", bare.szTemplateFolder);

    // One watcher per record, each started as soon as its record was complete.
    EXPECT_EQ(1u, m_trace.Count(L" Creating thread for 1 device"));
    EXPECT_EQ(1u, m_trace.Count(L" Creating thread for 3 device"));
    EXPECT_EQ(1u, m_trace.Count(L" Creating thread for 5 device"));
    EXPECT_EQ(1u, m_trace.Count(L" Creating thread for 9 device"));
    EXPECT_FALSE(m_trace.ContainsFragment(L"BGtask not restarted"));
    ASSERT_NE(nullptr, g_hWatcherThread);
    EXPECT_NE(0u, GetThreadId(g_hWatcherThread));
    EXPECT_EQ(L"GetDeviceInfo Enter", m_trace.Texts().front());
    EXPECT_EQ(1u, m_trace.Count(L"GetDeviceInfo Exit"));
    // The first pass tells the event log that the task started, with what it
    // found (the watchers it started write events of their own).
    auto vecEvents = m_events.Of(BGT_EVENT_TASK_STARTED);
    ASSERT_EQ(1u, vecEvents.size());
    EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_TASK_STARTED), vecEvents[0].dwEventId);
    EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, vecEvents[0].wType);
    EXPECT_EQ(L"4", vecEvents[0].strings.at(1));
}

namespace {
std::atomic<void*> g_pvWatcherArgument{nullptr};
DWORD WINAPI RecordWatcherArgument(LPVOID pv)
{
    g_pvWatcherArgument = pv;
    return 0;
}
} // namespace

// Discovery starts whatever thread entry the host handed it, with the record;
// with none handed over it still records the scanner but starts nothing.
TEST_F(Discovery, WatcherEntry_TheOneHandedOverGetsTheRecord_NoneStartsNothing)
{
    AddScanner(0);
    SetWatcherThreadEntry(RecordWatcherArgument);
    g_pvWatcherArgument = nullptr;
    EXPECT_EQ(S_OK, GetDeviceInfo());
    ASSERT_NE(nullptr, g_hWatcherThread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hWatcherThread, 10000));
    EXPECT_EQ(static_cast<void*>(g_pDevices[0]), g_pvWatcherArgument.load());
    CloseWatcherHandle();

    ResetProcessState();
    SetWatcherThreadEntry(nullptr);
    EXPECT_EQ(S_OK, GetDeviceInfo());
    SetWatcherThreadEntry(WatchTempFolder);
    EXPECT_EQ(1u, g_nDevices);
    EXPECT_EQ(nullptr, g_hWatcherThread);
    EXPECT_TRUE(m_trace.Contains(L"No watcher thread entry: no watcher started"));
}

TEST_F(Discovery, FolderLayout_LocalAndDomainAccounts)
{
    AddScanner(0);
    wcscpy_s(g_wszDomainName, L"CORP");
    ASSERT_EQ(S_OK, GetDeviceInfo());
    const DeviceInfo& domain = *g_pDevices[0];
    EXPECT_STREQ(L"C:\\Scans", domain.szFilingPath);
    EXPECT_STREQ(L"C:\\Scans\\jdoe_CORP", domain.szUserFolder);
    EXPECT_STREQ(L"C:\\Scans\\jdoe_CORP\\TempImage", domain.szTempFolder);
    EXPECT_STREQ(L"C:\\Scans\\jdoe_CORP\\Documents", domain.szDocFolder);
    EXPECT_STREQ(L"C:\\Scans\\jdoe_CORP\\Templates", domain.szTemplateFolder);
    EXPECT_TRUE(m_trace.Contains(L" The Temp Folder Path is set to   C:\\Scans\\jdoe_CORP\\TempImage"));
    EXPECT_TRUE(m_trace.Contains(L" The Doc Folder Path is set to   C:\\Scans\\jdoe_CORP\\Documents"));
    EXPECT_TRUE(m_trace.Contains(L" The Template Folder Path is set to   C:\\Scans\\jdoe_CORP\\Templates"));

    // A local account: its domain is the computer.
    wcscpy_s(g_wszDomainName, L"PC01");
    AddScanner(1);
    ASSERT_EQ(S_OK, GetDeviceInfo());
    ASSERT_EQ(2u, g_nDevices);
    EXPECT_STREQ(L"C:\\Scans\\jdoe_PC01", g_pDevices[1]->szUserFolder);
    EXPECT_STREQ(L"C:\\Scans\\jdoe_PC01\\TempImage", g_pDevices[1]->szTempFolder);

    // The same when the domain differs only in letter case: spelt as the computer spells itself.
    SetScratchComputerName(L"Pc01-x");
    wcscpy_s(g_wszDomainName, L"pC01-X");
    AddScanner(2);
    ASSERT_EQ(S_OK, GetDeviceInfo());
    ASSERT_EQ(3u, g_nDevices);
    EXPECT_STREQ(L"C:\\Scans\\jdoe_Pc01-x", g_pDevices[2]->szUserFolder);

    // Only A to Z fold: other letters must match exactly, else the domain is used.
    SetScratchComputerName(L"P\u00C9C");
    wcscpy_s(g_wszDomainName, L"p\u00E9c");
    AddScanner(3);
    ASSERT_EQ(S_OK, GetDeviceInfo());
    ASSERT_EQ(4u, g_nDevices);
    EXPECT_STREQ(L"C:\\Scans\\jdoe_p\u00E9c", g_pDevices[3]->szUserFolder);

    // No computer name at all: the domain.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\ComputerName");
    wcscpy_s(g_wszDomainName, L"CORP");
    AddScanner(4);
    ASSERT_EQ(S_OK, GetDeviceInfo());
    ASSERT_EQ(5u, g_nDevices);
    EXPECT_STREQ(L"C:\\Scans\\jdoe_CORP", g_pDevices[4]->szUserFolder);
}

TEST_F(Discovery, ValuesThatDoNotFitTheirBuffers_CountAsMissing)
{
    const std::wstring longDesc = L"Orbek Chromhold " + std::wstring(255 - 16, L'x');  // 255 + terminator
    const std::wstring fitDesc = L"Orbek Chromhold " + std::wstring(254 - 16, L'y');   // 254 + terminator
    const std::wstring longMac(255, L'M');
    const std::wstring longId = std::wstring(kUsbId1) + std::wstring(255, L'z');
    const std::wstring longFiling = L"C:\\" + std::wstring(257, L'F');                 // 260 + terminator
    AddDriverKey(0, {longDesc.c_str(), kUsbId1, true, L"mac", L"C:\\Scans"});
    AddDriverKey(1, {fitDesc.c_str(), longId.c_str(), true, longMac.c_str(), longFiling.c_str()});

    EXPECT_EQ(E_FAIL, GetDeviceInfo()) << "no record got its folders";
    ASSERT_EQ(1u, g_nDevices) << "the over-long description is no description";
    const DeviceInfo& device = *g_pDevices[0];
    EXPECT_EQ(0, device.bUsbDevice);
    EXPECT_STREQ(L"", device.szMacAddr);
    EXPECT_STREQ(L"", device.szFilingPath);
    EXPECT_STREQ(L"", device.szTempFolder);
    EXPECT_EQ(1u, m_trace.Count(L" Creating thread for 2 device")) << "the record still gets its watcher";
}

TEST_F(Discovery, ValueWithoutTerminator_ReadOnlyToItsLength)
{
    const std::wstring path = kClassKey + L"\\0000";
    AddScanner(0);
    const wchar_t wszRaw[] = L"Orbek Marlstone/Pro WIA";
    ScratchRegistry::SetBinary(HKEY_LOCAL_MACHINE, path, L"DriverDesc", wszRaw, sizeof(wszRaw) - sizeof(wchar_t));
    const wchar_t wszMac[] = L"00:80:91:11:22:33";
    ScratchRegistry::SetBinary(HKEY_LOCAL_MACHINE, path + L"\\DeviceData", L"MacAddr", wszMac,
                               sizeof(wszMac) - sizeof(wchar_t));
    ASSERT_EQ(S_OK, GetDeviceInfo());
    ASSERT_EQ(1u, g_nDevices);
    EXPECT_EQ(1, g_pDevices[0]->IsWIA);
    EXPECT_STREQ(L"00:80:91:11:22:33", g_pDevices[0]->szMacAddr);

    // Filling the whole buffer with no room for a terminator: missing.
    const std::wstring fullMac(255, L'Q');
    AddScanner(1);
    ScratchRegistry::SetBinary(HKEY_LOCAL_MACHINE, kClassKey + L"\\0001\\DeviceData", L"MacAddr", fullMac.data(),
                               static_cast<DWORD>(fullMac.size() * sizeof(wchar_t)));
    ASSERT_EQ(S_OK, GetDeviceInfo());
    ASSERT_EQ(2u, g_nDevices);
    EXPECT_STREQ(L"", g_pDevices[1]->szMacAddr);
}

TEST_F(Discovery, FolderPathsThatWouldBeCutShort_LeftEmpty_TheFilingPathKept)
{
    const std::wstring deepFiling = L"C:\\" + std::wstring(240, L'd'); // fits, but not with the user folder
    AddDriverKey(0, {L"Orbek Chromhold 6403", kUsbId1, true, L"mac", deepFiling.c_str()});
    EXPECT_EQ(E_FAIL, GetDeviceInfo());
    ASSERT_EQ(1u, g_nDevices);
    const DeviceInfo& device = *g_pDevices[0];
    // The per-user option and the marker are derived from the filing path alone.
    EXPECT_EQ(deepFiling, device.szFilingPath);
    EXPECT_STREQ(L"", device.szUserFolder);
    EXPECT_STREQ(L"", device.szTempFolder);
    EXPECT_STREQ(L"", device.szDocFolder);
    EXPECT_STREQ(L"", device.szTemplateFolder);
    EXPECT_STREQ(L"mac", device.szMacAddr);
    EXPECT_TRUE(m_trace.ContainsFragment(L"do not fit"));

    // The longest filing path whose Templates folder still fits in 259 characters.
    const size_t cchTail = std::wstring(L"\\jdoe_CORP\\Templates").size();
    const std::wstring edgeFiling = L"C:\\" + std::wstring(259 - cchTail - 3, L'e');
    AddDriverKey(1, {L"Orbek Chromhold 6403", kUsbId1, true, L"mac", edgeFiling.c_str()});
    EXPECT_EQ(S_OK, GetDeviceInfo());
    ASSERT_EQ(2u, g_nDevices);
    EXPECT_EQ(259u, wcslen(g_pDevices[1]->szTemplateFolder));
}

TEST_F(Discovery, LaterPass_FindsKeyAddedAtTheEmptyIndex_OneWatcherForItsLastRecord)
{
    AddScanner(0);
    ASSERT_EQ(S_OK, GetDeviceInfo());
    ASSERT_EQ(1u, g_dwEnumIndex);
    HANDLE hFirstWatcher = g_hWatcherThread;
    ASSERT_NE(nullptr, hFirstWatcher);
    WaitForSingleObject(hFirstWatcher, 5000);
    m_trace.Clear();

    AddScanner(1, L"Orbek Tividal 8812MFP WIA");
    AddDriverKey(2, {L"Contoso Flatbed", kUsbId1, true, L"mac", L"C:\\Scans"});
    AddScanner(3, L"Orbek Marlstone/Pro TWAIN");
    EXPECT_EQ(S_OK, GetDeviceInfo());

    ASSERT_EQ(3u, g_nDevices);
    EXPECT_EQ(4u, g_dwEnumIndex);
    EXPECT_EQ(1, g_pDevices[1]->IsWIA);
    EXPECT_EQ(0, g_pDevices[2]->IsWIA);
    EXPECT_FALSE(AnyTextStartsWith(m_trace, L" Creating thread for"));
    EXPECT_EQ(1u, m_trace.Count(L"BGtask not restarted Creating thread for 3 device"));
    EXPECT_NE(hFirstWatcher, g_hWatcherThread) << "a new watcher replaced the handle";
    EXPECT_NE(0u, GetThreadId(g_hWatcherThread));
    EXPECT_FALSE(DestroyWasPosted());
}

TEST_F(Discovery, LaterPass_NothingNew_StartsNoWatcherAndKeepsTheRecords)
{
    AddScanner(0);
    AddScanner(1);
    ASSERT_EQ(S_OK, GetDeviceInfo());
    DeviceInfo* pFirst = g_pDevices[0];
    HANDLE hWatcher = g_hWatcherThread;
    m_trace.Clear();
    EXPECT_EQ(1u, m_events.Of(BGT_EVENT_TASK_STARTED).size()) << "the start";
    m_events.Take();

    AddDriverKey(2, {L"Contoso Flatbed", kUsbId1, true, L"mac", L"C:\\Scans"});
    EXPECT_EQ(E_FAIL, GetDeviceInfo());
    EXPECT_EQ(E_FAIL, GetDeviceInfo());
    EXPECT_EQ(2u, g_nDevices);
    EXPECT_EQ(pFirst, g_pDevices[0]);
    EXPECT_EQ(hWatcher, g_hWatcherThread);
    EXPECT_FALSE(m_trace.ContainsFragment(L"Creating thread"));
    EXPECT_FALSE(DestroyWasPosted());
    EXPECT_TRUE(m_events.Of(BGT_EVENT_TASK_STARTED).empty()) << "a later pass is no start";
}

TEST_F(Discovery, NoFamilyScanner_PostsDestroyAndStartsNothing)
{
    AddDriverKey(0, {L"Contoso Flatbed", kUsbId1, true, L"mac", L"C:\\Scans"});
    AddDriverKey(1, {L"Orbek Chromhold 6401", kUsbId1, false});
    EXPECT_EQ(E_FAIL, GetDeviceInfo());
    EXPECT_TRUE(DestroyWasPosted());
    EXPECT_EQ(0u, g_nDevices);
    EXPECT_EQ(1u, g_bInitialScanDone);
    EXPECT_EQ(nullptr, g_hWatcherThread);
}

TEST_F(Discovery, NoClassKey_NothingExaminedNothingPosted)
{
    EXPECT_EQ(E_FAIL, GetDeviceInfo());
    EXPECT_FALSE(DestroyWasPosted());
    EXPECT_EQ(0u, g_bInitialScanDone) << "the first pass is still to come";
    EXPECT_EQ(0u, g_dwEnumIndex);
    EXPECT_TRUE(m_trace.Contains(L"GetDeviceInfo Exit"));

    ScratchRegistry::CreateKey(HKEY_LOCAL_MACHINE, kClassKey);
    EXPECT_EQ(E_FAIL, GetDeviceInfo());
    EXPECT_TRUE(DestroyWasPosted()) << "an empty class has no scanner of the family";
    EXPECT_EQ(1u, g_bInitialScanDone);
}

TEST_F(Discovery, HundredAndFirstRecord_StopsThePassWithinTheTable)
{
    for (int i = 0; i < 102; ++i)
        AddScanner(i);
    EXPECT_EQ(E_FAIL, GetDeviceInfo());
    EXPECT_EQ(100u, g_nDevices);
    EXPECT_EQ(101u, g_dwEnumIndex) << "stopped at the 101st scanner";
    for (DWORD i = 0; i < kMaxDevices; ++i)
        ASSERT_NE(nullptr, g_pDevices[i]) << i;
    EXPECT_TRUE(m_trace.Contains(L" Creating thread for 100 device"));
    EXPECT_FALSE(m_trace.Contains(L" Creating thread for 101 device"));
    EXPECT_EQ(1u, g_bInitialScanDone);
    EXPECT_TRUE(m_trace.Contains(L"GetDeviceInfo Exit"));

    m_trace.Clear();
    EXPECT_EQ(E_FAIL, GetDeviceInfo());
    EXPECT_EQ(100u, g_nDevices);
    EXPECT_FALSE(m_trace.ContainsFragment(L"Creating thread"));
    EXPECT_FALSE(DestroyWasPosted());
}

// Keys, thread handles and folder handles are all given back: hundreds of passes
// of every kind and folder creations leave the process's handle count as it was.
TEST_F(Discovery, HundredsOfPassesAndFolders_LeaveNoHandleOpen)
{
    ASSERT_EQ(S_OK, InitUserIdentity());
    testsupport::ScratchFolder scratch;
    AddDriverKey(0, {L"Orbek Marlstone/Pro WIA", kUsbId1, true, L"mac", L"C:\\Scans"});
    AddDriverKey(1, {L"Contoso Flatbed", kUsbId1, true, L"mac", L"C:\\Scans"});
    AddDriverKey(2, {L"Orbek Chromhold 6401", kUsbId1, false});
    AddDriverKey(3, {L"Orbek Chromhold 6402", nullptr, true, nullptr, nullptr});
    AddDriverKey(4, {nullptr, kUsbId1, true, L"mac", L"C:\\Scans"});
    AddScanner(5, L"Orbek Tividal 8812MFP");

    auto runPasses = [&](int nPasses) {
        for (int i = 0; i < nPasses; ++i) {
            g_dwEnumIndex = 0;
            g_nDevices = i % 7 == 6 ? kMaxDevices : 0; // now and then a full table
            g_bInitialScanDone = i % 2;
            GetDeviceInfo();
            std::wstring folder = scratch / (L"job" + std::to_wstring(i % 5) + L"\\sub");
            EXPECT_EQ(S_OK, CreateProtectedFolder(folder.c_str()));
            RemoveDirectoryW(folder.c_str()); // only a new folder is made
        }
        CloseWatcherHandle();
    };
    // No trace capture meanwhile: its lock, contended by the watchers, would
    // make a lock object of its own once.
    SetTraceSink(nullptr);
    runPasses(20); // loads what the calls load once
    // Watchers of the warm-up may still be finishing: count once nothing moves.
    size_t nBefore = testsupport::CountProcessHandles();
    for (int i = 0; i < 20; ++i) {
        Sleep(500);
        const size_t nNow = testsupport::CountProcessHandles();
        if (nNow == nBefore)
            break;
        nBefore = nNow;
    }
    ASSERT_GT(nBefore, 0u);
    runPasses(200);
    // A leak on any path of a pass shows as hundreds of handles; the slack is
    // for a lock object that the runtime may create once under contention.
    EXPECT_TRUE(testsupport::WaitFor([&] { return testsupport::CountProcessHandles() <= nBefore + 1; },
                                     std::chrono::seconds(20)))
        << nBefore << " before, " << testsupport::CountProcessHandles() << " after";
    EXPECT_FALSE(DestroyWasPosted());
    DiscardUserSidText();
}

// The rescan timer of the running task over a simulated installation: the first
// tick discovers, a driver's "DeviceChange" brings the next pass, quiet ticks do
// nothing.
TEST_F(Discovery, TimerTicks_DiscoverFollowDeviceChangeAndStayQuiet)
{
    const std::wstring twain = L"SOFTWARE\\Orbek\\MarlstoneProTWAIN";
    const std::wstring wia = L"SOFTWARE\\Orbek\\MarlstoneProWIA";
    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, twain, L"DeviceChange", 0);
    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, wia, L"DeviceChange", 0);
    AddScanner(0, L"Orbek Marlstone/Pro TWAIN");
    AddScanner(1, L"Orbek Marlstone/Pro WIA");

    EXPECT_EQ(1, CBgTask::WndProc(m_hSink, WM_TIMER, kRescanTimerId, 0));
    EXPECT_EQ(2u, g_nDevices);
    EXPECT_EQ(1u, m_trace.Count(L" Creating thread for 1 device"));
    EXPECT_EQ(1u, m_trace.Count(L" Creating thread for 2 device"));

    m_trace.Clear();
    EXPECT_EQ(0, CBgTask::WndProc(m_hSink, WM_TIMER, kRescanTimerId, 0));
    EXPECT_FALSE(m_trace.Contains(L"GetDeviceInfo Enter"));

    AddScanner(2, L"Orbek Chromhold 6403 WIA");
    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, wia, L"DeviceChange", 1);
    EXPECT_EQ(1, CBgTask::WndProc(m_hSink, WM_TIMER, kRescanTimerId, 0));
    EXPECT_EQ(3u, g_nDevices);
    EXPECT_EQ(1, g_pDevices[2]->IsWIA);
    EXPECT_EQ(1u, m_trace.Count(L"BGtask not restarted Creating thread for 3 device"));
    DWORD dwValue = 7;
    EXPECT_TRUE(ScratchRegistry::ReadDword(HKEY_LOCAL_MACHINE, wia, L"DeviceChange", dwValue));
    EXPECT_EQ(0u, dwValue);

    EXPECT_EQ(0, CBgTask::WndProc(m_hSink, WM_TIMER, kRescanTimerId, 0));
    EXPECT_FALSE(DestroyWasPosted());
    KillTimer(m_hSink, kRescanTimerId);
}

TEST_F(Discovery, TimerFirstTick_NoFamilyScanner_PostsDestroy)
{
    AddDriverKey(0, {L"Contoso Flatbed", kUsbId1, true, L"mac", L"C:\\Scans"});
    EXPECT_EQ(1, CBgTask::WndProc(m_hSink, WM_TIMER, kRescanTimerId, 0)) << "the first tick always discovers";
    EXPECT_TRUE(DestroyWasPosted());
    EXPECT_EQ(nullptr, g_hWatcherThread);
    KillTimer(m_hSink, kRescanTimerId);
}
