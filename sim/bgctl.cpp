// Small control tool for demos and end-to-end tests: finds the running task's
// hidden window and sends it what a session sends.
//   bgctl wait [seconds]   exit 0 once the window exists
//   bgctl gone [seconds]   exit 0 once the window is gone
//   bgctl wiagone [seconds] tell the WIA service stand-in (wiasim.exe) to end, exit 0
//                          once none runs
//   bgctl close            post WM_CLOSE
//   bgctl logoff|shutdown  send WM_QUERYENDSESSION as a session end does (flags
//                          ENDSESSION_LOGOFF or 0), print its answer, then send
//                          WM_ENDSESSION when the answer let the session end
//   bgctl cancel [seconds] send WM_QUERYENDSESSION as a log-off does, print its
//                          answer, then WM_ENDSESSION with wParam 0, as when
//                          the user cancels the log-off
//   bgctl closeapp [seconds] send WM_QUERYENDSESSION and WM_ENDSESSION with
//                          ENDSESSION_CLOSEAPP, as Restart Manager or an
//                          installer closing the task does
//   A third argument to these four delays the verdict (WM_ENDSESSION) by that
//   many seconds, as a user on the screen of programs still busy does; "never"
//   sends none, as a closer that gives up does.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "common/owners.h"

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

bool WiaServiceRuns()
{
    bgt::UniqueFileHandle hSnapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!hSnapshot)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    bool bFound = false;
    for (BOOL bMore = Process32FirstW(hSnapshot.get(), &entry); bMore && !bFound;
         bMore = Process32NextW(hSnapshot.get(), &entry))
        bFound = _wcsicmp(entry.szExeFile, L"wiasim.exe") == 0;
    return bFound;
}

// The stand-in ends by itself when asked; killing it would leave its class
// registration behind in Wine's COM.
int StopWiaService(int seconds)
{
    bgt::UniqueHandle hStop(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"WiaSimStop"));
    if (hStop)
        SetEvent(hStop.get());
    for (int i = 0; i < seconds * 10; ++i) {
        if (!WiaServiceRuns())
            return 0;
        Sleep(100);
    }
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fwprintf(stderr, L"usage: bgctl wait|gone|wiagone [seconds] | close | logoff|shutdown|cancel|closeapp [seconds]\n");
        return 2;
    }
    int seconds = argc > 2 ? _wtoi(argv[2]) : 30;
    if (wcscmp(argv[1], L"wait") == 0)
        return WaitUntil(true, seconds);
    if (wcscmp(argv[1], L"gone") == 0)
        return WaitUntil(false, seconds);
    if (wcscmp(argv[1], L"wiagone") == 0)
        return StopWiaService(seconds);
    if (wcscmp(argv[1], L"close") == 0) {
        HWND hWnd = FindTask();
        return hWnd != nullptr && PostMessageW(hWnd, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    if (wcscmp(argv[1], L"logoff") == 0 || wcscmp(argv[1], L"shutdown") == 0 || wcscmp(argv[1], L"cancel") == 0 ||
        wcscmp(argv[1], L"closeapp") == 0) {
        HWND hWnd = FindTask();
        if (hWnd == nullptr)
            return 1;
        bool bCancel = wcscmp(argv[1], L"cancel") == 0;
        LPARAM lParam = wcscmp(argv[1], L"shutdown") != 0 ? static_cast<LPARAM>(ENDSESSION_LOGOFF) : 0;
        if (wcscmp(argv[1], L"closeapp") == 0)
            lParam = ENDSESSION_CLOSEAPP;
        DWORD_PTR dwResult = 0;
        ULONGLONG ullSent = GetTickCount64();
        if (!SendMessageTimeoutW(hWnd, WM_QUERYENDSESSION, 0, lParam, SMTO_NORMAL,
                                 static_cast<UINT>(seconds) * 1000u, &dwResult)) {
            wprintf(L"query=timeout\n");
            return 1;
        }
        // How long the session end was held: the query sent until it was answered.
        wprintf(L"query=%u\nheld_ms=%llu\n", static_cast<unsigned>(dwResult), GetTickCount64() - ullSent);
        fflush(stdout);
        if (argc > 3 && wcscmp(argv[3], L"never") == 0)
            return 0;
        if (argc > 3)
            Sleep(static_cast<DWORD>(_wtoi(argv[3])) * 1000u);
        if (dwResult != 0 || bCancel)
            SendMessageTimeoutW(hWnd, WM_ENDSESSION, bCancel ? 0 : 1, lParam, SMTO_NORMAL, 10000, &dwResult);
        return 0;
    }
    fwprintf(stderr, L"bgctl: unknown command\n");
    return 2;
}
