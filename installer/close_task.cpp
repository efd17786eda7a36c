// The installer's custom action, run after the installer has checked which files
// are in use and before it removes or replaces any: when this run replaces or
// removes the task's program, a task of this installation still running in the
// installing user's session is asked, as Windows' Restart Manager asks it, to end
// its session (so that it first has every scanner delete the user's templates),
// and then to end. Only a task that does not end by then is ended outright. A run
// that leaves the program as it is (a repair of a whole file, a modify) leaves the
// task alone. It starts nothing itself: it notes that it ended a task, and the
// package's last action starts it again for the user (installer/restart_task.cpp).
// Packed into the package only; never installed.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "installer/task_windows.h"

using installer::TaskProcess;

namespace {

// The task answers the query only after its delete pass, which waits up to 20 s for
// each TWAIN scanner's lock and up to 25 s for each WIA scanner that does not
// answer, after a republish pass that may hold the scanners just then: two scanners
// that do not answer and a pass under way fit in two minutes. A task that does not
// take its messages at all is not waited for (SMTO_ABORTIFHUNG).
constexpr DWORD kDeletePassMs = 120000;
// After the session-end message the task ends by itself; one that does not is asked
// once more with WM_CLOSE (tasks of earlier versions end on that only), and after
// that it is stuck and ended without being asked.
constexpr DWORD kEndSessionMs = 10000;
constexpr DWORD kGraceMs = 10000;
constexpr int kMaxRounds = 8;
constexpr UINT kSendFlags = SMTO_NORMAL | SMTO_ABORTIFHUNG;
// The property the restart action reads; private, so no command line sets it.
constexpr wchar_t kClosedProperty[] = L"BgTaskClosed";

bool Ended(HANDLE hProcess, DWORD dwTimeoutMs) { return WaitForSingleObject(hProcess, dwTimeoutMs) == WAIT_OBJECT_0; }

// The query and the end as Restart Manager sends them to an application it closes:
// not a log-off, nobody else is asked, and the session goes on.
bool EndAsRestartManagerDoes(HWND hWnd, HANDLE hProcess)
{
    DWORD_PTR dwAnswer = 0;
    if (!SendMessageTimeoutW(hWnd, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, kSendFlags, kDeletePassMs, &dwAnswer))
        return Ended(hProcess, 0);
    SendMessageTimeoutW(hWnd, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, kSendFlags, kEndSessionMs, &dwAnswer);
    return Ended(hProcess, kEndSessionMs);
}

// How the task ended, for the installer's log; null when it could not be ended.
const wchar_t* EndTask(const TaskProcess& task)
{
    if (EndAsRestartManagerDoes(task.hWnd, task.hProcess.get()))
        return L"on the session end";
    PostMessageW(task.hWnd, WM_CLOSE, 0, 0);
    if (Ended(task.hProcess.get(), kGraceMs))
        return L"on WM_CLOSE";
    TerminateProcess(task.hProcess.get(), 1);
    return Ended(task.hProcess.get(), kGraceMs) ? L"outright" : nullptr;
}

struct PackedFile {
    std::wstring wstrVersion;
    int nSize = -1;
    MSIFILEHASHINFO hash = {};
    bool bHashed = false;
};

bool FetchOne(MSIHANDLE hDatabase, const wchar_t* pwszQuery, installer::UniqueMsiHandle& hRecord)
{
    installer::UniqueMsiHandle hView;
    MSIHANDLE hRaw = 0;
    if (MsiDatabaseOpenViewW(hDatabase, pwszQuery, &hRaw) != ERROR_SUCCESS)
        return false;
    hView.reset(hRaw);
    if (MsiViewExecute(hView.get(), 0) != ERROR_SUCCESS || MsiViewFetch(hView.get(), &hRaw) != ERROR_SUCCESS)
        return false;
    hRecord.reset(hRaw);
    return true;
}

PackedFile ReadPackedFile(MSIHANDLE hInstall)
{
    PackedFile packed;
    installer::UniqueMsiHandle hDatabase(MsiGetActiveDatabase(hInstall));
    installer::UniqueMsiHandle hRecord;
    if (!hDatabase ||
        !FetchOne(hDatabase.get(), L"SELECT `Version`, `FileSize` FROM `File` WHERE `File` = 'BgndTaskExe'", hRecord))
        return packed;
    wchar_t wszVersion[72] = {};
    DWORD cch = ARRAYSIZE(wszVersion);
    if (MsiRecordGetStringW(hRecord.get(), 1, wszVersion, &cch) == ERROR_SUCCESS)
        packed.wstrVersion = wszVersion;
    packed.nSize = MsiRecordGetInteger(hRecord.get(), 2);
    if (!FetchOne(hDatabase.get(),
                  L"SELECT `HashPart1`, `HashPart2`, `HashPart3`, `HashPart4` FROM `MsiFileHash` WHERE `File_` = "
                  L"'BgndTaskExe'",
                  hRecord))
        return packed;
    packed.hash.dwFileHashInfoSize = sizeof(packed.hash);
    for (UINT i = 0; i < 4; ++i)
        packed.hash.dwData[i] = static_cast<ULONG>(MsiRecordGetInteger(hRecord.get(), i + 1));
    packed.bHashed = true;
    return packed;
}

// A dotted version as four numbers, for comparing.
ULONGLONG VersionNumber(const std::wstring& wstrVersion)
{
    unsigned rgPart[4] = {};
    swscanf(wstrVersion.c_str(), L"%u.%u.%u.%u", &rgPart[0], &rgPart[1], &rgPart[2], &rgPart[3]);
    return (ULONGLONG(rgPart[0] & 0xFFFF) << 48) | (ULONGLONG(rgPart[1] & 0xFFFF) << 32) |
           (ULONGLONG(rgPart[2] & 0xFFFF) << 16) | ULONGLONG(rgPart[3] & 0xFFFF);
}

// The installer's rule for a file that stays installed: by the reinstall mode
// ('a' every file, 'p' only missing ones, 'o', 'e', 'd' by version), and for a
// packed file without a version, by its size and hash.
bool ReinstallReplaces(MSIHANDLE hInstall, const std::wstring& wstrImage)
{
    std::wstring wstrMode = installer::Property(hInstall, L"REINSTALLMODE");
    if (wstrMode.empty())
        wstrMode = L"omus";
    auto has = [&](wchar_t wch) { return wstrMode.find(wch) != std::wstring::npos; };
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(wstrImage.c_str(), GetFileExInfoStandard, &data))
        return false; // a missing program runs nowhere
    if (has(L'a') || has(L'A'))
        return true;
    PackedFile packed = ReadPackedFile(hInstall);
    if (!packed.wstrVersion.empty()) {
        wchar_t wszInstalled[72] = {};
        DWORD cch = ARRAYSIZE(wszInstalled);
        if (MsiGetFileVersionW(wstrImage.c_str(), wszInstalled, &cch, nullptr, nullptr) != ERROR_SUCCESS)
            return true;
        ULONGLONG ullInstalled = VersionNumber(wszInstalled);
        ULONGLONG ullPacked = VersionNumber(packed.wstrVersion);
        return (has(L'o') && ullInstalled < ullPacked) || (has(L'e') && ullInstalled <= ullPacked) ||
               (has(L'd') && ullInstalled != ullPacked);
    }
    if (packed.nSize >= 0 && (data.nFileSizeHigh != 0 || data.nFileSizeLow != static_cast<DWORD>(packed.nSize)))
        return true;
    MSIFILEHASHINFO installed = {};
    installed.dwFileHashInfoSize = sizeof(installed);
    return packed.bHashed && (MsiGetFileHashW(wstrImage.c_str(), 0, &installed) != ERROR_SUCCESS ||
                              memcmp(installed.dwData, packed.hash.dwData, sizeof(installed.dwData)) != 0);
}

