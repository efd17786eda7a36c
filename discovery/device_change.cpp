#include "discovery/device_change.h"

#include <string>

#include "common/trace.h"
#include "discovery/state.h"

namespace {

constexpr wchar_t kDriversKey[] = L"SOFTWARE\\Orbek";
constexpr wchar_t kTwainKey[] = L"SOFTWARE\\Orbek\\MarlstoneProTWAIN";
constexpr wchar_t kWiaKey[] = L"SOFTWARE\\Orbek\\MarlstoneProWIA";
constexpr wchar_t kDeviceChangeValue[] = L"DeviceChange";
// A value written, or the key's access list changed: a key we could not reset
// may have become writable.
constexpr DWORD kValueFilter = REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;
constexpr wchar_t kWatchFailure[] = L"The drivers' keys cannot be watched: %d; they are read on every tick";

// A driver's key that does not exist is no failure: the watch of the key
// above it sees it come.
LONG WatchValues(const wchar_t* pwszKey, HANDLE hEvent, bgt::UniqueHKey& hKey)
{
    LONG lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pwszKey, 0, KEY_NOTIFY, hKey.put());
    if (lResult != ERROR_SUCCESS)
        return lResult == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : lResult;
    return RegNotifyChangeKeyValue(hKey.get(), FALSE, kValueFilter, hEvent, TRUE);
}

// Wine reports no change to a watched key that is deleted, only to the key
// above it; so the drivers' keys coming and going are followed there, or on the
// nearest key above that exists (a machine the drivers were never installed on).
LONG WatchNames(HANDLE hEvent, bgt::UniqueHKey& hKey)
{
    std::wstring wstrKey(kDriversKey);
    for (;;) {
        LONG lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, wstrKey.c_str(), 0, KEY_NOTIFY, hKey.put());
        if (lResult == ERROR_SUCCESS)
            return RegNotifyChangeKeyValue(hKey.get(), FALSE, REG_NOTIFY_CHANGE_NAME, hEvent, TRUE);
        if (lResult != ERROR_FILE_NOT_FOUND || wstrKey.empty())
            return lResult;
        size_t nSlash = wstrKey.find_last_of(L'\\');
        wstrKey.resize(nSlash == std::wstring::npos ? 0 : nSlash);
    }
}

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

bool DeviceChangeWatch::TakeChange()
{
    if (m_bArmed && WaitForSingleObject(m_hChanged.get(), 0) == WAIT_TIMEOUT)
        return false;
    m_bArmed = Arm();
    return true;
}

bool DeviceChangeWatch::Arm()
{
    // A key closed while its watch stands signals the event: every key is let go
    // before the event is reset.
    m_hTwain.reset();
    m_hWia.reset();
    m_hAbove.reset();
    if (!m_hChanged)
        m_hChanged.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_hChanged || !ResetEvent(m_hChanged.get())) {
        TraceMsg(kWatchFailure, GetLastError());
        return false;
    }
    LONG lResult = WatchValues(kTwainKey, m_hChanged.get(), m_hTwain);
    if (lResult == ERROR_SUCCESS)
        lResult = WatchValues(kWiaKey, m_hChanged.get(), m_hWia);
    if (lResult == ERROR_SUCCESS)
        lResult = WatchNames(m_hChanged.get(), m_hAbove);
    if (lResult != ERROR_SUCCESS)
        TraceMsg(kWatchFailure, lResult);
    return lResult == ERROR_SUCCESS;
}

int CheckDeviceChange(DeviceChangeWatch& watch)
{
    if (!watch.TakeChange())
        return 0;
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
