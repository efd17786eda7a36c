#include "sim_install.h"

#include <shlobj.h>

#include <stdexcept>

namespace sim {
namespace {

void Check(LSTATUS status, const wchar_t* what)
{
    if (status != ERROR_SUCCESS) {
        std::string s = "registry write failed: ";
        for (const wchar_t* p = what; *p; ++p)
            s += static_cast<char>(*p);
        throw std::runtime_error(s);
    }
}

void SetString(HKEY hRoot, const std::wstring& subkey, const wchar_t* name, const std::wstring& value)
{
    Check(RegSetKeyValueW(hRoot, subkey.c_str(), name, REG_SZ, value.c_str(),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
          name);
}

void SetDword(HKEY hRoot, const std::wstring& subkey, const wchar_t* name, DWORD value)
{
    Check(RegSetKeyValueW(hRoot, subkey.c_str(), name, REG_DWORD, &value, sizeof(value)), name);
}

std::wstring NextDriverKey()
{
    HKEY hClass = nullptr;
    Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kImagingClassKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hClass,
                          nullptr),
          L"class key");
    DWORD nSubkeys = 0;
    RegQueryInfoKeyW(hClass, nullptr, nullptr, nullptr, &nSubkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr);
    RegCloseKey(hClass);
    wchar_t wsz[16];
    swprintf(wsz, 16, L"%04u", static_cast<unsigned>(nSubkeys));
    return wsz;
}

void WriteFileText(const std::wstring& path, const std::string& text)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot write template");
    DWORD cb = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &cb, nullptr);
    CloseHandle(h);
}

} // namespace

std::wstring CommonAppDataFolder()
{
    wchar_t wsz[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, wsz);
    return wsz;
}

std::wstring UserFolderName()
{
    wchar_t wszUser[256] = {}, wszDomain[256] = {};
    HANDLE hToken = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken);
    BYTE buf[512];
    DWORD cb = 0;
    GetTokenInformation(hToken, TokenUser, buf, sizeof(buf), &cb);
    CloseHandle(hToken);
    DWORD cchUser = 256, cchDomain = 256;
    SID_NAME_USE use;
    LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, wszUser, &cchUser, wszDomain,
                      &cchDomain, &use);
    wchar_t wszComputer[MAX_COMPUTERNAME_LENGTH + 2] = {};
    DWORD cchComputer = ARRAYSIZE(wszComputer);
    std::wstring host = wszDomain;
    if (GetComputerNameW(wszComputer, &cchComputer) && CompareStringOrdinal(wszComputer, -1, wszDomain, -1, TRUE) == CSTR_EQUAL)
        host = wszComputer;
    return std::wstring(wszUser) + L"_" + host;
}

std::string TemplateText(const ScannerSpec& scanner)
{
    std::string text = "[Template]\r\nName=\"Scan to PC\"\r\nRepositoryName=\"" + scanner.repositoryName + "\"\r\n";
    if (!scanner.pcFolderPath.empty()) {
        text += "PCFolderPath=\"" + scanner.pcFolderPath + "\"\r\n";
        if (!scanner.pcBaseFileName.empty())
            text += "PCBaseFileName=\"" + scanner.pcBaseFileName + "\"\r\n";
        text += "PCPreview=\"OFF\"\r\n";
    }
    text += "Resolution=\"300\"\r\n";
    return text;
}

InstalledScanner InstallScanner(const ScannerSpec& scanner)
{
    InstalledScanner out;
    out.driverKey = NextDriverKey();
    out.description = scanner.model + (scanner.bWia ? L" WIA Scanner" : L" TWAIN Scanner");
    std::wstring name = scanner.name.empty() ? L"Scanner" + out.driverKey : scanner.name;

    // The installed layout: below the common application data folder, in a folder
    // of the family's abbreviation, so that the per-user key is derived from it.
    std::wstring tail = L"\\Orbek\\MSTScan\\" + name;
    out.filingPath = CommonAppDataFolder() + tail;
    out.userRegPath = L"Software\\Orbek\\MarlstoneScan\\" + name;
    out.userFolder = out.filingPath + L"\\" + UserFolderName();
    out.tempFolder = out.userFolder + L"\\TempImage";
    out.docFolder = out.userFolder + L"\\Documents";
    out.templateFolder = out.userFolder + L"\\Templates";

    std::wstring key = std::wstring(kImagingClassKey) + L"\\" + out.driverKey;
    SetString(HKEY_LOCAL_MACHINE, key, L"DriverDesc", out.description);
    SetString(HKEY_LOCAL_MACHINE, key, L"MatchingDeviceId",
              scanner.bUsb ? L"usb\\vid_1f3a&pid_7c1f&mi_01" : L"net\\orbek_scanner");
    std::wstring data = key + L"\\DeviceData";
    SetString(HKEY_LOCAL_MACHINE, data, L"MacAddr", scanner.mac);
    SetString(HKEY_LOCAL_MACHINE, data, L"FilingPath", out.filingPath);
    SetDword(HKEY_LOCAL_MACHINE, data, L"SimLockTimeout", scanner.bLockTimeout ? 1 : 0);
    SetDword(HKEY_LOCAL_MACHINE, data, L"SimEscapeFails", scanner.bEscapeFails ? 1 : 0);
    SetDword(HKEY_LOCAL_MACHINE, data, L"SimCannotOpen", scanner.bCannotOpen ? 1 : 0);
    SetDword(HKEY_LOCAL_MACHINE, data, L"SimServiceDies", scanner.bServiceDies ? 1 : 0);

    // The drivers' device-change keys exist from installation on.
    HKEY hKey = nullptr;
    for (const wchar_t* pwsz : {L"SOFTWARE\\Orbek\\MarlstoneProTWAIN", L"SOFTWARE\\Orbek\\MarlstoneProWIA"}) {
        Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, pwsz, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
              pwsz);
        RegCloseKey(hKey);
    }

    for (const std::wstring& folder : {out.tempFolder, out.templateFolder})
        SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (!scanner.templateName.empty())
        WriteFileText(out.templateFolder + L"\\" + scanner.templateName, TemplateText(scanner));
    return out;
}

