#pragma once
// The per-user record of the delete-image-on-scan option: the registry value
// under the scanner's per-user key, and the marker file that mirrors it.
#include <windows.h>

#include <cstddef>

struct DeviceInfo;

class CObkCplUI {
public:
    // Writes "<account>_DeleteImageOnScan" = dwValue (REG_DWORD) in the key
    // pwszUserRegPath below HKEY_CURRENT_USER, creating the key if need be.
    // E_INVALIDARG for an empty path or one of 260 characters or more.
    static HRESULT RegWriteDeleteImageOption(DWORD dwValue, const wchar_t* pwszUserRegPath);
};

// The per-user key of a scanner mirrors its filing path below the common
// application data folder: "Software" + the tail of the filing path, with the
// first "MST" widened to "Marlstone". False (traced) when the filing path is not
// longer than the folder path or the key would exceed cchUserRegPath - 1
// characters.
bool DeriveUserRegPath(const wchar_t* pwszFilingPath, const wchar_t* pwszCommonAppData, wchar_t* pwszUserRegPath,
                       size_t cchUserRegPath);

// "<folder>\<tag>_obk.del" in the ANSI code page, the tag being the last four
// characters of the key path in reverse order. False (traced) when a part cannot
// be converted to exactly its bytes or the path would not fit.
bool BuildDeleteMarkerPath(const wchar_t* pwszCommonAppData, const wchar_t* pwszUserRegPath, char* pszMarkerPath,
                           size_t cchMarkerPath);

// The watcher's settings step: the per-user key, the option (always 1, delete
// the image on scan) and the marker. Failures are traced; the watcher goes on.
void RecordDeleteImageOption(const DeviceInfo* pDeviceInfo);
