// Stands in for a task that no longer ends on request: the window of the task's
// class and title, which lets the session end (the default answer) but ignores
// WM_ENDSESSION and WM_CLOSE. Run as the installed program, the package's uninstall
// must still end it; run from anywhere else, it must leave it alone.
#include <windows.h>

namespace {

LRESULT CALLBACK IgnoreClose(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_CLOSE)
        return 0;
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

} // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = IgnoreClose;
    wc.hInstance = hInstance;
    wc.lpszClassName = L"BgndTask";
    if (!RegisterClassExW(&wc))
        return 2;
    if (CreateWindowExW(0, L"BgndTask", L"Background Task", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                        nullptr, nullptr, hInstance, nullptr) == nullptr)
        return 3;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}
