#include "host/bgtask.h"

#include <wtsapi32.h>

#include "common/hooks.h"
#include "common/os_version.h"
#include "common/owners.h"
#include "common/trace.h"
#include "discovery/device_change.h"
#include "discovery/discovery.h"
#include "discovery/identity.h"
#include "discovery/state.h"
#include "templates/template_passes.h"
#include "watcher/watcher.h"

namespace {

constexpr wchar_t kBlockReason[] = L"Orbek Scanner Template Deletion In Progress...";

bool IsLogoff(LPARAM lParam) { return (static_cast<DWORD>(lParam) & ENDSESSION_LOGOFF) != 0; }

void EnableShutdownPrivilege()
{
    bgt::UniqueHandle hToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, hToken.put())) {
        TraceMsg(L"EndSession: OpenProcessToken failed");
        return;
    }
    TOKEN_PRIVILEGES tp = {};
    LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid);
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(hToken.get(), FALSE, &tp, 0, nullptr, nullptr);
}

} // namespace

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
    ResetProcessState();
    SetWatcherThreadEntry(WatchTempFolder);
    InitUserIdentity();
    SetTimer(g_hWnd, kRescanTimerId, kRescanPeriodMs, nullptr);

    MSG msg = {};
    BOOL bRet;
    while ((bRet = GetMessageW(&msg, nullptr, 0, 0)) != 0 && bRet != -1) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
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
        return OnTimer();
    case WM_WTSSESSION_CHANGE:
        if (wParam == WTS_CONSOLE_DISCONNECT)
            TraceMsg(L"WTS_CONSOLE_DISCONNECT");
        return 0;
    default:
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}

LRESULT CBgTask::OnTimer()
{
    int bRescan = CheckDeviceChange();
    SetTimer(g_hWnd, kRescanTimerId, kRescanPeriodMs, nullptr);
    if (bRescan == 0)
        return 0;
    GetDeviceInfo();
    return 1;
}

LRESULT CBgTask::OnQueryEndSession(LPARAM lParam)
{
    TraceMsg(L"QUERYENDSESSION MESSAGE Delete all templates on all devices");
    if (IsVistaOrLater()) {
        TraceMsg(L"Vista specific... ShutdownBlockReasonCreate");
        g_hUser32 = LoadLibraryW(L"User32.dll");
        if (g_hUser32 != nullptr) {
            g_lpShutDownBlockReasonCreate = reinterpret_cast<PFN_SHUTDOWNBLOCKREASONCREATE>(
                g_hooks.pfnGetProcAddress(g_hUser32, "ShutdownBlockReasonCreate"));
            g_lpShutDownBlockReasonDestroy = reinterpret_cast<PFN_SHUTDOWNBLOCKREASONDESTROY>(
                g_hooks.pfnGetProcAddress(g_hUser32, "ShutdownBlockReasonDestroy"));
            if (g_lpShutDownBlockReasonCreate == nullptr) {
                FreeLibrary(g_hUser32);
                g_hUser32 = nullptr;
                TraceMsg(L"GetProcAddress : : g_lpShutDownBlockReasonCreate FAILED!!!");
                return 0;
            }
            if (!g_lpShutDownBlockReasonCreate(g_hWnd, kBlockReason)) {
                TraceMsg(L"ShutdownBlockReasonCreate FAILED!!! with ERROR: %d", GetLastError());
                return 0;
            }
            StartDeleteThread(lParam);
            TraceMsg(L"ShutdownBlockReasonCreate Success !!!");
            AwaitDeleteThread();
            if (g_lpShutDownBlockReasonDestroy == nullptr) {
                FreeLibrary(g_hUser32);
                g_hUser32 = nullptr;
                TraceMsg(L"GetProcAddress : : g_lpShutDownBlockReasonDestroy FAILED!!!");
                return 0;
            }
            if (g_lpShutDownBlockReasonDestroy(g_hWnd))
                TraceMsg(L"ShutdownBlockReasonDestroy Success !!!");
            else
                TraceMsg(L"ShutdownBlockReasonDestroy FAILED!!! with ERROR: %d", GetLastError());
        }
    } else {
        StartDeleteThread(lParam);
        AwaitDeleteThread();
    }
    TraceMsg(IsLogoff(lParam) ? L"QueryEndSession LOGOFF MESSAGE" : L"QueryEndSession SHUTDOWN MESSAGE");
    TraceMsg(L"DeleteAll template thread is still alive");
    return 1;
}

void CBgTask::StartDeleteThread(LPARAM lParam)
{
    // The query's flags travel as a 32-bit value, unchanged, to the WM_ENDSESSION
    // that the pass posts at its end.
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a thread's one argument is pointer-sized
    LPVOID pvArg = reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(static_cast<DWORD>(lParam)));
    g_hDeleteThread = CreateThread(nullptr, 2048, DeleteTemplateThread, pvArg, CREATE_SUSPENDED, nullptr);
    if (SetThreadPriority(g_hDeleteThread, THREAD_PRIORITY_HIGHEST))
        TraceMsg(L"Set Thread priority Success");
    else
        TraceMsg(L"Set Thread priority Failure");
    if (ResumeThread(g_hDeleteThread) != static_cast<DWORD>(-1)) {
        TraceMsg(L"resumethread successful");
        return;
    }
    DWORD dwError = GetLastError();
    TraceMsg(L"resumethread unsuccessful");
    // A thread that never runs would hold the session end for ever: it is ended
    // before it has done anything, and the query goes on as if none had started.
    if (g_hDeleteThread != nullptr) {
        TerminateThread(g_hDeleteThread, dwError);
        CloseHandle(g_hDeleteThread);
        g_hDeleteThread = nullptr;
    }
}

void CBgTask::AwaitDeleteThread()
{
    if (g_hDeleteThread == nullptr)
        return;
    // No time limit: the session end is held until every scanner has been asked.
    DWORD dwWait;
    do {
        dwWait = WaitForSingleObject(g_hDeleteThread, INFINITE);
    } while (dwWait == WAIT_TIMEOUT);
    CloseHandle(g_hDeleteThread);
    g_hDeleteThread = nullptr;
}

LRESULT CBgTask::OnEndSession(WPARAM wParam, LPARAM lParam)
{
    if (wParam == 0)
        return 1;
    if (IsLogoff(lParam)) {
        TraceMsg(L"EndSession LOGOFF MESSAGE");
        if (!g_hooks.pfnExitWindowsEx(EWX_LOGOFF, 0))
            TraceMsg(L"EndSession: Relaying of Logoff failed");
    } else {
        TraceMsg(L"EndSession SHUTDOWN MESSAGE");
        TraceMsg(L"EndSession SHUTDOWN MESSAGE Enter");
        // The shutdown goes on by itself; the task only makes sure that it holds
        // the privilege, and requests no second shutdown.
        EnableShutdownPrivilege();
    }
    return 1;
}

void CBgTask::CloseWatcherThread()
{
    if (g_hWatcherThread != nullptr) {
        CloseHandle(g_hWatcherThread);
        g_hWatcherThread = nullptr;
    }
}
