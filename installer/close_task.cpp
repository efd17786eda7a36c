// The installer's custom action, run before the task's files are removed or
// replaced: asks the task on the installing user's desktop to end through its
// window and waits until the process is gone, so that no file is held open and no
// task runs on after its program has been removed. Packed into the package only;
// never installed.
#include <windows.h>
#include <msi.h>

#include "common/owners.h"

namespace {

constexpr wchar_t kTaskClass[] = L"BgndTask";
constexpr wchar_t kTaskTitle[] = L"Background Task";
// WM_CLOSE ends the task at once; a task that has not ended by then is stuck
// (its window no longer answers) and is ended without being asked.
constexpr DWORD kGraceMs = 10000;
constexpr int kMaxTasks = 8;

bool WaitWindowGone(HWND hWnd, DWORD dwTimeoutMs)
{
    for (DWORD dwWaited = 0; dwWaited < dwTimeoutMs; dwWaited += 100) {
        if (!IsWindow(hWnd))
            return true;
        Sleep(100);
    }
    return !IsWindow(hWnd);
}

bool EndTask(HWND hWnd)
{
    DWORD dwProcessId = 0;
    GetWindowThreadProcessId(hWnd, &dwProcessId);
    bgt::UniqueHandle hProcess(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, dwProcessId));
    PostMessageW(hWnd, WM_CLOSE, 0, 0);
    if (!hProcess)
        return WaitWindowGone(hWnd, kGraceMs);
    if (WaitForSingleObject(hProcess.get(), kGraceMs) == WAIT_OBJECT_0)
        return true;
    TerminateProcess(hProcess.get(), 1);
    return WaitForSingleObject(hProcess.get(), kGraceMs) == WAIT_OBJECT_0;
}

} // namespace

// Entry of the custom action (the installer passes its session handle, which
// this action does not need). Never fails the installation: a task that cannot be
// ended leaves its file in use, which the installer handles as any file in use.
extern "C" __declspec(dllexport) UINT __stdcall CloseRunningTask(MSIHANDLE)
{
    // One task per desktop, but a second one may be starting while the first ends.
    for (int i = 0; i < kMaxTasks; ++i) {
        HWND hWnd = FindWindowW(kTaskClass, kTaskTitle);
        if (hWnd == nullptr || !EndTask(hWnd))
            break;
    }
    return ERROR_SUCCESS;
}
