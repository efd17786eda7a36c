// Interim, test-only: the folder creation and template reading that the filing
// and delivery call are still placeholders on this branch. These minimal
// versions let the filing tests run against real folders and templates; this
// file goes away once the real ones are merged.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "delivery/template_file.h"
#include "discovery/protected_folder.h"
#include "discovery/state.h"
#include <shlobj.h>

HRESULT CreateProtectedFolder(const wchar_t* pwszPath)
{
    std::wstring sid;
    if (!CopyUserSidText(sid))
        return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    int rc = SHCreateDirectoryExW(nullptr, pwszPath, nullptr);
    return rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS ? S_OK : E_FAIL;
}

bool FindTemplateFile(const wchar_t* pwszFolder, bgt::UniqueFindHandle& hSearch, wchar_t* pwszTemplatePath,
                      size_t cchTemplatePath)
{
    WIN32_FIND_DATAW fd;
    hSearch.reset(FindFirstFileW((std::wstring(pwszFolder) + L"\\*.ost").c_str(), &fd));
    if (!hSearch)
        return false;
    std::wstring path = std::wstring(pwszFolder) + L"\\" + fd.cFileName;
    if (path.size() >= cchTemplatePath)
        return false;
    wcscpy(pwszTemplatePath, path.c_str());
    return true;
}

namespace {
std::string QuotedValue(const std::string& line)
{
    size_t a = line.find('"');
    size_t b = a == std::string::npos ? a : line.find('"', a + 1);
    return b == std::string::npos ? std::string() : line.substr(a + 1, b - a - 1);
}
} // namespace

SendToFolderSettings ReadSendToFolderSettings(const wchar_t* pwszTemplatePath)
{
    SendToFolderSettings settings = {};
    FILE* pFile = _wfopen(pwszTemplatePath, L"r");
    if (pFile == nullptr)
        return settings;
    char szLine[512];
    while (fgets(szLine, sizeof(szLine), pFile) != nullptr) {
        std::string line = szLine;
        std::string value = QuotedValue(line);
        if (line.find("PCFolderPath") != std::string::npos) {
            settings.bSendToFolder = true;
            strncpy(settings.szPCFolderPath, value.c_str(), sizeof(settings.szPCFolderPath) - 1);
        } else if (line.find("PCBaseFileName") != std::string::npos) {
            strncpy(settings.szPCBaseFileName, value.c_str(), sizeof(settings.szPCBaseFileName) - 1);
        } else if (line.find("PCPreview") != std::string::npos && value == "ON") {
            settings.bSendToFolder = false;
            break;
        }
    }
    fclose(pFile);
    return settings;
}

int UpdateTemplateRepository(const DeviceInfo*) { return 1; }
