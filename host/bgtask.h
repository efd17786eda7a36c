#pragma once
// The hidden "BgndTask" window and the process's life: start-up, the message
// loop and the window procedure that drives all work.
#include <windows.h>

#include "discovery/device_change.h"

class CBgTask {
public:
    // Start-up to exit: returns the process exit code.
    static int Run(HINSTANCE hInstance, const char* pszCmdLine);
    static void RegisterBgndWindow(HINSTANCE hInstance);
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    // Asks Windows to start the task again after an installer's Restart Manager
    // ended it (an upgrade or repair); not after a crash, a hang or a restart of
    // the machine, which the Run entry covers. True when registered.
    static bool RegisterForRestart();

private:
    static LRESULT OnTimer(WPARAM wParam);
    static LRESULT OnPowerBroadcast(WPARAM wParam);
    static LRESULT OnQueryEndSession(LPARAM lParam);
    static LRESULT OnEndSession(WPARAM wParam, LPARAM lParam);
    static void OnSessionEndCancelled();
    static void OnVerdictBoundOver();
    static void OnEndGoesAhead(LPARAM lParam);
    static void PutLogonBack();
    static bool SetBlockReason();
    static bool RemoveBlockReason();
    static void RelayOnce(LPARAM lParam);
    static void EndTask(HWND hWnd);
    static void StartDeleteThread(LPARAM lParam);
    static void AwaitDeleteThread();
    static void CloseWatcherThread();

    // One session-end query and what became of it; main thread only.
    struct SessionEnd {
        bool bSenderAwaited = false; // the query came from another thread, whose verdict follows
        bool bPassRan = false;       // its delete pass ran and the log-on has not been put back
        bool bDecided = false;       // the verdict came: the end goes ahead or was cancelled
        bool bRelayed = false;       // the log-off (or shutdown) was relayed for this query
        bool bPutBack = false;       // no verdict came within the bound: the log-on was put back
    };
    static SessionEnd s_end;
    // The drivers' keys, watched so that the tick reads them only after a change.
    static DeviceChangeWatch s_deviceWatch;
};

constexpr wchar_t kBgndClassName[] = L"BgndTask";
constexpr UINT_PTR kRescanTimerId = 600;
constexpr UINT kRescanPeriodMs = 5000;
// How long after its delete pass a query from another thread waits for its
// sender's verdict before the log-on is put back. Windows gives its verdict only
// once every program has answered, and a user may sit on the screen that lists
// the programs still busy for a while: a bound well beyond that.
constexpr UINT_PTR kVerdictTimerId = 601;
constexpr UINT kVerdictBoundMs = 60000;
// What a restart after an upgrade passes, as the Run entry does.
constexpr wchar_t kRestartCommandLine[] = L"/registry";
