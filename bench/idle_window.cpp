// The bare minimum a per-user background program needs under Wine: a hidden
// top-level window and its message loop. The idle benchmark measures it beside the
// task, so that what Wine itself costs is not counted against the task.
//   benchidle [SECONDS]   ends by itself after SECONDS (default: on WM_CLOSE only)
#include <windows.h>

#include <cwchar>

namespace {

constexpr UINT_PTR kEndTimer = 1;

LRESULT CALLBACK IdleWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_TIMER:
        if (wParam == kEndTimer)
            DestroyWindow(hWnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR pwszCmdLine, int)
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = IdleWndProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = L"BenchIdleWindow";
    if (!RegisterClassW(&wc))
        return 1;
    HWND hWnd = CreateWindowExW(0, wc.lpszClassName, L"Bench Idle", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, hInstance, nullptr);
    if (hWnd == nullptr)
        return 1;
    long lSeconds = pwszCmdLine != nullptr ? wcstol(pwszCmdLine, nullptr, 10) : 0;
    if (lSeconds > 0)
        SetTimer(hWnd, kEndTimer, static_cast<UINT>(lSeconds) * 1000u, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
