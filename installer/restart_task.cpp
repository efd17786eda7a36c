// The package's last action: when the close action ended the user's task and the
// program is still installed (an upgrade, a repair that replaced it), the task is
// started again for the installing user, as the Run entry would start it, with
// the token of that user's own shell, that is unelevated even when the
// installation runs elevated. Where Windows' Restart Manager closed the task it
// also starts it again, and a task found running is not started twice. An
// installation by the system account starts nothing. Never fails the installation.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "installer/task_windows.h"

namespace {

constexpr wchar_t kSystemSid[] = L"S-1-5-18";
constexpr wchar_t kRunArgument[] = L" /registry";

// The user a token belongs to, as SID text ("" when it cannot be read).
std::wstring UserOf(HANDLE hToken)
{
    BYTE rgbUser[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
    DWORD cb = 0;
    LPWSTR pwszSid = nullptr;
    if (!GetTokenInformation(hToken, TokenUser, rgbUser, sizeof(rgbUser), &cb) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(rgbUser)->User.Sid, &pwszSid))
        return {};
    bgt::UniqueLocalMem owner(pwszSid);
    return pwszSid;
}

bool IsElevated(HANDLE hToken)
{
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD cb = 0;
    return GetTokenInformation(hToken, TokenElevationType, &type, sizeof(type), &cb) && type == TokenElevationTypeFull;
}

// The user's own token without the elevation: the token linked to an elevated
// one, or the token itself when it is not elevated.
bool UnelevatedOf(HANDLE hToken, bgt::UniqueHandle& hSource)
{
    if (!IsElevated(hToken))
        return DuplicateHandle(GetCurrentProcess(), hToken, GetCurrentProcess(), hSource.put(), 0, FALSE,
                               DUPLICATE_SAME_ACCESS) != FALSE;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD cb = 0;
    if (!GetTokenInformation(hToken, TokenLinkedToken, &linked, sizeof(linked), &cb))
        return false;
    hSource.reset(linked.LinkedToken);
    return true;
}

// A primary token for the new task: the installing user's shell's, which runs
// unelevated; without a shell of that user, the unelevated form of the action's
// own. Empty when neither will do.
bgt::UniqueHandle UnelevatedToken(HANDLE hInstalling)
{
    std::wstring wstrUser = UserOf(hInstalling);
    DWORD dwShellProcess = 0;
    HWND hShell = GetShellWindow();
    if (hShell != nullptr)
        GetWindowThreadProcessId(hShell, &dwShellProcess);
    bgt::UniqueHandle hShellProcess(dwShellProcess != 0 ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                                                      dwShellProcess)
                                                        : nullptr);
    bgt::UniqueHandle hSource;
    if (!hShellProcess || !OpenProcessToken(hShellProcess.get(), TOKEN_DUPLICATE | TOKEN_QUERY, hSource.put()) ||
        UserOf(hSource.get()) != wstrUser || installer::SessionOf(hSource.get()) != installer::SessionOf(hInstalling)) {
        if (!UnelevatedOf(hInstalling, hSource))
            return {};
    }
    bgt::UniqueHandle hPrimary;
    if (!DuplicateTokenEx(hSource.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                          hPrimary.put()))
        return {};
    return hPrimary;
}

bool StartTask(HANDLE hToken, const std::wstring& wstrImage)
{
    std::wstring wstrCommand = L"\"" + wstrImage + L"\"" + kRunArgument;
    std::vector<wchar_t> command(wstrCommand.begin(), wstrCommand.end());
    command.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.lpDesktop = const_cast<LPWSTR>(L"winsta0\\default");
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessWithTokenW(hToken, 0, wstrImage.c_str(), command.data(), 0, nullptr, nullptr, &si, &pi) &&
        !CreateProcessAsUserW(hToken, wstrImage.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

} // namespace

extern "C" __declspec(dllexport) UINT __stdcall RestartClosedTask(MSIHANDLE hInstall)
{
    std::wstring wstrImage = installer::InstalledTaskPath(hInstall);
    if (wstrImage.empty() || GetFileAttributesW(wstrImage.c_str()) == INVALID_FILE_ATTRIBUTES)
        return ERROR_SUCCESS;
    bgt::UniqueHandle hInstalling = installer::InstallingUserToken();
    if (!hInstalling || UserOf(hInstalling.get()) == kSystemSid)
        return ERROR_SUCCESS;
    if (!installer::FindInstalledTasks(wstrImage, installer::SessionOf(hInstalling.get())).empty()) {
        installer::LogLine(hInstall, L"RestartClosedTask: the task runs again already");
        return ERROR_SUCCESS;
    }
    bgt::UniqueHandle hToken = UnelevatedToken(hInstalling.get());
    bool bStarted = hToken && StartTask(hToken.get(), wstrImage);
    installer::LogLine(hInstall, bStarted ? L"RestartClosedTask: the task was started again for the user"
                                          : L"RestartClosedTask: the task could not be started: " +
                                                std::to_wstring(GetLastError()));
    return ERROR_SUCCESS;
}
