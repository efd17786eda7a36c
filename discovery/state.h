#pragma once
// The scanner record and the process-wide state of the task. The state is
// written by the main thread only; the two values that other threads touch (the
// user's SID text and the PC's address text) are reached only through the
// guarded accessors below.
#include <windows.h>

#include <string>

constexpr size_t kPathChars = 261;     // path buffers, terminator included
constexpr size_t kPathCapacity = 260;  // what most callers pass as capacity
constexpr DWORD kMaxDevices = 100;

// One discovered scanner. Allocated zero-filled by discovery and never freed.
struct DeviceInfo {
    wchar_t szFilingPath[kPathChars];
    wchar_t szUserFolder[kPathChars];
    wchar_t szDocFolder[kPathChars];
    wchar_t szTempFolder[kPathChars];
    wchar_t szTemplateFolder[kPathChars];
    wchar_t szMacAddr[kPathChars];
    int bUsbDevice;
    int IsWIA;
};

using PFN_SHUTDOWNBLOCKREASONCREATE = BOOL(WINAPI*)(HWND hWnd, LPCWSTR pwszReason);
using PFN_SHUTDOWNBLOCKREASONDESTROY = BOOL(WINAPI*)(HWND hWnd);

extern CRITICAL_SECTION g_csTemplateLock;
extern HWND g_hWnd;
extern DeviceInfo* g_pDevices[kMaxDevices];
extern DWORD g_nDevices;
extern DWORD g_dwEnumIndex;
extern DWORD g_bInitialScanDone;
extern DWORD g_bTwainDeviceChange;
extern DWORD g_bWiaDeviceChange;
extern DWORD g_bFirstDeviceCheck;
extern HANDLE g_hWatcherThread;
extern HANDLE g_hDeleteThread;
extern HMODULE g_hUser32;
extern PFN_SHUTDOWNBLOCKREASONCREATE g_lpShutDownBlockReasonCreate;
extern PFN_SHUTDOWNBLOCKREASONDESTROY g_lpShutDownBlockReasonDestroy;
extern wchar_t g_wszUserName[256];
extern wchar_t g_wszDomainName[256];

// Sets the table, counters and device-change flags to their start-up values.
void ResetProcessState();

// ---- the user's SID text -------------------------------------------------
// Readers take a copy under a lock of its own, so that the delete pass can give
// the text back at a session end while a watcher is creating a folder with it.

// Takes ownership of a text allocated by ConvertSidToStringSidW (or null).
void SetUserSidText(LPWSTR pwszSid);
// Copies the text; false and an empty copy when there is none.
bool CopyUserSidText(std::wstring& wstrSid);
// Gives the text back with LocalFree and forgets it.
void DiscardUserSidText();

// ---- the PC's address text, at most 15 characters --------------------------
void SetIPAddressText(const wchar_t* pwszAddress);
std::wstring GetIPAddressText();
