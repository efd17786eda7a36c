#include "discovery/discovery.h"

#include <cwchar>

#include "common/bounded_string.h"
#include "common/event_reports.h"
#include "common/owners.h"
#include "common/trace.h"
#include "discovery/state.h"

namespace {

constexpr wchar_t kImagingClassKey[] =
    L"System\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
constexpr DWORD kSubkeyNameChars = 261;
constexpr DWORD kValueChars = 255;
constexpr DWORD kFilingPathChars = 260;
constexpr DWORD kComputerNameChars = 261;
constexpr SIZE_T kWatcherStackBytes = 2048;

// The third prefix is covered by the fourth; the list stays as the drivers
// describe their models.
constexpr const wchar_t* kFamilyPrefixes[] = {
    L"Orbek Marlstone/Pro",
    L"Orbek Tividal 8812MFP",
    L"Orbek Chromhold 6401/6402/6403",
    L"Orbek Chromhold",
};

constexpr const wchar_t* kUsbInterfaceIds[] = {
    L"usb\\vid_1f3a&pid_7c1f&mi_01",
    L"usb\\vid_1f3a&pid_7c1e&mi_01",
};

LPTHREAD_START_ROUTINE g_pfnWatcherThread = nullptr;

enum class KeyOutcome { Skipped, Recorded, TableFull, OutOfMemory };

struct PassState {
    HRESULT hr = E_FAIL;
    DeviceInfo* pLastRecord = nullptr;
};

// Reads a text value into a buffer of cchBuffer characters. A value that does
// not fit, terminator included, counts as missing; one stored without its
// terminator is terminated here rather than read past its end.
bool ReadTextValue(HKEY hKey, const wchar_t* pwszName, wchar_t* pwszBuffer, DWORD cchBuffer)
{
    DWORD cbData = cchBuffer * sizeof(wchar_t);
    if (RegQueryValueExW(hKey, pwszName, nullptr, nullptr, reinterpret_cast<BYTE*>(pwszBuffer), &cbData) !=
        ERROR_SUCCESS)
        return false;
    DWORD cchData = cbData / sizeof(wchar_t);
    if (cchData > 0 && pwszBuffer[cchData - 1] == L'\0')
        return true;
    if (cchData >= cchBuffer)
        return false;
    pwszBuffer[cchData] = L'\0';
    return true;
}

bool IsFamilyModel(const wchar_t* pwszDescription)
{
    for (const wchar_t* pwszPrefix : kFamilyPrefixes)
        if (std::wcsncmp(pwszDescription, pwszPrefix, std::wcslen(pwszPrefix)) == 0)
            return true;
    return false;
}

bool IsUsbInterface(const wchar_t* pwszMatchingId)
{
    for (const wchar_t* pwszId : kUsbInterfaceIds)
        if (std::wcscmp(pwszMatchingId, pwszId) == 0)
            return true;
    return false;
}

// Only the letters A to Z are folded, whatever the user's locale.
bool EqualsIgnoringAsciiCase(const wchar_t* pwszA, const wchar_t* pwszB)
{
    auto fold = [](wchar_t ch) { return (ch >= L'a' && ch <= L'z') ? static_cast<wchar_t>(ch - L'a' + L'A') : ch; };
    for (; *pwszA != L'\0' && *pwszB != L'\0'; ++pwszA, ++pwszB)
        if (fold(*pwszA) != fold(*pwszB))
            return false;
    return *pwszA == *pwszB;
}

// A local account is named after the computer, spelt as the computer spells
// itself; a domain account after its domain.
void GetHostPart(wchar_t* pwszHost, size_t cchHost)
{
    wchar_t wszComputer[kComputerNameChars] = {};
    DWORD cchComputer = ARRAYSIZE(wszComputer);
    if (GetComputerNameW(wszComputer, &cchComputer) && EqualsIgnoringAsciiCase(wszComputer, g_wszDomainName))
        bgt::StringCchCopyW(pwszHost, cchHost, wszComputer);
    else
        bgt::StringCchCopyW(pwszHost, cchHost, g_wszDomainName);
}

// Fills the four folder fields, or none of them when one would be cut short: a
// watcher must never file into a shortened path. The filing path itself is kept
// either way: the per-user option and the marker derive from it alone.
bool BuildFolderPaths(DeviceInfo& device, const wchar_t* pwszFilingPath)
{
    bgt::StringCchCopyW(device.szFilingPath, kPathCapacity, pwszFilingPath);
    wchar_t wszHost[kComputerNameChars] = {};
    GetHostPart(wszHost, ARRAYSIZE(wszHost));

    wchar_t wszUserFolderName[kPathChars] = {};
    wchar_t wszUserFolder[kPathChars] = {};
    wchar_t wszTempFolder[kPathChars] = {};
    wchar_t wszDocFolder[kPathChars] = {};
    wchar_t wszTemplateFolder[kPathChars] = {};
    if (FAILED(bgt::StringCchPrintfW(wszUserFolderName, kPathCapacity, L"%s_%s", g_wszUserName, wszHost)) ||
        FAILED(bgt::StringCchPrintfW(wszUserFolder, kPathCapacity, L"%s\\%s", pwszFilingPath, wszUserFolderName)) ||
        FAILED(bgt::StringCchPrintfW(wszTempFolder, kPathCapacity, L"%s\\%s", wszUserFolder, L"TempImage")) ||
        FAILED(bgt::StringCchPrintfW(wszDocFolder, kPathCapacity, L"%s\\%s", wszUserFolder, L"Documents")) ||
        FAILED(bgt::StringCchPrintfW(wszTemplateFolder, kPathCapacity, L"%s\\%s", wszUserFolder, L"Templates"))) {
        TraceMsg(L" The folder paths under %s do not fit; the device gets none", pwszFilingPath);
        return false;
    }

    bgt::StringCchCopyW(device.szUserFolder, kPathCapacity, wszUserFolder);
    bgt::StringCchCopyW(device.szTempFolder, kPathCapacity, wszTempFolder);
    TraceMsg(L" The Temp Folder Path is set to   %s", device.szTempFolder);
    bgt::StringCchCopyW(device.szDocFolder, kPathCapacity, wszDocFolder);
    TraceMsg(L" The Doc Folder Path is set to   %s", device.szDocFolder);
    bgt::StringCchCopyW(device.szTemplateFolder, kPathCapacity, wszTemplateFolder);
    TraceMsg(L" The Template Folder Path is set to   %s", device.szTemplateFolder);
    return true;
}

// Handles of earlier watchers are not used again; closing the one replaced
// keeps them from piling up over the life of the task.
void StartWatcher(DeviceInfo* pDevice)
{
    if (g_pfnWatcherThread == nullptr) {
        TraceMsg(L"No watcher thread entry: no watcher started");
        return;
    }
    HANDLE hThread = CreateThread(nullptr, kWatcherStackBytes, g_pfnWatcherThread, pDevice, 0, nullptr);
    if (hThread == nullptr) {
        TraceMsg(L"CreateThread for the watcher failed: %d", GetLastError());
        return;
    }
    if (g_hWatcherThread != nullptr)
        CloseHandle(g_hWatcherThread);
    g_hWatcherThread = hThread;
}

void FillRecord(DeviceInfo& device, HKEY hDriver, HKEY hDeviceData, int bIsWia, PassState& pass)
{
    wchar_t wszValue[kValueChars] = {};
    device.bUsbDevice =
        ReadTextValue(hDriver, L"MatchingDeviceId", wszValue, ARRAYSIZE(wszValue)) && IsUsbInterface(wszValue);
    device.IsWIA = bIsWia;

    if (ReadTextValue(hDeviceData, L"MacAddr", wszValue, ARRAYSIZE(wszValue)))
        bgt::StringCchCopyW(device.szMacAddr, kPathCapacity, wszValue);

    wchar_t wszFilingPath[kFilingPathChars] = {};
    if (ReadTextValue(hDeviceData, L"FilingPath", wszFilingPath, ARRAYSIZE(wszFilingPath)) &&
        BuildFolderPaths(device, wszFilingPath))
        pass.hr = S_OK;
}

KeyOutcome ExamineDriverKey(HKEY hClass, const wchar_t* pwszSubkey, PassState& pass)
{
    bgt::UniqueHKey hDriver;
    if (RegOpenKeyExW(hClass, pwszSubkey, 0, KEY_READ, hDriver.put()) != ERROR_SUCCESS)
        return KeyOutcome::Skipped;
    wchar_t wszDescription[kValueChars] = {};
    if (!ReadTextValue(hDriver.get(), L"DriverDesc", wszDescription, ARRAYSIZE(wszDescription)))
        return KeyOutcome::Skipped;
    if (!IsFamilyModel(wszDescription))
        return KeyOutcome::Skipped;
    const int bIsWia = std::wcsstr(wszDescription, L"WIA") != nullptr ? 1 : 0;
    bgt::UniqueHKey hDeviceData;
    if (RegOpenKeyExW(hDriver.get(), L"DeviceData", 0, KEY_READ, hDeviceData.put()) != ERROR_SUCCESS)
        return KeyOutcome::Skipped;

    // The table has room for 100 scanners; nothing is written past it.
    if (g_nDevices >= kMaxDevices) {
        TraceMsg(L"GetDeviceInfo: no room for device %d", g_nDevices + 1);
        return KeyOutcome::TableFull;
    }
    auto* pDevice = static_cast<DeviceInfo*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(DeviceInfo)));
    if (pDevice == nullptr)
        return KeyOutcome::OutOfMemory;
    g_pDevices[g_nDevices] = pDevice;
    pass.pLastRecord = pDevice;

    FillRecord(*pDevice, hDriver.get(), hDeviceData.get(), bIsWia, pass);
    if (g_bInitialScanDone == 0) {
        TraceMsg(L" Creating thread for %d device", g_dwEnumIndex);
        StartWatcher(pDevice);
    }
    ++g_nDevices;
    return KeyOutcome::Recorded;
}

