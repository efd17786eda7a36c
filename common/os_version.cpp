#include "common/os_version.h"

#include "common/hooks.h"

bool IsVistaOrLater()
{
    OSVERSIONINFOEXW osvi = {};
    osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    if (!g_hooks.pfnGetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&osvi))) {
        osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        if (!g_hooks.pfnGetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&osvi)))
            return false;
    }
    return osvi.dwMajorVersion >= 6;
}
