#include "common/hooks.h"

namespace {

// GetVersionExW is marked deprecated in newer SDKs; the task still needs the
// real major version, which it asks for exactly as the OS reports it.
BOOL WINAPI SystemGetVersionExW(LPOSVERSIONINFOW pVersionInfo)
{
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    return ::GetVersionExW(pVersionInfo);
}

// NOLINTNEXTLINE(concurrency-mt-unsafe): Winsock keeps the answer in storage of the calling thread
struct hostent* WINAPI SystemGetHostByName(const char* pszName) { return ::gethostbyname(pszName); }

HRESULT WINAPI SystemStiCreateInstanceW(HINSTANCE hInst, DWORD dwVer, IStillImageW** ppSti, LPUNKNOWN punkOuter)
{
    return ::StiCreateInstanceW(hInst, dwVer, ppSti, punkOuter);
}

HRESULT WINAPI SystemCoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                      LPVOID* ppv)
{
    return ::CoCreateInstance(rclsid, pUnkOuter, dwClsContext, riid, ppv);
}

} // namespace

PlatformHooks DefaultPlatformHooks() noexcept
{
    PlatformHooks hooks{};
    hooks.pfnSleep = ::Sleep;
    hooks.pfnWaitForSingleObject = ::WaitForSingleObject;
    hooks.pfnMessageBoxW = ::MessageBoxW;
    hooks.pfnGetVersionExW = SystemGetVersionExW;
    hooks.pfnGetHostByName = SystemGetHostByName;
    hooks.pfnGetIpAddrTable = ::GetIpAddrTable;
    hooks.pfnStiCreateInstanceW = SystemStiCreateInstanceW;
    hooks.pfnCoCreateInstance = SystemCoCreateInstance;
    hooks.pfnExitWindowsEx = ::ExitWindowsEx;
    hooks.pfnGetProcAddress = ::GetProcAddress;
    hooks.pfnReportEventW = ::ReportEventW;
    hooks.pfnGetTickCount64 = ::GetTickCount64;
    return hooks;
}

PlatformHooks g_hooks = DefaultPlatformHooks();
