#pragma once
// The hidden "BgndTask" window and the process's life: start-up, the message
// loop and the window procedure that drives all work.
#include <windows.h>

class CBgTask {
public:
    // Start-up to exit: returns the process exit code.
    static int Run(HINSTANCE hInstance, const char* pszCmdLine);
    static void RegisterBgndWindow(HINSTANCE hInstance);
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT OnTimer();
    static LRESULT OnQueryEndSession(LPARAM lParam);
    static LRESULT OnEndSession(WPARAM wParam, LPARAM lParam);
    static void StartDeleteThread(LPARAM lParam);
    static void AwaitDeleteThread();
    static void CloseWatcherThread();
};

constexpr wchar_t kBgndClassName[] = L"BgndTask";
constexpr UINT_PTR kRescanTimerId = 600;
constexpr UINT kRescanPeriodMs = 5000;