// Walks the driver keys from where the previous pass stopped. An index that
// has no subkey is tried again by the next pass, so a driver key added there
// later is found.
KeyOutcome EnumerateDriverKeys(HKEY hClass, PassState& pass)
{
    for (;;) {
        wchar_t wszSubkey[kSubkeyNameChars] = {};
        DWORD cchSubkey = ARRAYSIZE(wszSubkey);
        if (RegEnumKeyExW(hClass, g_dwEnumIndex, wszSubkey, &cchSubkey, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            if (g_nDevices == 0)
                PostMessageW(g_hWnd, WM_DESTROY, 0, 0);
            return KeyOutcome::Skipped;
        }
        ++g_dwEnumIndex;
        KeyOutcome outcome = ExamineDriverKey(hClass, wszSubkey, pass);
        if (outcome == KeyOutcome::TableFull || outcome == KeyOutcome::OutOfMemory)
            return outcome;
    }
}

void FinishPass(const PassState& pass)
{
    if (g_bInitialScanDone == 0) {
        g_bInitialScanDone = 1;
        ReportTaskStarted(g_nDevices);
        return;
    }
    if (pass.pLastRecord == nullptr)
        return;
    TraceMsg(L"BGtask not restarted Creating thread for %d device", g_nDevices);
    StartWatcher(pass.pLastRecord);
}

} // namespace

void SetWatcherThreadEntry(LPTHREAD_START_ROUTINE pfnWatcherThread) { g_pfnWatcherThread = pfnWatcherThread; }

HRESULT GetDeviceInfo()
{
    TraceMsg(L"GetDeviceInfo Enter");
    PassState pass;
    bgt::UniqueHKey hClass;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kImagingClassKey, 0, KEY_READ, hClass.put()) != ERROR_SUCCESS) {
        TraceMsg(L"GetDeviceInfo Exit");
        return E_FAIL;
    }
    KeyOutcome outcome = EnumerateDriverKeys(hClass.get(), pass);
    if (outcome == KeyOutcome::OutOfMemory)
        return E_FAIL;
    hClass.reset();
    FinishPass(pass);
    TraceMsg(L"GetDeviceInfo Exit");
    return outcome == KeyOutcome::TableFull ? E_FAIL : pass.hr;
}
