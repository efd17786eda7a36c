#pragma once
// What the package's two custom actions share: the installed program's path, the
// installing user's session, the running tasks of this installation in it, and
// a line in the installer's log.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "common/owners.h"

namespace installer {

struct MsiCloseHandleFn {
    void operator()(MSIHANDLE h) const { ::MsiCloseHandle(h); }
};
using UniqueMsiHandle = bgt::UniqueResource<MSIHANDLE, 0, MsiCloseHandleFn>;

struct TaskProcess {
    HWND hWnd;
    bgt::UniqueHandle hProcess;
};

// A property of the running installation ("" when unset).
std::wstring Property(MSIHANDLE hInstall, const wchar_t* pwszName);

// The program this installation puts in place, as a long path (a task may have
// been started through a short one); "" when the folder is not known.
std::wstring InstalledTaskPath(MSIHANDLE hInstall);

// The installing user's token: the one the action runs with (the installer
// impersonates the user who started it), else that of this process.
bgt::UniqueHandle InstallingUserToken();
DWORD SessionOf(HANDLE hToken);

// The tasks of the installed program running in that session. Another program
// that made a window of the task's class is none of this installation's business.
std::vector<TaskProcess> FindInstalledTasks(const std::wstring& wstrImage, DWORD dwSession);

// One line in the installer's log, so that an administrator sees what became of
// each task.
void LogLine(MSIHANDLE hInstall, const std::wstring& wstrText);

} // namespace installer
