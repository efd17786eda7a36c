#include "installer/task_windows.h"

namespace installer {

namespace {

constexpr wchar_t kTaskClass[] = L"BgndTask";
constexpr wchar_t kTaskTitle[] = L"Background Task";
constexpr wchar_t kTaskImage[] = L"BgndTask.exe";

std::wstring LongPath(const std::wstring& path)
{
    wchar_t wszLong[MAX_PATH] = {};
    DWORD cch = GetLongPathNameW(path.c_str(), wszLong, MAX_PATH);
    return cch > 0 && cch < MAX_PATH ? std::wstring(wszLong) : path;
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
// installed program in the given session.
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

} // namespace

std::wstring Property(MSIHANDLE hInstall, const wchar_t* pwszName)
{
    wchar_t wszValue[MAX_PATH] = {};
    DWORD cch = MAX_PATH;
    if (MsiGetPropertyW(hInstall, pwszName, wszValue, &cch) != ERROR_SUCCESS)
        return {};
    return wszValue;
}

std::wstring InstalledTaskPath(MSIHANDLE hInstall)
{
    std::wstring path = Property(hInstall, L"INSTALLDIR");
    if (path.empty())
        return {};
    if (path.back() != L'\\')
        path += L'\\';
    return LongPath(path + kTaskImage);
}

bgt::UniqueHandle InstallingUserToken()
{
    bgt::UniqueHandle hToken;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_DUPLICATE, TRUE, hToken.put()) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, hToken.put()))
        return {};
    return hToken;
}

DWORD SessionOf(HANDLE hToken)
{
    DWORD dwSession = static_cast<DWORD>(-1);
    DWORD cb = 0;
    if (hToken == nullptr || !GetTokenInformation(hToken, TokenSessionId, &dwSession, sizeof(dwSession), &cb))
        return static_cast<DWORD>(-1);
    return dwSession;
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

void LogLine(MSIHANDLE hInstall, const std::wstring& wstrText)
{
    UniqueMsiHandle hRecord(MsiCreateRecord(1));
    if (!hRecord)
        return;
    MsiRecordSetStringW(hRecord.get(), 0, L"[1]");
    MsiRecordSetStringW(hRecord.get(), 1, wstrText.c_str());
    MsiProcessMessage(hInstall, INSTALLMESSAGE_INFO, hRecord.get());
}

} // namespace installer
