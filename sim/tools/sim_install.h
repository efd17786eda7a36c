#pragma once
// A simulated installation of the scanner drivers: the registry keys and folders
// that the drivers' installer writes, for scanners of chosen models and kinds.
#include <windows.h>

#include <string>

namespace sim {

constexpr wchar_t kImagingClassKey[] =
    L"System\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
constexpr wchar_t kImagingClassGuid[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";

struct ScannerSpec {
    std::wstring model = L"Orbek Marlstone/Pro"; // family prefix
    bool bWia = false;
    bool bUsb = false;
    std::wstring name;                 // folder name below the filing root; default "Scanner<index>"
    std::wstring mac = L"00:11:22:33:44:55";
    // Simulated driver faults, read by the simulated still-image service.
    bool bLockTimeout = false;
    bool bEscapeFails = false;
    bool bCannotOpen = false;
    bool bServiceDies = false;         // the WIA service ends its process mid delete request
    // Template written into the user's Templates folder ("" for none).
    std::wstring templateName = L"Default.ost";
    std::string repositoryName = "10.0.0.1";
    std::string pcFolderPath;          // "" for no send-to-folder
    std::string pcBaseFileName;
};

struct InstalledScanner {
    std::wstring driverKey;       // e.g. "0003"
    std::wstring description;     // DriverDesc
    std::wstring filingPath;
    std::wstring userFolder;
    std::wstring tempFolder;
    std::wstring docFolder;
    std::wstring templateFolder;
    std::wstring userRegPath;     // per-user key the task derives from the filing path
};

// Writes the driver key, its DeviceData, the filing folders with a template, and
// the drivers' "DeviceChange" keys. Throws std::runtime_error on failure.
InstalledScanner InstallScanner(const ScannerSpec& scanner);

// Sets a driver's "DeviceChange" value (the drivers' request to rediscover).
void SetDeviceChange(bool bWia, DWORD dwValue);

// The WIA service stand-in: registers its local server for the WIA 1 and WIA 2
// device manager classes and the proxy/stub DLL for the WIA interfaces that
// Wine does not marshal, both from the folder of this tool. Wine's own proxies
// stay for the interfaces it marshals in full.
void RegisterWiaService();
// Removes the local server's registration, as on a machine without the WIA service.
void UnregisterWiaService();
// Makes the service refuse (or again accept) the creation of its managers.
void SetWiaServiceRefuses(bool bRefuses);

// The user folder name the task derives: account name, "_", host part.
std::wstring UserFolderName();
std::wstring CommonAppDataFolder();
std::string TemplateText(const ScannerSpec& scanner);

} // namespace sim
