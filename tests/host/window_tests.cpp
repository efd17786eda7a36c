// The window procedure, driven with real messages on a real hidden window.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "discovery/state.h"
#include "host/bgtask.h"
#include "host/exports.h"
#include "tests/support/event_capture.h"
#include "tests/support/test_support.h"
#include "tests/watcher/fake_resolver.h"

using testsupport::HookGuard;
using testsupport::TraceCapture;

namespace {

std::vector<std::pair<UINT, DWORD>> g_exitCalls;
BOOL WINAPI RecordExitWindows(UINT uFlags, DWORD dwReason)
{
    g_exitCalls.emplace_back(uFlags, dwReason);
    return TRUE;
}

DWORD g_dwFakeMajor = 6;
BOOL WINAPI FakeVersion(LPOSVERSIONINFOW p)
{
    p->dwMajorVersion = g_dwFakeMajor;
    return TRUE;
}
BOOL WINAPI FailVersion(LPOSVERSIONINFOW) { return FALSE; }
HRESULT WINAPI NoStillImage(HINSTANCE, DWORD, IStillImageW**, LPUNKNOWN) { return E_NOTIMPL; }

// Block-reason functions as the task looks them up.
bool g_bCreateResult = true;
std::vector<std::wstring> g_blockCalls;
BOOL WINAPI FakeBlockCreate(HWND, LPCWSTR pwszReason)
{
    g_blockCalls.push_back(std::wstring(L"create:") + pwszReason);
    if (!g_bCreateResult)
        SetLastError(ERROR_ACCESS_DENIED);
    return g_bCreateResult ? TRUE : FALSE;
}
BOOL WINAPI FakeBlockDestroy(HWND)
{
    g_blockCalls.push_back(L"destroy");
    return TRUE;
}
bool g_bHaveCreate = true, g_bHaveDestroy = true;
std::vector<std::pair<std::wstring, DWORD>> g_restartCalls;
HRESULT WINAPI FakeRegisterRestart(PCWSTR pwszCommandLine, DWORD dwFlags)
{
    g_restartCalls.emplace_back(pwszCommandLine != nullptr ? pwszCommandLine : L"(null)", dwFlags);
    return S_OK;
}
FARPROC WINAPI FakeGetProcAddress(HMODULE, LPCSTR pszName)
{
    if (strcmp(pszName, "RegisterApplicationRestart") == 0)
        return reinterpret_cast<FARPROC>(FakeRegisterRestart);
    if (strcmp(pszName, "ShutdownBlockReasonCreate") == 0)
        return g_bHaveCreate ? reinterpret_cast<FARPROC>(FakeBlockCreate) : nullptr;
    if (strcmp(pszName, "ShutdownBlockReasonDestroy") == 0)
        return g_bHaveDestroy ? reinterpret_cast<FARPROC>(FakeBlockDestroy) : nullptr;
    return nullptr;
}

bool g_bQuitSeen = false;
void PumpFor(std::chrono::milliseconds duration)
{
    auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                g_bQuitSeen = true;
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(10);
    }
}

// A message sent from another thread, as the system, Restart Manager or an
// installer sends it, while this thread (the window's) pumps its messages.
LRESULT SendFromAnotherThread(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    testsupport::HangDeadline deadline("a message sent from another thread answered", std::chrono::seconds(20));
    LRESULT lResult = -1;
    std::atomic<bool> bDone{false};
    std::thread sender([&] {
        lResult = SendMessageW(g_hWnd, uMsg, wParam, lParam);
        bDone = true;
    });
    while (!bDone)
        PumpFor(std::chrono::milliseconds(10));
    sender.join();
    return lResult;
}

