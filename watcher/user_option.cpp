#include "watcher/user_option.h"

#include <shlobj.h>

#include <cwchar>

#include "common/bounded_string.h"
#include "common/owners.h"
#include "common/trace.h"
#include "discovery/state.h"

namespace {

constexpr DWORD kDeleteImageOnScan = 1;

bool Succeeded(HRESULT hr) { return hr == S_OK; }

// "Software" + tail, with the first "MST" (case-sensitive) widened.
bool WidenFamilyAbbreviation(const wchar_t* pwszText, wchar_t* pwszOut, size_t cchOut)
{
    const wchar_t* pMst = wcsstr(pwszText, L"MST");
    if (pMst == nullptr)
        return Succeeded(bgt::StringCchCopyW(pwszOut, cchOut, pwszText));
    size_t cchBefore = static_cast<size_t>(pMst - pwszText);
    if (cchBefore >= cchOut)
        return false;
    return Succeeded(bgt::StringCchCopyNW(pwszOut, cchOut, pwszText, cchBefore)) &&
           Succeeded(bgt::StringCchCatW(pwszOut, cchOut, L"Marlstone")) &&
           Succeeded(bgt::StringCchCatW(pwszOut, cchOut, pMst + 3));
}

void CreateUserKey(const wchar_t* pwszUserRegPath)
{
    bgt::UniqueHKey hKey;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, pwszUserRegPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, hKey.put(),
                        nullptr) != ERROR_SUCCESS)
        TraceMsg(L"\t FAILED to Get User Reg Key \r\n");
}

void CreateDeleteMarker(const wchar_t* pwszCommonAppData, const wchar_t* pwszUserRegPath)
{
    char szMarkerPath[kPathCapacity];
    if (!BuildDeleteMarkerPath(pwszCommonAppData, pwszUserRegPath, szMarkerPath, ARRAYSIZE(szMarkerPath)))
        return;
    // CREATE_NEW: a marker that another watcher already made stays as it is.
    bgt::UniqueFileHandle hMarker(
        CreateFileA(szMarkerPath, GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (hMarker) {
        hMarker.reset();
        TraceMsg(L" Created the Del file \r\n");
    }
}

} // namespace

HRESULT CObkCplUI::RegWriteDeleteImageOption(DWORD dwValue, const wchar_t* pwszUserRegPath)
{
    TraceMsg(L"RegWriteDeleteImageOption Enter \r\n");
    size_t cchPath = 0;
    if (FAILED(bgt::StringCchLengthW(pwszUserRegPath, kPathCapacity, &cchPath)) || cchPath == 0) {
        TraceMsg(L"\tRegWriteDeleteImageOption - Invalid Argument: m_obkDevProps.szUserRegPath  \r\n");
        return E_INVALIDARG;
    }
    wchar_t wszValueName[kPathCapacity];
    bgt::StringCchPrintfW(wszValueName, ARRAYSIZE(wszValueName), L"%s_DeleteImageOnScan", g_wszUserName);

    HRESULT hr = S_OK;
    bgt::UniqueHKey hKey;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, pwszUserRegPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, hKey.put(),
                        nullptr) != ERROR_SUCCESS) {
        TraceMsg(L"\tRegWriteDeleteImageOption - RegCreateKeyEx failed\r\n");
        hr = E_FAIL;
    } else if (RegSetValueExW(hKey.get(), wszValueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                              sizeof(dwValue)) != ERROR_SUCCESS) {
        TraceMsg(L"\tRegWriteDeleteImageOption failed to set value for delete image option.\r\n");
        hr = E_FAIL;
    }
    TraceMsg(L"CObkCplUI::RegWriteDeleteImageOption Exit \r\n");
    return hr;
}

bool DeriveUserRegPath(const wchar_t* pwszFilingPath, const wchar_t* pwszCommonAppData, wchar_t* pwszUserRegPath,
                       size_t cchUserRegPath)
{
    size_t cchFiling = 0;
    size_t cchFolder = 0;
    if (FAILED(bgt::StringCchLengthW(pwszFilingPath, kPathChars, &cchFiling)) ||
        FAILED(bgt::StringCchLengthW(pwszCommonAppData, kPathChars, &cchFolder)) || cchFiling <= cchFolder) {
        TraceMsg(L"\t Filing path is not below the common application data folder, no user key \r\n");
        return false;
    }
    wchar_t wszSoftware[kPathCapacity];
    if (!Succeeded(bgt::StringCchPrintfW(wszSoftware, ARRAYSIZE(wszSoftware), L"Software%s",
                                         pwszFilingPath + cchFolder)) ||
        !WidenFamilyAbbreviation(wszSoftware, pwszUserRegPath, cchUserRegPath)) {
        TraceMsg(L"\t User key path too long, no user key \r\n");
        return false;
    }
    return true;
}

bool BuildDeleteMarkerPath(const wchar_t* pwszCommonAppData, const wchar_t* pwszUserRegPath, char* pszMarkerPath,
                           size_t cchMarkerPath)
{
    size_t cchKey = wcslen(pwszUserRegPath);
    if (cchKey < 4) {
        TraceMsg(L"\t User key path too short for a marker tag \r\n");
        return false;
    }
    const wchar_t wszTag[4] = {pwszUserRegPath[cchKey - 1], pwszUserRegPath[cchKey - 2], pwszUserRegPath[cchKey - 3],
                               pwszUserRegPath[cchKey - 4]};
    char szTag[5] = {};
    if (WideCharToMultiByte(CP_ACP, 0, wszTag, 4, szTag, 4, nullptr, nullptr) != 4) {
        TraceMsg(L"\t Marker tag is not four ANSI characters %d \r\n", GetLastError());
        return false;
    }
    char szFolder[kPathCapacity] = {};
    if (WideCharToMultiByte(CP_ACP, 0, pwszCommonAppData, -1, szFolder, sizeof(szFolder), nullptr, nullptr) == 0) {
        TraceMsg(L"\t Common application data folder is not ANSI text %d \r\n", GetLastError());
        return false;
    }
    if (!Succeeded(bgt::StringCchPrintfA(pszMarkerPath, cchMarkerPath, "%s\\%s_%s", szFolder, szTag, "obk.del"))) {
        TraceMsg(L"\t Marker path too long, no marker \r\n");
        return false;
    }
    return true;
}

void RecordDeleteImageOption(const DeviceInfo* pDeviceInfo)
{
    wchar_t wszCommonAppData[MAX_PATH] = {};
    HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, wszCommonAppData);
    if (FAILED(hr)) {
        TraceMsg(L"\t SHGetFolderPathW failed %xh, no user key \r\n", static_cast<unsigned>(hr));
        return;
    }
    wchar_t wszUserRegPath[kPathCapacity];
    if (!DeriveUserRegPath(pDeviceInfo->szFilingPath, wszCommonAppData, wszUserRegPath, ARRAYSIZE(wszUserRegPath)))
        return;
    CreateUserKey(wszUserRegPath);
    CObkCplUI::RegWriteDeleteImageOption(kDeleteImageOnScan, wszUserRegPath);
    CreateDeleteMarker(wszCommonAppData, wszUserRegPath);
}