// Whether this run replaces or removes the program: a removal (the package has
// one feature) and an upgrade, which removes the older product first, always do;
// a maintenance run that only reinstalls does when the installer's rule replaces
// the file. The sequence's condition already leaves out a first installation.
bool ProgramGoes(MSIHANDLE hInstall, const std::wstring& wstrImage)
{
    if (!installer::Property(hInstall, L"REMOVE").empty() ||
        !installer::Property(hInstall, L"WIX_UPGRADE_DETECTED").empty() ||
        installer::Property(hInstall, L"Installed").empty())
        return true;
    return ReinstallReplaces(hInstall, wstrImage);
}

} // namespace

// Entry of the custom action. Never fails the installation: a task that cannot be
// ended leaves its file in use, which the installer handles as any file in use.
extern "C" __declspec(dllexport) UINT __stdcall CloseRunningTask(MSIHANDLE hInstall)
{
    std::wstring wstrImage = installer::InstalledTaskPath(hInstall);
    if (wstrImage.empty())
        return ERROR_SUCCESS;
    if (!ProgramGoes(hInstall, wstrImage)) {
        installer::LogLine(hInstall, L"CloseRunningTask: the program stays as it is; the task is left running");
        return ERROR_SUCCESS;
    }
    bgt::UniqueHandle hToken = installer::InstallingUserToken();
    DWORD dwSession = installer::SessionOf(hToken.get());
    // One task per desktop, but a second one may be starting while the first ends.
    // A task that cannot be ended keeps none of the others running.
    std::vector<DWORD> stuck;
    for (int i = 0; i < kMaxRounds; ++i) {
        bool bAnyEnded = false;
        for (const TaskProcess& task : installer::FindInstalledTasks(wstrImage, dwSession)) {
            DWORD dwProcessId = GetProcessId(task.hProcess.get());
            if (std::find(stuck.begin(), stuck.end(), dwProcessId) != stuck.end())
                continue;
            const wchar_t* pwszHow = EndTask(task);
            installer::LogLine(hInstall, L"CloseRunningTask: task " + std::to_wstring(dwProcessId) +
                                             (pwszHow != nullptr ? std::wstring(L" ended ") + pwszHow
                                                                 : std::wstring(L" could not be ended")));
            if (pwszHow == nullptr) {
                stuck.push_back(dwProcessId);
                continue;
            }
            bAnyEnded = true;
            MsiSetPropertyW(hInstall, kClosedProperty, L"1");
        }
        if (!bAnyEnded)
            break;
    }
    return ERROR_SUCCESS;
}