bool QuitPosted()
{
    PumpFor(std::chrono::milliseconds(0));
    bool bSeen = g_bQuitSeen;
    g_bQuitSeen = false;
    return bSeen;
}

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        InitializeCriticalSection(&g_csTemplateLock);
        CBgTask::RegisterBgndWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(nullptr, g_hWnd);
    }
    void SetUp() override
    {
        PumpFor(std::chrono::milliseconds(20));
        g_exitCalls.clear();
        g_blockCalls.clear();
        g_bCreateResult = g_bHaveCreate = g_bHaveDestroy = true;
        g_hooks.pfnExitWindowsEx = RecordExitWindows;
        g_hooks.pfnGetVersionExW = FakeVersion;
        g_hooks.pfnGetProcAddress = FakeGetProcAddress;
        // The deletion thread asks no scanner here.
        g_hooks.pfnStiCreateInstanceW = NoStillImage;
    }
    // The query waits for the deletion thread without a bound of its own.
    static LRESULT Query(LPARAM lParam)
    {
        testsupport::HangDeadline deadline("WM_QUERYENDSESSION answered", std::chrono::seconds(20));
        return SendMessageW(g_hWnd, WM_QUERYENDSESSION, 0, lParam);
    }

    testsupport::HangDeadline m_deadline{"the whole test", std::chrono::seconds(60)};
    HookGuard m_hooks;
    TraceCapture m_trace;
};

} // namespace

TEST_F(WindowTest, EndSessionCancelledDoesNothing)
{
    EXPECT_EQ(1, SendMessageW(g_hWnd, WM_ENDSESSION, 0, ENDSESSION_LOGOFF));
    EXPECT_TRUE(g_exitCalls.empty());
}

// The pass's own WM_ENDSESSION and the system's both come for one query: the
// log-off is relayed once.
TEST_F(WindowTest, EndSessionsOfOneQueryRelayTheLogoffOnce)
{
    g_dwFakeMajor = 5;
    EXPECT_EQ(1, Query(ENDSESSION_LOGOFF | ENDSESSION_CRITICAL));
    PumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(1, SendMessageW(g_hWnd, WM_ENDSESSION, 1, ENDSESSION_LOGOFF | ENDSESSION_CRITICAL));
    ASSERT_EQ(1u, g_exitCalls.size());
    EXPECT_EQ(static_cast<UINT>(EWX_LOGOFF), g_exitCalls[0].first);
    EXPECT_EQ(0u, g_exitCalls[0].second);
    EXPECT_EQ(2u, m_trace.Count(L"EndSession LOGOFF MESSAGE"));
    g_dwFakeMajor = 6;
}

