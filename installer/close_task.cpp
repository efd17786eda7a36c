// The installer's custom action, run after the installer has checked which files
// are in use and before it removes or replaces any: a task of this installation
// still running in the installing user's session is asked, as Windows' Restart
// Manager asks it, to end its session (so that it first has every scanner delete
// the user's templates), and then to end. Only a task that does not end by then is
// ended outright. It starts nothing: it runs with the installer's token, and a task
// started with that token would not be the user's. Packed into the package only;
// never installed.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "common/owners.h"

namespace {

constexpr wchar_t kTaskClass[] = L"BgndTask";
constexpr wchar_t kTaskTitle[] = L"Background Task";
constexpr wchar_t kTaskImage[] = L"BgndTask.exe";
// The task answers the query only after its delete pass, which waits up to 20 s for
// each TWAIN scanner's lock and up to 25 s for each WIA scanner that does not
// answer, after a republish pass that may hold the scanners just then: two scanners
// that do not answer and a pass under way fit in two minutes.
constexpr DWORD kDeletePassMs = 120000;
// After the session-end message the task ends by itself; one that does not is asked
// once more with WM_CLOSE (tasks of earlier versions end on that only), and after
// that it is stuck and ended without being asked.
constexpr DWORD kEndSessionMs = 10000;
constexpr DWORD kGraceMs = 10000;
constexpr int kMaxRounds = 8;

struct TaskProcess {
    HWND hWnd;
    bgt::UniqueHandle hProcess;
};

// The program this installation put in place, as a long path (a task may have been
// started through a short one).
std::wstring InstalledTaskPath(MSIHANDLE hInstall)
{
    wchar_t wszDir[MAX_PATH] = {};
    DWORD cch = MAX_PATH;
    if (MsiGetPropertyW(hInstall, L"INSTALLDIR", wszDir, &cch) != ERROR_SUCCESS || cch == 0)
        return {};
    std::wstring path(wszDir);
    if (path.back() != L'\\')
        path += L'\\';
    return path + kTaskImage;
}

std::wstring LongPath(const std::wstring& path)
{
    wchar_t wszLong[MAX_PATH] = {};
    DWORD cch = GetLongPathNameW(path.c_str(), wszLong, MAX_PATH);
    return cch > 0 && cch < MAX_PATH ? std::wstring(wszLong) : path;
}

// The installing user's session: that of the token the action runs with (the
// installer impersonates the user who started it), else that of this process.
DWORD InstallingSession()
{
    bgt::UniqueHandle hToken;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, hToken.put()) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, hToken.put()))
        return static_cast<DWORD>(-1);
    DWORD dwSession = static_cast<DWORD>(-1);
    DWORD cb = 0;
    if (!GetTokenInformation(hToken.get(), TokenSessionId, &dwSession, sizeof(dwSession), &cb))
        return static_cast<DWORD>(-1);
    return dwSession;
}

bool IsImage(HANDLE hProcess, const std::wstring& wstrImage)
{
    wchar_t wszImage[MAX_PATH] = {};
    DWORD cch = MAX_PATH;
    if (!QueryFullProcessImageNameW(hProcess, 0, wszImage, &cch))
        return false;
    std::wstring wstrRunning = LongPath(std::wstring(wszImage, cch));
    return CompareStringOrdinal(wstrRunning.c_str(), -1, wstrImage.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The process behind a window of the task's class and title, when it runs the
// installed program in the installing user's session. Another program that made
// such a window is none of this installation's business.
bgt::UniqueHandle OpenInstalledTask(HWND hWnd, const std::wstring& wstrImage, DWORD dwSession)
{
    DWORD dwProcessId = 0;
    GetWindowThreadProcessId(hWnd, &dwProcessId);
    DWORD dwProcessSession = 0;
    if (dwProcessId == 0 || !ProcessIdToSessionId(dwProcessId, &dwProcessSession) || dwProcessSession != dwSession)
        return {};
    bgt::UniqueHandle hProcess(
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwProcessId));
    if (!hProcess || !IsImage(hProcess.get(), wstrImage))
        return {};
    // The process is held now: the window still being its own means it is the task.
    DWORD dwOwner = 0;
    GetWindowThreadProcessId(hWnd, &dwOwner);
    return dwOwner == dwProcessId ? std::move(hProcess) : bgt::UniqueHandle();
}

std::vector<TaskProcess> FindInstalledTasks(const std::wstring& wstrImage, DWORD dwSession)
{
    std::vector<TaskProcess> tasks;
    for (HWND hWnd = FindWindowExW(nullptr, nullptr, kTaskClass, kTaskTitle); hWnd != nullptr;
         hWnd = FindWindowExW(nullptr, hWnd, kTaskClass, kTaskTitle)) {
        bgt::UniqueHandle hProcess = OpenInstalledTask(hWnd, wstrImage, dwSession);
        if (hProcess)
            tasks.push_back({hWnd, std::move(hProcess)});
    }
    return tasks;
}

bool Ended(HANDLE hProcess, DWORD dwTimeoutMs) { return WaitForSingleObject(hProcess, dwTimeoutMs) == WAIT_OBJECT_0; }

// The query and the end as Restart Manager sends them to an application it closes:
// not a log-off, nobody else is asked, and the session goes on.
bool EndAsRestartManagerDoes(HWND hWnd, HANDLE hProcess)
{
    DWORD_PTR dwAnswer = 0;
    if (!SendMessageTimeoutW(hWnd, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_NORMAL, kDeletePassMs, &dwAnswer))
        return Ended(hProcess, 0);
    SendMessageTimeoutW(hWnd, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, SMTO_NORMAL, kEndSessionMs, &dwAnswer);
    return Ended(hProcess, kEndSessionMs);
}

bool EndTask(const TaskProcess& task)
{
    if (EndAsRestartManagerDoes(task.hWnd, task.hProcess.get()))
        return true;
    PostMessageW(task.hWnd, WM_CLOSE, 0, 0);
    if (Ended(task.hProcess.get(), kGraceMs))
        return true;
    TerminateProcess(task.hProcess.get(), 1);
    return Ended(task.hProcess.get(), kGraceMs);
}

} // namespace

// Entry of the custom action. Never fails the installation: a task that cannot be
// ended leaves its file in use, which the installer handles as any file in use.
extern "C" __declspec(dllexport) UINT __stdcall CloseRunningTask(MSIHANDLE hInstall)
{
    std::wstring wstrImage = InstalledTaskPath(hInstall);
    if (wstrImage.empty())
        return ERROR_SUCCESS;
    wstrImage = LongPath(wstrImage);
    DWORD dwSession = InstallingSession();
    // One task per desktop, but a second one may be starting while the first ends.
    for (int i = 0; i < kMaxRounds; ++i) {
        std::vector<TaskProcess> tasks = FindInstalledTasks(wstrImage, dwSession);
        if (tasks.empty())
            return ERROR_SUCCESS;
        for (const TaskProcess& task : tasks) {
            if (!EndTask(task))
                return ERROR_SUCCESS;
        }
    }
    return ERROR_SUCCESS;
}
