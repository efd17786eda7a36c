// The window procedure, driven with real messages on a real hidden window.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "discovery/state.h"
#include "host/bgtask.h"
#include "tests/support/test_support.h"

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
FARPROC WINAPI FakeGetProcAddress(HMODULE, LPCSTR pszName)
{
    if (strcmp(pszName, "ShutdownBlockReasonCreate") == 0)
        return g_bHaveCreate ? reinterpret_cast<FARPROC>(FakeBlockCreate) : nullptr;
    if (strcmp(pszName, "ShutdownBlockReasonDestroy") == 0)
        return g_bHaveDestroy ? reinterpret_cast<FARPROC>(FakeBlockDestroy) : nullptr;
    return nullptr;
}

void PumpFor(std::chrono::milliseconds duration)
{
    auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(10);
    }
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

TEST_F(WindowTest, EveryEndSessionRelaysTheLogoff)
{
    EXPECT_EQ(1, SendMessageW(g_hWnd, WM_ENDSESSION, 1, ENDSESSION_LOGOFF));
    PostMessageW(g_hWnd, WM_ENDSESSION, 1, ENDSESSION_LOGOFF | ENDSESSION_CRITICAL);
    PumpFor(std::chrono::milliseconds(100));
    ASSERT_EQ(2u, g_exitCalls.size());
    for (auto& call : g_exitCalls) {
        EXPECT_EQ(static_cast<UINT>(EWX_LOGOFF), call.first);
        EXPECT_EQ(0u, call.second);
    }
    EXPECT_EQ(2u, m_trace.Count(L"EndSession LOGOFF MESSAGE"));
}

TEST_F(WindowTest, ShutdownOnlyEnablesThePrivilege)
{
    EXPECT_EQ(1, SendMessageW(g_hWnd, WM_ENDSESSION, 1, 0));
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

TEST_F(WindowTest, QueryOnVistaWithoutCreateRefusesAndDeletesNothing)
{
    g_bHaveCreate = false;
    EXPECT_EQ(0, Query(ENDSESSION_LOGOFF));
    EXPECT_TRUE(m_trace.Contains(L"GetProcAddress : : g_lpShutDownBlockReasonCreate FAILED!!!"));
    EXPECT_FALSE(m_trace.Contains(L"Set Thread priority Success"));
    PumpFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(g_exitCalls.empty()) << "no deletion ran, so nothing was posted";
}

TEST_F(WindowTest, QueryOnVistaWithFailingCreateRefusesAndDeletesNothing)
{
    g_bCreateResult = false;
    EXPECT_EQ(0, Query(ENDSESSION_LOGOFF));
    EXPECT_TRUE(m_trace.Contains(L"ShutdownBlockReasonCreate FAILED!!! with ERROR: 5"));
    EXPECT_FALSE(m_trace.Contains(L"Set Thread priority Success"));
    PumpFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(g_exitCalls.empty());
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
