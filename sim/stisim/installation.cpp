#include "sim/stisim/installation.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "common/owners.h"

namespace stisim {
namespace {

constexpr wchar_t kClassGuid[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
constexpr wchar_t kClassKey[] =
    L"System\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
constexpr wchar_t kJournalPath[] = L"C:\\simjournal\\journal.txt";

std::mutex& JournalMutex()
{
    static std::mutex s_mutex;
    return s_mutex;
}

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

// The same failure values serve both kinds of driver: a device that cannot be
// opened, a lock that times out, a request (escape or property write) that fails.
WiaDeviceConfig WiaConfigOf(HKEY hClass, const std::wstring& wstrData)
{
    WiaDeviceConfig config;
    if (ReadFlag(hClass, wstrData.c_str(), L"SimCannotOpen"))
        config.vecCreateStatuses = {E_FAIL};
    if (ReadFlag(hClass, wstrData.c_str(), L"SimLockTimeout"))
        config.hrLockEscape = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    if (ReadFlag(hClass, wstrData.c_str(), L"SimEscapeFails"))
        config.hrWrite = E_FAIL;
    config.bEndProcessOnDelete = ReadFlag(hClass, wstrData.c_str(), L"SimServiceDies");
    // A scanner that does not answer: its root item never comes.
    if (ReadFlag(hClass, wstrData.c_str(), L"SimSilent"))
        config.vecCreateStatuses = {E_FAIL};
    return config;
}

void ServeDevice(HKEY hClass, const wchar_t* pwszKey, std::vector<StiDeviceConfig>& vecDevices)
{
    StiDeviceConfig device;
    device.wstrInternalName = std::wstring(kClassGuid) + L"\\" + pwszKey;
    device.wstrDescription = ReadString(hClass, pwszKey, L"DriverDesc");
    std::wstring wstrData = std::wstring(pwszKey) + L"\\DeviceData";
    if (ReadFlag(hClass, wstrData.c_str(), L"SimCannotOpen"))
        device.hrCreate = E_FAIL;
    if (ReadFlag(hClass, wstrData.c_str(), L"SimLockTimeout"))
        device.hrLock = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    if (ReadFlag(hClass, wstrData.c_str(), L"SimEscapeFails"))
        device.hrEscape = E_FAIL;
    // A scanner that does not answer: its lock times out after the whole wait.
    if (ReadFlag(hClass, wstrData.c_str(), L"SimSilent")) {
        device.hrLock = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        device.bLockWaits = true;
    }
    if (device.wstrDescription.find(L"WIA") != std::wstring::npos)
        SetWiaDevice(device.wstrInternalName, WiaConfigOf(hClass, wstrData));
    vecDevices.push_back(device);
}

std::wstring ProgramName()
{
    wchar_t wszPath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, wszPath, ARRAYSIZE(wszPath));
    const wchar_t* pwszName = wcsrchr(wszPath, L'\\');
    return pwszName != nullptr ? pwszName + 1 : wszPath;
}

} // namespace

void ServeTheInstallation()
{
    Reset();
    SetJournalListener(AppendToJournal);
    std::vector<StiDeviceConfig> vecDevices;
    bgt::UniqueHKey hClass;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ, hClass.put()) == ERROR_SUCCESS) {
        wchar_t wszName[64];
        for (DWORD i = 0;; ++i) {
            DWORD cch = ARRAYSIZE(wszName);
            if (RegEnumKeyExW(hClass.get(), i, wszName, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            ServeDevice(hClass.get(), wszName, vecDevices);
        }
    }
    SetStiDevices(vecDevices);
}

void AppendToJournal(const JournalEntry& entry)
{
    static const std::wstring s_wstrProgram = ProgramName();
    wchar_t wszCode[16];
    swprintf(wszCode, ARRAYSIZE(wszCode), L"0x%lX", static_cast<unsigned long>(entry.dwCode));
    std::wstring line = entry.wstrDevice + L"\t" + entry.wstrCall + L"\t" + wszCode + L"\t" + entry.wstrSid + L"\t" +
                        s_wstrProgram + L"\n";
    int cb = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                 nullptr);
    std::string utf8(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), utf8.data(), cb, nullptr, nullptr);
    // Two processes append to the file; each line goes out in one write of its own.
    std::lock_guard<std::mutex> lock(JournalMutex());
    bgt::UniqueFileHandle hFile(CreateFileW(kJournalPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile)
        return;
    DWORD cbWritten = 0;
    WriteFile(hFile.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &cbWritten, nullptr);
}

} // namespace stisim
