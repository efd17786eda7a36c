#include "host/bgtask.h"

#include <wtsapi32.h>

#include "common/event_log.h"
#include "common/hooks.h"
#include "common/os_version.h"
#include "common/owners.h"
#include "common/trace.h"
#include "discovery/device_change.h"
#include "discovery/discovery.h"
#include "discovery/identity.h"
#include "discovery/state.h"
#include "templates/template_passes.h"
#include "watcher/template_refresh.h"
#include "watcher/watcher.h"

namespace {

using PFN_REGISTERAPPLICATIONRESTART = HRESULT(WINAPI*)(PCWSTR pwzCommandline, DWORD dwFlags);
// RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT: the Run entry starts the
// task after a restart of the machine, and a task that crashed or hung is not
// started again behind the user's back.
constexpr DWORD kRestartFlags = 0x1 | 0x2 | 0x8;

} // namespace

DeviceChangeWatch CBgTask::s_deviceWatch;

int CBgTask::Run(HINSTANCE hInstance, const char* pszCmdLine)
{
    g_bInitialScanDone = 0;
    InitializeCriticalSection(&g_csTemplateLock);
    g_dwEnumIndex = 0;
    TraceMsg(L"**************************** WINMAIN ENTER ****************************");

    if (pszCmdLine == nullptr || pszCmdLine[0] == '\0')
        TraceMsg(L"Bacground Task Started by the User");
    else
        TraceMsg(L"Bacground Task Started by the Registry");

    if (FindWindowW(kBgndClassName, nullptr) != nullptr)
        return 0;

    RegisterBgndWindow(hInstance);
    RegisterForRestart();
    ResetProcessState();
    ResetAddressFollower();
    // A watch left from an earlier run in this process would keep the first tick
    // from reading the keys.
    s_deviceWatch = DeviceChangeWatch();
    SetWatcherThreadEntry(WatchTempFolder);
    InitUserIdentity();
    SetTimer(g_hWnd, kRescanTimerId, kRescanPeriodMs, nullptr);

    MSG msg = {};
    BOOL bRet;
    while ((bRet = GetMessageW(&msg, nullptr, 0, 0)) != 0 && bRet != -1) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // No later event would carry the count of those the bound left out.
    WriteEventsLeftOut();
    TraceMsg(L"**************************** WINMAIN EXIT ****************************");
    return static_cast<int>(msg.wParam);
}

void CBgTask::RegisterBgndWindow(HINSTANCE hInstance)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = 0;
    wc.lpfnWndProc = CBgTask::WndProc;
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a class brush may be a system colour index plus one
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    wc.lpszClassName = kBgndClassName;
    if (!RegisterClassExW(&wc))
        return;

    // A top-level window rather than a message-only one: only top-level windows
    // are asked whether the session may end.
    g_hWnd = CreateWindowExW(0, kBgndClassName, L"Background Task", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                             CW_USEDEFAULT, 0, nullptr, nullptr, hInstance, nullptr);
    ShowWindow(g_hWnd, SW_HIDE);
    UpdateWindow(g_hWnd);

    if (WTSRegisterSessionNotification(g_hWnd, NOTIFY_FOR_THIS_SESSION))
        TraceMsg(L" CBgTask::WndProc->WTSRegisterSessionNotification Succeeded ");
    else
        TraceMsg(L" CBgTask::WndProc->WTSRegisterSessionNotification failed ");
}

LRESULT CALLBACK CBgTask::WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_DESTROY:
        TraceMsg(L"WM_DESTROY!!!");
        WTSUnRegisterSessionNotification(hWnd);
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        CloseWatcherThread();
        WTSUnRegisterSessionNotification(hWnd);
        PostQuitMessage(0);
        return 0;
    case WM_QUERYENDSESSION:
        return OnQueryEndSession(lParam);
    case WM_QUIT:
        TraceMsg(L"WM_QUIT!!!!");
        CloseWatcherThread();
        return 0;
    case WM_ENDSESSION:
        return OnEndSession(wParam, lParam);
    case WM_TIMER:
        return OnTimer(wParam);
    case WM_POWERBROADCAST:
        return OnPowerBroadcast(wParam);
    case WM_WTSSESSION_CHANGE:
        if (wParam == WTS_CONSOLE_DISCONNECT)
            TraceMsg(L"WTS_CONSOLE_DISCONNECT");
        return 0;
    default:
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}

bool CBgTask::RegisterForRestart()
{
    // Looked up at run time: Windows before Vista has no such function.
    HMODULE hKernel32 = GetModuleHandleW(L"kernel32.dll");
    auto pfnRegister = hKernel32 == nullptr ? nullptr
                                            : reinterpret_cast<PFN_REGISTERAPPLICATIONRESTART>(
                                                  g_hooks.pfnGetProcAddress(hKernel32, "RegisterApplicationRestart"));
    if (pfnRegister == nullptr) {
        TraceMsg(L"RegisterApplicationRestart is not available");
        return false;
    }
    HRESULT hr = pfnRegister(kRestartCommandLine, kRestartFlags);
    if (FAILED(hr)) {
        TraceMsg(L"RegisterApplicationRestart failed %xh", static_cast<unsigned>(hr));
        return false;
    }
    return true;
}

LRESULT CBgTask::OnTimer(WPARAM wParam)
{
    if (wParam == kVerdictTimerId) {
        OnVerdictBoundOver();
        return 0;
    }
    int bRescan = CheckDeviceChange(s_deviceWatch);
    SetTimer(g_hWnd, kRescanTimerId, kRescanPeriodMs, nullptr);
    if (bRescan != 0)
        GetDeviceInfo();
    // A laptop moves to another network or gets a new lease while the user works.
    FollowPcAddress(g_pDevices, g_nDevices);
    return bRescan != 0 ? 1 : 0;
}

LRESULT CBgTask::OnPowerBroadcast(WPARAM wParam)
{
    // After a sleep the PC may wake on another network: the address is checked at
    // once rather than at the next tick.
    if (wParam == PBT_APMRESUMEAUTOMATIC || wParam == PBT_APMRESUMESUSPEND)
        FollowPcAddress(g_pDevices, g_nDevices, true);
    return TRUE;
}

void CBgTask::CloseWatcherThread()
{
    if (g_hWatcherThread != nullptr) {
        CloseHandle(g_hWatcherThread);
        g_hWatcherThread = nullptr;
    }
}
