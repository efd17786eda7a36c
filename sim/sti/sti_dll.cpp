// A native sti.dll standing in for the still-image service. Wine loads it in place
// of its own when it lies beside the executable (only ever in the simulator's
// prefix, never beside the shipped program). Its devices are those of the
// simulated installation: the imaging-device class keys, with per-device values
// that make a driver fail. Every request a simulated driver receives is appended
// to a journal file that tests and the demo read.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "sim/stisim/stisim.h"

namespace {

constexpr wchar_t kClassGuid[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
constexpr wchar_t kClassKey[] =
    L"System\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
constexpr wchar_t kJournalPath[] = L"C:\\simjournal\\journal.txt";

std::mutex g_journalMutex;

std::wstring ReadString(HKEY hKey, const wchar_t* pwszSubkey, const wchar_t* pwszName)
{
    wchar_t wsz[512] = {};
    DWORD cb = sizeof(wsz) - sizeof(wchar_t);
    if (RegGetValueW(hKey, pwszSubkey, pwszName, RRF_RT_REG_SZ, nullptr, wsz, &cb) != ERROR_SUCCESS)
        return {};
    return wsz;
}

bool ReadFlag(HKEY hKey, const wchar_t* pwszSubkey, const wchar_t* pwszName)
{
    DWORD dw = 0, cb = sizeof(dw);
    return RegGetValueW(hKey, pwszSubkey, pwszName, RRF_RT_REG_DWORD, nullptr, &dw, &cb) == ERROR_SUCCESS &&
           dw != 0;
}

std::vector<stisim::StiDeviceConfig> DevicesOfTheInstallation()
{
    std::vector<stisim::StiDeviceConfig> devices;
    HKEY hClass = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ, &hClass) != ERROR_SUCCESS)
        return devices;
    wchar_t wszName[64];
    for (DWORD i = 0;; ++i) {
        DWORD cch = ARRAYSIZE(wszName);
        if (RegEnumKeyExW(hClass, i, wszName, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        stisim::StiDeviceConfig device;
        device.wstrInternalName = std::wstring(kClassGuid) + L"\\" + wszName;
        device.wstrDescription = ReadString(hClass, wszName, L"DriverDesc");
        std::wstring data = std::wstring(wszName) + L"\\DeviceData";
        if (ReadFlag(hClass, data.c_str(), L"SimCannotOpen"))
            device.hrCreate = E_FAIL;
        if (ReadFlag(hClass, data.c_str(), L"SimLockTimeout"))
            device.hrLock = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        if (ReadFlag(hClass, data.c_str(), L"SimEscapeFails"))
            device.hrEscape = E_FAIL;
        devices.push_back(device);
    }
    RegCloseKey(hClass);
    return devices;
}

void AppendToJournal(const stisim::JournalEntry& entry)
{
    std::lock_guard<std::mutex> lock(g_journalMutex);
    FILE* pFile = _wfopen(kJournalPath, L"ab");
    if (pFile == nullptr)
        return;
    std::wstring line = entry.wstrDevice + L"\t" + entry.wstrCall + L"\t";
    wchar_t wszCode[16];
    swprintf(wszCode, ARRAYSIZE(wszCode), L"0x%lX", static_cast<unsigned long>(entry.dwCode));
    line += wszCode;
    line += L"\t" + entry.wstrSid + L"\n";
    int cb = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                 nullptr);
    std::string utf8(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), utf8.data(), cb, nullptr, nullptr);
    fwrite(utf8.data(), 1, utf8.size(), pFile);
    fclose(pFile);
}

} // namespace

extern "C" HRESULT WINAPI StiCreateInstanceW(HINSTANCE hInst, DWORD dwVer, IStillImageW** ppSti, LPUNKNOWN punkOuter)
{
    // Each pass opens the service anew and sees the installation as it is now.
    stisim::Reset();
    stisim::SetJournalListener(AppendToJournal);
    stisim::SetStiDevices(DevicesOfTheInstallation());
    return stisim::StiCreateInstanceW(hInst, dwVer, ppSti, punkOuter);
}
