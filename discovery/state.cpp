#include "discovery/state.h"

#include "common/bounded_string.h"

CRITICAL_SECTION g_csTemplateLock;
HWND g_hWnd = nullptr;
DeviceInfo* g_pDevices[kMaxDevices] = {};
DWORD g_nDevices = 0;
DWORD g_dwEnumIndex = 0;
DWORD g_bInitialScanDone = 0;
DWORD g_bTwainDeviceChange = 1;
DWORD g_bWiaDeviceChange = 1;
DWORD g_bFirstDeviceCheck = 1;
HANDLE g_hWatcherThread = nullptr;
HANDLE g_hDeleteThread = nullptr;
HMODULE g_hUser32 = nullptr;
PFN_SHUTDOWNBLOCKREASONCREATE g_lpShutDownBlockReasonCreate = nullptr;
PFN_SHUTDOWNBLOCKREASONDESTROY g_lpShutDownBlockReasonDestroy = nullptr;
wchar_t g_wszUserName[256] = {};
wchar_t g_wszDomainName[256] = {};

namespace {

// A lock of its own for each shared text; SRW locks need no initialisation, so
// they are usable before start-up has run.
SRWLOCK g_srwUserSid = SRWLOCK_INIT;
LPWSTR g_pwszUserSid = nullptr;

SRWLOCK g_srwIPAddress = SRWLOCK_INIT;
wchar_t g_wszIPAddress[16] = {};

} // namespace

void ResetProcessState()
{
    for (DeviceInfo*& pDevice : g_pDevices)
        pDevice = nullptr;
    g_nDevices = 0;
    g_dwEnumIndex = 0;
    g_bInitialScanDone = 0;
    g_bTwainDeviceChange = 1;
    g_bWiaDeviceChange = 1;
    g_bFirstDeviceCheck = 1;
}

void SetUserSidText(LPWSTR pwszSid)
{
    AcquireSRWLockExclusive(&g_srwUserSid);
    LPWSTR pwszOld = g_pwszUserSid;
    g_pwszUserSid = pwszSid;
    ReleaseSRWLockExclusive(&g_srwUserSid);
    if (pwszOld != nullptr)
        LocalFree(pwszOld);
}

bool CopyUserSidText(std::wstring& wstrSid)
{
    // Copied into a fixed buffer under the lock (nothing there can throw), and
    // only then into the caller's string. A SID text has at most 184 characters.
    wchar_t wszCopy[256] = {};
    AcquireSRWLockShared(&g_srwUserSid);
    bool bPresent = g_pwszUserSid != nullptr &&
                    SUCCEEDED(bgt::StringCchCopyW(wszCopy, ARRAYSIZE(wszCopy), g_pwszUserSid));
    ReleaseSRWLockShared(&g_srwUserSid);
    wstrSid = bPresent ? wszCopy : L"";
    return bPresent;
}

void DiscardUserSidText() { SetUserSidText(nullptr); }

void SetIPAddressText(const wchar_t* pwszAddress)
{
    AcquireSRWLockExclusive(&g_srwIPAddress);
    bgt::StringCchCopyW(g_wszIPAddress, ARRAYSIZE(g_wszIPAddress), pwszAddress);
    ReleaseSRWLockExclusive(&g_srwIPAddress);
}

std::wstring GetIPAddressText()
{
    wchar_t wszCopy[ARRAYSIZE(g_wszIPAddress)];
    AcquireSRWLockShared(&g_srwIPAddress);
    bgt::StringCchCopyW(wszCopy, ARRAYSIZE(wszCopy), g_wszIPAddress);
    ReleaseSRWLockShared(&g_srwIPAddress);
    return wszCopy;
}
