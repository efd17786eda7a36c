// Stands in for a task whose window no longer answers WM_CLOSE (its main thread
// busy elsewhere): the window of the task's class and title, which ignores the
// request. The package's uninstall must still end it and remove the program.
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
