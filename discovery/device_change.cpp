#include "discovery/device_change.h"

#include "common/owners.h"
#include "common/trace.h"
#include "discovery/state.h"

namespace {

constexpr wchar_t kTwainKey[] = L"SOFTWARE\\Orbek\\MarlstoneProTWAIN";
constexpr wchar_t kWiaKey[] = L"SOFTWARE\\Orbek\\MarlstoneProWIA";
constexpr wchar_t kDeviceChangeValue[] = L"DeviceChange";

// While the flag stands set the value is not read: the change it records has
// not been reset in the registry yet.
void ReadDeviceChange(const wchar_t* pwszKey, DWORD& bFlag, const wchar_t* pwszOpenFailure)
{
    bgt::UniqueHKey hKey;
    LONG lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pwszKey, 0, KEY_READ, hKey.put());
    if (lResult != ERROR_SUCCESS) {
        TraceMsg(pwszOpenFailure, lResult);
        return;
    }
    if (bFlag != 0)
        return;
    DWORD dwValue = 0;
    DWORD cbValue = sizeof(dwValue);
    if (RegQueryValueExW(hKey.get(), kDeviceChangeValue, nullptr, nullptr, reinterpret_cast<BYTE*>(&dwValue),
                         &cbValue) == ERROR_SUCCESS)
        bFlag = dwValue;
}

// Answers 1 when it reset the value. A key we cannot write to keeps its flag
// set, so that the value is not read again.
int ResetDeviceChange(const wchar_t* pwszKey, DWORD& bFlag, const wchar_t* pwszOpenFailure)
{
    bgt::UniqueHKey hKey;
    LONG lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pwszKey, 0, KEY_WRITE, hKey.put());
    if (lResult != ERROR_SUCCESS) {
        TraceMsg(pwszOpenFailure, lResult);
        bFlag = 1;
        return 0;
    }
    if (bFlag == 0)
        return 0;
    DWORD dwZero = 0;
    RegSetValueExW(hKey.get(), kDeviceChangeValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwZero),
                   sizeof(dwZero));
    bFlag = 0;
    return 1;
}

} // namespace

int CheckDeviceChange()
{
    int nAnswer = 0;
    ReadDeviceChange(kTwainKey, g_bTwainDeviceChange, L"FAILED to open HKLM Key for TWAIN in READ MODE  %d");
    ReadDeviceChange(kWiaKey, g_bWiaDeviceChange, L"FAILED to open HKLM Key for WIA in READ MODE  %d");
    if (ResetDeviceChange(kTwainKey, g_bTwainDeviceChange, L"Failed to open HKLM reg key in WRITE MODE. %d"))
        nAnswer = 1;
    if (ResetDeviceChange(kWiaKey, g_bWiaDeviceChange, L"Failed to open HKLM reg key for WIA in WRITE MODE. %d"))
        nAnswer = 1;
    // Once in the life of the process a pass runs even when neither key can be
    // reset, so that the scanners are discovered at the first tick.
    if (g_bFirstDeviceCheck != 0 && g_bTwainDeviceChange != 0 && g_bWiaDeviceChange != 0) {
        nAnswer = 1;
        g_bFirstDeviceCheck = 0;
    }
    return nAnswer;
}
