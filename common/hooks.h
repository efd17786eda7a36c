#pragma once
// The few platform calls that a test must control because they wait, block on a
// person, or reach a service that may be missing. The table defaults to the
// system functions, so the shipped program calls exactly those; everything else
// is called directly.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <objbase.h>
#include <sti.h>

struct PlatformHooks {
    void(WINAPI* pfnSleep)(DWORD dwMilliseconds);
    // A pause that an event may end early.
    DWORD(WINAPI* pfnWaitForSingleObject)(HANDLE hObject, DWORD dwMilliseconds);
    int(WINAPI* pfnMessageBoxW)(HWND hWnd, LPCWSTR pszText, LPCWSTR pszCaption, UINT uType);
    BOOL(WINAPI* pfnGetVersionExW)(LPOSVERSIONINFOW pVersionInfo);
    // Host-name resolution of the address check.
    struct hostent*(WINAPI* pfnGetHostByName)(const char* pszName);
    // The PC's IPv4 address table, which says when a resolve may find anything new.
    DWORD(WINAPI* pfnGetIpAddrTable)(PMIB_IPADDRTABLE pTable, PULONG pcbTable, BOOL bOrder);
    HRESULT(WINAPI* pfnStiCreateInstanceW)(HINSTANCE hInst, DWORD dwVer, IStillImageW** ppSti, LPUNKNOWN punkOuter);
    HRESULT(WINAPI* pfnCoCreateInstance)(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                         LPVOID* ppv);
    BOOL(WINAPI* pfnExitWindowsEx)(UINT uFlags, DWORD dwReason);
    // Run-time lookup of the shutdown-block-reason functions.
    FARPROC(WINAPI* pfnGetProcAddress)(HMODULE hModule, LPCSTR pszProcName);
    // The Application event log (common/event_log.h writes through it).
    BOOL(WINAPI* pfnReportEventW)(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID pUserSid,
                                  WORD wNumStrings, DWORD dwDataSize, LPCWSTR* ppStrings, LPVOID pRawData);
    // The clock of the event log's bound on events a minute.
    ULONGLONG(WINAPI* pfnGetTickCount64)();
};

extern PlatformHooks g_hooks;

// The table as the shipped program has it.
PlatformHooks DefaultPlatformHooks() noexcept;
