// Small control tool for demos and end-to-end tests: finds the running task's
// hidden window and sends it what a session sends.
//   bgctl wait [seconds]   exit 0 once the window exists
//   bgctl gone [seconds]   exit 0 once the window is gone
//   bgctl close            post WM_CLOSE
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

HWND FindTask() { return FindWindowW(L"BgndTask", nullptr); }

int WaitUntil(bool bPresent, int seconds)
{
    for (int i = 0; i < seconds * 10; ++i) {
        if ((FindTask() != nullptr) == bPresent)
            return 0;
        Sleep(100);
    }
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fwprintf(stderr, L"usage: bgctl wait|gone [seconds] | close\n");
        return 2;
    }
    int seconds = argc > 2 ? _wtoi(argv[2]) : 30;
    if (wcscmp(argv[1], L"wait") == 0)
        return WaitUntil(true, seconds);
    if (wcscmp(argv[1], L"gone") == 0)
        return WaitUntil(false, seconds);
    if (wcscmp(argv[1], L"close") == 0) {
        HWND hWnd = FindTask();
        return hWnd != nullptr && PostMessageW(hWnd, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    fwprintf(stderr, L"bgctl: unknown command\n");
    return 2;
}