// The query and its verdict as the system sends them, from another thread: the
// pass's own WM_ENDSESSION comes first and is no verdict. With none, the bound's
// timer puts the log-on back; a verdict that the end goes ahead after that has
// the templates deleted again. The count of events the bound left out is
// written when the end goes ahead, before the process may be ended.
TEST_F(WindowTest, SessionEndFromTheSystem_RelaysOnlyWhenItGoesAhead)
{
    struct Row {
        const char* pszName;
        LPARAM lParam;
        bool bBoundPasses; // no verdict within the bound
        int nVerdict;      // -1: none comes, 0: cancelled, 1: goes ahead
        size_t nRelays;
        bool bEnds;
        bool bSidBack;
        size_t nPasses;
    };
    const Row rows[] = {
        {"log-off cancelled", ENDSESSION_LOGOFF, false, 0, 0, false, true, 1},
        {"log-off goes ahead", ENDSESSION_LOGOFF, false, 1, 1, false, false, 1},
        {"no verdict within the bound", ENDSESSION_LOGOFF, true, -1, 0, false, true, 1},
        // (its second pass finds no still-image service and keeps the SID text)
        {"goes ahead after the bound", ENDSESSION_LOGOFF, true, 1, 1, false, true, 2},
        {"installer closes the task", ENDSESSION_CLOSEAPP, false, 1, 0, true, false, 1},
        {"installer gives up closing it", ENDSESSION_CLOSEAPP, false, 0, 0, false, true, 1},
        {"close request with no verdict", ENDSESSION_CLOSEAPP, true, -1, 0, false, true, 1},
    };
    g_dwFakeMajor = 6; // the close request needs no block reason even where there is one
    testsupport::EventCapture events;
    for (const Row& row : rows) {
        g_exitCalls.clear();
        g_blockCalls.clear();
        m_trace.Clear();
        DiscardUserSidText();
        for (DWORD i = 0; i <= kEventsPerMinute; ++i)
            WriteTaskEvent(BGT_EVENT_DELIVERY_FAILED, EVENTLOG_WARNING_TYPE, {L"a", L"b", L"c"});
        events.Take();
        EXPECT_EQ(1, SendFromAnotherThread(WM_QUERYENDSESSION, 0, row.lParam)) << row.pszName;
        EXPECT_TRUE(m_trace.Contains(L"Got the Delete Template thread.")) << row.pszName;
        EXPECT_EQ(row.lParam == ENDSESSION_CLOSEAPP ? 0u : 2u, g_blockCalls.size()) << row.pszName;
        PumpFor(std::chrono::milliseconds(300));
        EXPECT_TRUE(g_exitCalls.empty()) << row.pszName << ": relayed before the verdict";
        if (row.bBoundPasses)
            SendMessageW(g_hWnd, WM_TIMER, kVerdictTimerId, 0);
        if (row.nVerdict >= 0) {
            EXPECT_EQ(1, SendFromAnotherThread(WM_ENDSESSION, row.nVerdict, row.lParam)) << row.pszName;
        }
        PumpFor(std::chrono::milliseconds(300));
        EXPECT_EQ(row.nRelays, g_exitCalls.size()) << row.pszName;
        EXPECT_EQ(row.bEnds, QuitPosted()) << row.pszName;
        EXPECT_EQ(row.nPasses, m_trace.Count(L"Got the Delete Template thread.")) << row.pszName;
        std::wstring wstrSid;
        EXPECT_EQ(row.bSidBack, CopyUserSidText(wstrSid)) << row.pszName << ": the SID text is found again "
                                                                "when the log-on is put back";
        EXPECT_EQ(row.nVerdict == 1 ? 1u : 0u, events.Of(BGT_EVENT_EVENTS_LEFT_OUT).size()) << row.pszName;
        ResetEventRateBound();
    }
}

TEST_F(WindowTest, RegistersForRestartAfterAnUpgradeOnly)
{
    g_restartCalls.clear();
    EXPECT_TRUE(CBgTask::RegisterForRestart());
    ASSERT_EQ(1u, g_restartCalls.size());
    EXPECT_EQ(L"/registry", g_restartCalls[0].first) << "a restarted task starts as the Run entry starts it";
    EXPECT_EQ(static_cast<DWORD>(RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT), g_restartCalls[0].second);
    // Wine's own function answers S_OK and restarts nothing.
    g_hooks.pfnGetProcAddress = ::GetProcAddress;
    EXPECT_TRUE(CBgTask::RegisterForRestart());
}

TEST_F(WindowTest, WakeFromSleep_ChecksTheAddressAtOnce)
{
    static DeviceInfo s_device = {};
    s_device.IsWIA = 2; // no driver kind: nothing is republished
    g_pDevices[0] = &s_device;
    g_nDevices = 1;
    SetIPAddressText(L"10.20.30.40");
    testsupport::FakeResolver resolver({testsupport::Addresses({"10.20.30.41"})});
    EXPECT_EQ(TRUE, SendMessageW(g_hWnd, WM_POWERBROADCAST, PBT_APMSUSPEND, 0));
    EXPECT_EQ(0, resolver.Calls());
    EXPECT_EQ(TRUE, SendMessageW(g_hWnd, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0));
    EXPECT_EQ(1, resolver.Calls());
    EXPECT_EQ(TRUE, SendMessageW(g_hWnd, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0));
    EXPECT_EQ(2, resolver.Calls());
    EXPECT_EQ(1u, m_trace.Count(L"  The PC's address moved from 10.20.30.40 to 10.20.30.41\r\n"));
    g_pDevices[0] = nullptr;
    g_nDevices = 0;
}