namespace {

constexpr wchar_t kClasses[] = L"Software\\Classes\\";
constexpr wchar_t kWiaDevMgr[] = L"{A1F4E726-8CF1-11D1-BF92-0060081ED811}";
constexpr wchar_t kWiaDevMgr2[] = L"{B6C292BC-7C88-41EE-8B54-8EC92617E599}";
constexpr wchar_t kMarshalClsid[] = L"{BF0D723B-F0E7-4F69-8B73-BB1512D21436}";
constexpr wchar_t kServiceKey[] = L"SOFTWARE\\ScannerSimulator\\WiaService";

struct MarshalledInterface {
    const wchar_t* pwszIid;
    const wchar_t* pwszName;
    DWORD nMethods;
};

// The interfaces of the proxy/stub DLL (sim/wia/wia_marshal.idl).
constexpr MarshalledInterface kMarshalled[] = {
    {L"{98B5E8A0-29CC-491A-AAC0-E6DB4FDCCEB6}", L"IWiaPropertyStorage", 19},
    {L"{4DB1AD10-3391-11D2-9A33-00C04FA36145}", L"IWiaItem", 18},
    {L"{6291EF2C-36EF-4532-876A-8E132593778D}", L"IWiaItemExtras", 6},
    {L"{6CBA0075-1287-407D-9B77-CF0E030435CC}", L"IWiaItem2", 19},
    {L"{79C07CF1-CBDD-41EE-8EC3-F00080CADA7A}", L"IWiaDevMgr2", 11},
};

std::wstring ToolFolder()
{
    wchar_t wsz[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, wsz, MAX_PATH);
    std::wstring path = wsz;
    return path.substr(0, path.find_last_of(L'\\'));
}

void DeleteTree(const std::wstring& subkey)
{
    LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, subkey.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        Check(status, subkey.c_str());
}

void RegisterLocalServer(const wchar_t* pwszClsid, const wchar_t* pwszName, const std::wstring& exe)
{
    // Wine's own entry names its WIA service through an AppID; the stand-in
    // replaces the whole entry with a plain local server.
    std::wstring key = std::wstring(kClasses) + L"CLSID\\" + pwszClsid;
    DeleteTree(key);
    SetString(HKEY_LOCAL_MACHINE, key, nullptr, pwszName);
    SetString(HKEY_LOCAL_MACHINE, key + L"\\LocalServer32", nullptr, exe);
}

} // namespace

void RegisterWiaService()
{
    std::wstring folder = ToolFolder();
    RegisterLocalServer(kWiaDevMgr, L"WIA Device Manager (simulator)", folder + L"\\wiasim.exe");
    RegisterLocalServer(kWiaDevMgr2, L"WIA 2 Device Manager (simulator)", folder + L"\\wiasim.exe");
    std::wstring clsidKey = std::wstring(kClasses) + L"CLSID\\" + kMarshalClsid;
    SetString(HKEY_LOCAL_MACHINE, clsidKey, nullptr, L"WIA proxies and stubs (simulator)");
    SetString(HKEY_LOCAL_MACHINE, clsidKey + L"\\InprocServer32", nullptr, folder + L"\\wiamarshal.dll");
    SetString(HKEY_LOCAL_MACHINE, clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Both");
    for (const MarshalledInterface& itf : kMarshalled) {
        std::wstring key = std::wstring(kClasses) + L"Interface\\" + itf.pwszIid;
        DeleteTree(key);
        SetString(HKEY_LOCAL_MACHINE, key, nullptr, itf.pwszName);
        SetString(HKEY_LOCAL_MACHINE, key + L"\\ProxyStubClsid32", nullptr, kMarshalClsid);
        SetString(HKEY_LOCAL_MACHINE, key + L"\\NumMethods", nullptr, std::to_wstring(itf.nMethods));
    }
}

void UnregisterWiaService()
{
    for (const wchar_t* pwszClsid : {kWiaDevMgr, kWiaDevMgr2})
        DeleteTree(std::wstring(kClasses) + L"CLSID\\" + pwszClsid);
}

void SetWiaServiceRefuses(bool bRefuses)
{
    SetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"RefuseCreation", bRefuses ? 1 : 0);
}

void SetDeviceChange(bool bWia, DWORD dwValue)
{
    SetDword(HKEY_LOCAL_MACHINE, bWia ? L"SOFTWARE\\Orbek\\MarlstoneProWIA" : L"SOFTWARE\\Orbek\\MarlstoneProTWAIN",
             L"DeviceChange", dwValue);
}

} // namespace sim
