#pragma once
// Shared set-up of the template pass tests: the hook table pointed at the
// in-process simulator, a fake Sleep, a chosen OS version, the user's SID text,
// and the real hidden "BgndTask" window as the target of the posted
// WM_ENDSESSION.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "discovery/state.h"
#include "host/bgtask.h"
#include "sim/stisim/stisim.h"
#include "templates/template_passes.h"
#include "tests/support/event_capture.h"
#include "tests/support/test_support.h"

namespace tmpltest {

inline constexpr wchar_t kUserSid[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";

inline constexpr wchar_t kTwainDesc[] = L"Orbek Marlstone/Pro TWAIN Scanner";
inline constexpr wchar_t kTwainDesc2[] = L"Orbek Tividal 8812MFP TWAIN";
inline constexpr wchar_t kWiaDesc[] = L"Orbek Chromhold WIA Scanner";
inline constexpr wchar_t kWiaDesc2[] = L"Orbek Tividal 8812MFP WIA";

inline std::atomic<DWORD> g_dwMajorVersion{5};
inline std::atomic<bool> g_bVersionFails{false};

inline BOOL WINAPI FakeGetVersionEx(LPOSVERSIONINFOW pInfo)
{
    if (g_bVersionFails.load())
        return FALSE;
    pInfo->dwMajorVersion = g_dwMajorVersion.load();
    pInfo->dwMinorVersion = 1;
    return TRUE;
}

inline std::vector<std::pair<UINT, DWORD>> g_vecExitCalls;
inline BOOL WINAPI RecordExitWindows(UINT uFlags, DWORD dwReason)
{
    g_vecExitCalls.emplace_back(uFlags, dwReason);
    return TRUE;
}

inline stisim::StiDeviceConfig Twain(const std::wstring& wstrName, const std::wstring& wstrDesc = kTwainDesc)
{
    stisim::StiDeviceConfig config;
    config.wstrInternalName = wstrName;
    config.wstrDescription = wstrDesc;
    return config;
}

inline stisim::StiDeviceConfig Wia(const std::wstring& wstrName, const std::wstring& wstrDesc = kWiaDesc)
{
    stisim::WiaDeviceConfig wia;
    stisim::SetWiaDevice(wstrName, wia);
    return Twain(wstrName, wstrDesc);
}

// Gives the process a SID text, as the identity step would.
inline void SetSid(const wchar_t* pszSid)
{
    size_t cb = (wcslen(pszSid) + 1) * sizeof(wchar_t);
    auto* pwsz = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, cb));
    memcpy(pwsz, pszSid, cb);
    SetUserSidText(pwsz);
}

// Removes a WM_ENDSESSION that a pass posted to the window; false when none is
// waiting.
inline bool TakePostedEndSession(MSG& msg)
{
    return PeekMessageW(&msg, g_hWnd, WM_ENDSESSION, WM_ENDSESSION, PM_REMOVE) != FALSE;
}

// Counts journal entries of a call, on any device.
inline size_t CountCalls(const std::wstring& wstrCall)
{
    size_t n = 0;
    for (const stisim::JournalEntry& entry : stisim::Journal())
        n += entry.wstrCall == wstrCall ? 1 : 0;
    return n;
}

// Takes g_csTemplateLock on this thread, giving up after a bound: a lock left
// held by an ended thread fails the test instead of hanging the run.
inline bool EnterTemplateLockBounded()
{
    ULONGLONG ullDeadline = GetTickCount64() + 10000;
    while (!TryEnterCriticalSection(&g_csTemplateLock)) {
        if (GetTickCount64() > ullDeadline)
            return false;
        Sleep(5);
    }
    return true;
}

class TemplatePassTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        InitializeCriticalSection(&g_csTemplateLock);
        if (g_hWnd == nullptr)
            CBgTask::RegisterBgndWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(nullptr, g_hWnd);
    }

    void SetUp() override
    {
        stisim::Reset();
        MSG msg;
        while (TakePostedEndSession(msg)) {
        }
        g_dwMajorVersion = 5;
        g_bVersionFails = false;
        g_vecExitCalls.clear();
        g_hooks.pfnStiCreateInstanceW = stisim::StiCreateInstanceW;
        g_hooks.pfnCoCreateInstance = stisim::CoCreateInstance;
        g_hooks.pfnGetVersionExW = FakeGetVersionEx;
        g_hooks.pfnExitWindowsEx = RecordExitWindows;
        SetSid(kUserSid);
        // A session end an earlier query began and nothing cancelled would have
        // every republish pass send nothing.
        EndSessionEnd();
        // A test that left the lock held would hang every later one.
        ASSERT_TRUE(EnterTemplateLockBounded()) << "g_csTemplateLock is stuck";
        LeaveCriticalSection(&g_csTemplateLock);
    }

    void TearDown() override
    {
        EXPECT_EQ(0, stisim::LiveObjects()) << "a simulated object was not given back";
        DiscardUserSidText();
    }

    // Runs the delete pass on this thread; answers whether the thread must end.
    bool RunDeletePass(DWORD dwLParam = ENDSESSION_LOGOFF)
    {
        bool bEndThread = false;
        if (!EnterTemplateLockBounded()) {
            ADD_FAILURE() << "g_csTemplateLock is stuck";
            return false;
        }
        DeleteAllTemplates(dwLParam, &bEndThread);
        LeaveCriticalSection(&g_csTemplateLock);
        return bEndThread;
    }

    bool RunRepublishPass(int nIsWia)
    {
        DeviceInfo info = {};
        info.IsWIA = nIsWia;
        bool bEndThread = false;
        if (!EnterTemplateLockBounded()) {
            ADD_FAILURE() << "g_csTemplateLock is stuck";
            return false;
        }
        RePublishAllTemplates(&info, &bEndThread);
        LeaveCriticalSection(&g_csTemplateLock);
        return bEndThread;
    }

    // A pass that loops (a retry without end) fails here within seconds.
    testsupport::HangDeadline m_deadline{"the whole test", std::chrono::seconds(60)};
    testsupport::SleepRecorder m_sleeps; // also restores the hook table
    testsupport::TraceCapture m_trace;
    testsupport::EventCapture m_events;
};

} // namespace tmpltest