TEST_F(WindowTest, ExportedComparatorOrdersByCodeUnit)
{
    struct Row {
        const wchar_t* pwszLeft;
        const wchar_t* pwszRight;
        bool bBefore;
    };
    const Row rows[] = {
        {L"", L"", false},        {L"", L"a", true},          {L"a", L"", false},
        {L"abc", L"abd", true},   {L"abd", L"abc", false},    {L"ab", L"abc", true},
        {L"B", L"a", true},       {L"a", L"B", false},        {L"same", L"same", false},
        {L"\u00e9", L"f", false}, {L"\uffff", L"\U0001F600", false}, {L"\U0001F600", L"\uffff", true},
    };
    CompareTCHAR compare;
    CompareTCHAR copy(compare);
    copy = compare;
    for (const Row& row : rows)
        EXPECT_EQ(row.bBefore, copy(row.pwszLeft, row.pwszRight)) << "\"" << row.pwszLeft << "\" < \"" << row.pwszRight;
    CompareObj<int> ints;
    CompareObj<int> other;
    ints = other;
    EXPECT_TRUE(ints(1, 2));
    EXPECT_FALSE(ints(2, 2));
}

TEST_F(WindowTest, ShutdownOnlyEnablesThePrivilege)
{
    EXPECT_EQ(1, SendFromAnotherThread(WM_ENDSESSION, 1, 0));
    EXPECT_TRUE(g_exitCalls.empty()) << "no second shutdown is requested";
    EXPECT_TRUE(m_trace.Contains(L"EndSession SHUTDOWN MESSAGE Enter"));
    EXPECT_FALSE(m_trace.Contains(L"EndSession: OpenProcessToken failed"));
}

TEST_F(WindowTest, SessionChangeAnswersZeroForEveryCode)
{
    for (WPARAM code = 1; code <= 11; ++code)
        EXPECT_EQ(0, SendMessageW(g_hWnd, WM_WTSSESSION_CHANGE, code, 0)) << code;
    EXPECT_EQ(1u, m_trace.Count(L"WTS_CONSOLE_DISCONNECT"));
}

TEST_F(WindowTest, QuitArmClosesTheWatcherHandleOnce)
{
    g_hWatcherThread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    size_t before = testsupport::CountProcessHandles();
    EXPECT_EQ(0, CBgTask::WndProc(g_hWnd, WM_QUIT, 0, 0));
    EXPECT_EQ(nullptr, g_hWatcherThread);
    EXPECT_EQ(before - 1, testsupport::CountProcessHandles());
    EXPECT_EQ(0, CBgTask::WndProc(g_hWnd, WM_QUIT, 0, 0)) << "a forgotten handle is not closed twice";
    EXPECT_TRUE(m_trace.Contains(L"WM_QUIT!!!!"));
}

TEST_F(WindowTest, QueryBeforeVistaDeletesWaitsAndRelays)
{
    g_dwFakeMajor = 5;
    size_t before = testsupport::CountProcessHandles();
    std::wstring handlesBefore = testsupport::DescribeProcessHandles();
    EXPECT_EQ(1, Query(ENDSESSION_LOGOFF));
    EXPECT_EQ(nullptr, g_hDeleteThread) << "the deletion thread's handle is closed after the wait";
    EXPECT_TRUE(g_blockCalls.empty());
    EXPECT_TRUE(m_trace.Contains(L"Set Thread priority Success"));
    EXPECT_TRUE(m_trace.Contains(L"resumethread successful"));
    EXPECT_TRUE(m_trace.Contains(L"QueryEndSession LOGOFF MESSAGE"));
    // The pass posts WM_ENDSESSION with the query's flags; it is handled once the
    // loop runs again.
    EXPECT_TRUE(g_exitCalls.empty());
    PumpFor(std::chrono::milliseconds(100));
    ASSERT_EQ(1u, g_exitCalls.size());
    // Wine's own threads may hold a handle of this process for a moment (once, in
    // hundreds of runs, one was still open here); a handle the query leaked stays.
    EXPECT_TRUE(testsupport::WaitFor([&] { return testsupport::CountProcessHandles() == before; },
                                     std::chrono::seconds(2)))
        << before << " handles before: " << handlesBefore << "\n"
        << testsupport::CountProcessHandles() << " after: " << testsupport::DescribeProcessHandles();
    g_dwFakeMajor = 6;
}

TEST_F(WindowTest, QueryWithBothVersionProbesFailingTakesThePreVistaPath)
{
    g_hooks.pfnGetVersionExW = FailVersion;
    EXPECT_EQ(1, Query(0));
    EXPECT_TRUE(g_blockCalls.empty());
    EXPECT_TRUE(m_trace.Contains(L"QueryEndSession SHUTDOWN MESSAGE"));
    PumpFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(g_exitCalls.empty()) << "a shutdown is not relayed as a log-off";
}

TEST_F(WindowTest, QueryOnVistaHoldsTheBlockReasonAroundTheDeletion)
{
    EXPECT_EQ(1, Query(ENDSESSION_LOGOFF));
    ASSERT_EQ(2u, g_blockCalls.size());
    EXPECT_EQ(L"create:Orbek Scanner Template Deletion In Progress...", g_blockCalls[0]);
    EXPECT_EQ(L"destroy", g_blockCalls[1]);
    EXPECT_TRUE(m_trace.Contains(L"ShutdownBlockReasonCreate Success !!!"));
    EXPECT_TRUE(m_trace.Contains(L"ShutdownBlockReasonDestroy Success !!!"));
    PumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(1u, g_exitCalls.size());
}

// A block reason the platform refuses costs neither the deletion nor the end.
TEST_F(WindowTest, QueryOnVistaWithTheBlockReasonRefused_DeletesAndLetsTheEndGo)
{
    struct Row {
        bool bHaveCreate;
        const wchar_t* pwszTrace;
    };
    const Row rows[] = {{false, L"GetProcAddress : : g_lpShutDownBlockReasonCreate FAILED!!!"},
                        {true, L"ShutdownBlockReasonCreate FAILED!!! with ERROR: 5"}};
    g_bCreateResult = false;
    for (const Row& row : rows) {
        g_exitCalls.clear();
        m_trace.Clear();
        g_bHaveCreate = row.bHaveCreate;
        EXPECT_EQ(1, Query(ENDSESSION_LOGOFF)) << row.pwszTrace;
        EXPECT_TRUE(m_trace.Contains(row.pwszTrace));
        EXPECT_TRUE(m_trace.Contains(L"Got the Delete Template thread.")) << row.pwszTrace;
        EXPECT_FALSE(m_trace.Contains(L"ShutdownBlockReasonDestroy Success !!!")) << "no reason to remove";
        PumpFor(std::chrono::milliseconds(100));
        EXPECT_EQ(1u, g_exitCalls.size()) << row.pwszTrace;
    }
}

TEST_F(WindowTest, QueryOnVistaWithoutDestroyRefusesAfterTheDeletionRan)
{
    g_bHaveDestroy = false;
    EXPECT_EQ(0, Query(ENDSESSION_LOGOFF));
    EXPECT_TRUE(m_trace.Contains(L"GetProcAddress : : g_lpShutDownBlockReasonDestroy FAILED!!!"));
    EXPECT_EQ(nullptr, g_hDeleteThread);
    PumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(1u, g_exitCalls.size()) << "the deletion had run and posted its WM_ENDSESSION";
}

TEST_F(WindowTest, QueryWaitsForATemplatePassThatHoldsTheLock)
{
    g_dwFakeMajor = 5;
    // A second thread holds the lock as a republish pass would, for 400 ms.
    HANDLE hHeld = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread pass([hHeld] {
        EnterCriticalSection(&g_csTemplateLock);
        SetEvent(hHeld);
        Sleep(400);
        LeaveCriticalSection(&g_csTemplateLock);
    });
    WaitForSingleObject(hHeld, 5000);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, Query(ENDSESSION_LOGOFF));
    auto waited = std::chrono::steady_clock::now() - start;
    testsupport::JoinWithin(pass, std::chrono::seconds(10), "the lock holder ended");
    CloseHandle(hHeld);
    EXPECT_GE(waited, std::chrono::milliseconds(300)) << "the query returned before the pass let go of the lock";
    PumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(1u, g_exitCalls.size());
    g_dwFakeMajor = 6;
}
