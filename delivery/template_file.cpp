#include "delivery/template_file.h"

#include <shlwapi.h>

#include <cstring>

#include "common/bounded_string.h"
#include "common/trace.h"
#include "discovery/folder_check.h"
#include "discovery/state.h"

namespace {

// A whole template in memory. Templates are a few kilobytes; anything past
// 1 MiB is not one (a mail client's offline store, say) and is refused rather
// than read, by every delivery at once.
constexpr LONGLONG kMaxTemplateBytes = 1024LL * 1024;

struct TemplateBytes {
    bgt::UniqueHeapMem mem;
    size_t cb = 0;
    const char* data() const { return static_cast<const char*>(mem.get()); }
};

enum class ReadOutcome { Read, CannotOpen, NoMemory, ReadFailed };

bgt::UniqueFileHandle OpenTemplate(const wchar_t* pwszPath, DWORD dwAccess)
{
    // Others may read and write meanwhile, as with a C runtime stream, and may
    // also replace the file: another watcher on the same Templates folder can be
    // swapping in its rewrite while this one reads.
    return bgt::UniqueFileHandle(CreateFileW(pwszPath, dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

ReadOutcome ReadAllBytes(HANDLE hFile, TemplateBytes& bytes)
{
    LARGE_INTEGER liSize{};
    if (!GetFileSizeEx(hFile, &liSize) || liSize.QuadPart > kMaxTemplateBytes) {
        TraceMsg(L"\tTemplate size unusable %d\r\n", GetLastError());
        return ReadOutcome::ReadFailed;
    }
    size_t cbSize = static_cast<size_t>(liSize.QuadPart);
    bytes.mem.reset(HeapAlloc(GetProcessHeap(), 0, cbSize > 0 ? cbSize : 1));
    if (!bytes.mem) {
        TraceMsg(L"\tNo memory for a template of %d bytes\r\n", static_cast<int>(cbSize));
        return ReadOutcome::NoMemory;
    }
    char* pData = static_cast<char*>(bytes.mem.get());
    size_t cbRead = 0;
    while (cbRead < cbSize) {
        DWORD cbChunk = 0;
        if (!ReadFile(hFile, pData + cbRead, static_cast<DWORD>(cbSize - cbRead), &cbChunk, nullptr)) {
            TraceMsg(L"\tReadFile on the template failed %d\r\n", GetLastError());
            return ReadOutcome::ReadFailed;
        }
        if (cbChunk == 0)
            break; // the file became shorter meanwhile
        cbRead += cbChunk;
    }
    bytes.cb = cbRead;
    return ReadOutcome::Read;
}

// Windows refuses to open a read-only file for writing, but not every host does
// (Wine run by root does): ask for the attribute itself.
bool IsReadOnly(const wchar_t* pwszPath)
{
    DWORD dwAttributes = GetFileAttributesW(pwszPath);
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_READONLY) != 0;
}

ReadOutcome ReadTemplate(const wchar_t* pwszPath, DWORD dwAccess, TemplateBytes& bytes)
{
    if ((dwAccess & GENERIC_WRITE) != 0 && IsReadOnly(pwszPath)) {
        TraceMsg(L"\tCannot open the template %s : %d\r\n", pwszPath, ERROR_ACCESS_DENIED);
        return ReadOutcome::CannotOpen;
    }
    bgt::UniqueFileHandle hFile = OpenTemplate(pwszPath, dwAccess);
    if (!hFile) {
        TraceMsg(L"\tCannot open the template %s : %d\r\n", pwszPath, GetLastError());
        return ReadOutcome::CannotOpen;
    }
    return ReadAllBytes(hFile.get(), bytes);
}

// The PC's address as narrow text; empty when it is not known (yet).
void GetAddressField(char (&szAddress)[kAddressFieldBytes])
{
    szAddress[0] = '\0';
    std::wstring wstrAddress = GetIPAddressText();
    if (wstrAddress.empty())
        return;
    int cb = WideCharToMultiByte(CP_ACP, 0, wstrAddress.c_str(), -1, szAddress, sizeof(szAddress), nullptr, nullptr);
    if (cb == 0)
        szAddress[0] = '\0';
}

bool WriteAllBytes(HANDLE hFile, const char* pData, size_t cbData)
{
    size_t cbDone = 0;
    while (cbDone < cbData) {
        DWORD cbChunk = static_cast<DWORD>(cbData - cbDone);
        DWORD cbWritten = 0;
        if (!WriteFile(hFile, pData + cbDone, cbChunk, &cbWritten, nullptr) || cbWritten == 0)
            return false;
        cbDone += cbWritten;
    }
    return FlushFileBuffers(hFile) != FALSE;
}

// ReplaceFileW refused and the template still stands: an atomic rename over
// it puts the new text in place, or fails and leaves the old one.
bool RenameOverTemplate(const wchar_t* pwszTemplate, const wchar_t* pwszNewFile)
{
    if (MoveFileExW(pwszNewFile, pwszTemplate, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    TraceMsg(L"\tMoveFileExW failed %d\r\n", GetLastError());
    return false;
}

// ReplaceFileW moved the template to the backup name and could not put the new
// text in its place (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2): the name is free, so
// the new text goes there, or else the old text goes back, by a rename or,
// when the backup cannot be renamed (another program holds it without
// sharing its deletion), by a second name for the same file. Only when none of
// that works does the old text stay under the backup name, where it is kept.
bool RefillTemplateName(const wchar_t* pwszTemplate, const wchar_t* pwszNewFile, const wchar_t* pwszBackup)
{
    if (MoveFileExW(pwszNewFile, pwszTemplate, MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(pwszBackup);
        return true;
    }
    TraceMsg(L"\tMoveFileExW failed %d\r\n", GetLastError());
    if (MoveFileExW(pwszBackup, pwszTemplate, MOVEFILE_WRITE_THROUGH))
        return false;
    if (CreateHardLinkW(pwszTemplate, pwszBackup, nullptr)) {
        DeleteFileW(pwszBackup);
        return false;
    }
    TraceMsg(L"\tThe old template could not be put back from %s : %d\r\n", pwszBackup, GetLastError());
    return false;
}

// Puts the new text in place of the template: readers see either the old
// template or the new one, never a part of it. ReplaceFileW keeps the
// template's attributes and access list. It is given a backup name: without
// one, a replace that fails half way (ERROR_UNABLE_TO_MOVE_REPLACEMENT) may
// already have deleted the template.
bool ReplaceTemplate(const wchar_t* pwszTemplate, const wchar_t* pwszNewFile, const wchar_t* pwszBackup)
{
    if (ReplaceFileW(pwszTemplate, pwszNewFile, pwszBackup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        DeleteFileW(pwszBackup);
        return true;
    }
    DWORD dwError = GetLastError();
    TraceMsg(L"\tReplaceFileW failed %d\r\n", dwError);
    // Only a replace that failed half way needs mending; any other failure
    // (the template deleted or held meanwhile) changed nothing, and the new
    // text must not bring back a template that is gone.
    if (dwError != ERROR_UNABLE_TO_REMOVE_REPLACED && dwError != ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
        dwError != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
        return false;
    if (PathFileExistsW(pwszTemplate)) {
        bool bDone = RenameOverTemplate(pwszTemplate, pwszNewFile);
        DeleteFileW(pwszBackup);
        return bDone;
    }
    return RefillTemplateName(pwszTemplate, pwszNewFile, pwszBackup);
}

// Writes the new text into a new file beside the template and swaps it in.
bool WriteTemplateAtomically(const wchar_t* pwszFolder, const wchar_t* pwszTemplate, const char* pData,
                             size_t cbData)
{
    // Not ".ost" names: a left-over from a crash is never taken for a template.
    wchar_t wszNewFile[MAX_PATH] = {};
    if (GetTempFileNameW(pwszFolder, L"ost", 0, wszNewFile) == 0) {
        TraceMsg(L"\tGetTempFileNameW failed %d\r\n", GetLastError());
        return false;
    }
    bgt::ScopeExit removeNewFile([&] { DeleteFileW(wszNewFile); });
    // The new file's name is unique, and so is its backup name beside it.
    wchar_t wszBackup[MAX_PATH] = {};
    if (bgt::StringCchPrintfW(wszBackup, ARRAYSIZE(wszBackup), L"%s.bak", wszNewFile) != S_OK) {
        TraceMsg(L"\tTemplate backup path too long\r\n");
        return false;
    }
    {
        bgt::UniqueFileHandle hNew(CreateFileW(wszNewFile, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!hNew) {
            TraceMsg(L"\tCannot open the new template %d\r\n", GetLastError());
            return false;
        }
        if (!WriteAllBytes(hNew.get(), pData, cbData)) {
            TraceMsg(L"\tWriting the new template failed %d\r\n", GetLastError());
            return false;
        }
    }
    if (!ReplaceTemplate(pwszTemplate, wszNewFile, wszBackup))
        return false;
    removeNewFile.dismiss();
    return true;
}

int RewriteRepository(const wchar_t* pwszFolder, const wchar_t* pwszTemplate, const TemplateBytes& bytes,
                      const char* pszOld, const char* pszAddress)
{
    size_t cbNew = 0;
    if (!MeasureRepositoryRewrite(bytes.data(), bytes.cb, pszOld, pszAddress, &cbNew)) {
        TraceMsg(L"\tThe repository value cannot be rewritten\r\n");
        return 1;
    }
    bgt::UniqueHeapMem newText(HeapAlloc(GetProcessHeap(), 0, cbNew > 0 ? cbNew : 1));
    if (!newText) {
        TraceMsg(L"\tNo memory for a template of %d bytes\r\n", static_cast<int>(cbNew));
        return 1;
    }
    char* pNew = static_cast<char*>(newText.get());
    size_t cbWritten = 0;
    if (!WriteRepositoryRewrite(bytes.data(), bytes.cb, pszOld, pszAddress, pNew, cbNew, &cbWritten))
        return 1;
    return WriteTemplateAtomically(pwszFolder, pwszTemplate, pNew, cbWritten) ? 0 : 1;
}

} // namespace

bool FindTemplateFile(const wchar_t* pwszFolder, bgt::UniqueFindHandle& hSearch, wchar_t* pwszTemplatePath,
                      size_t cchTemplatePath)
{
    // An empty folder (one that did not fit) would search the drive's root.
    if (pwszFolder[0] == L'\0')
        return false;
    wchar_t wszPattern[kPathCapacity];
    if (bgt::StringCchPrintfW(wszPattern, ARRAYSIZE(wszPattern), L"%s\\*.ost", pwszFolder) != S_OK) {
        TraceMsg(L"\tTemplate search path too long\r\n");
        return false;
    }
    WIN32_FIND_DATAW fd{};
    hSearch.reset(FindFirstFileW(wszPattern, &fd));
    if (!hSearch)
        return false;
    TraceMsg(L">  Template found is  %s\r\n", fd.cFileName);
    if (bgt::StringCchPrintfW(pwszTemplatePath, cchTemplatePath, L"%s\\%s", pwszFolder, fd.cFileName) != S_OK) {
        TraceMsg(L"\tTemplate path too long\r\n");
        hSearch.reset();
        return false;
    }
    return true;
}

SendToFolderSettings ReadSendToFolderSettings(const wchar_t* pwszTemplatePath)
{
    TemplateBytes bytes;
    if (ReadTemplate(pwszTemplatePath, GENERIC_READ, bytes) != ReadOutcome::Read)
        return SendToFolderSettings{};
    SendToFolderSettings settings{};
    if (ReadSendToFolderSettingsFromBytes(bytes.data(), bytes.cb, &settings) == SettingsReadEnd::PreviewOn)
        TraceMsg(L">  SendToFolder-> Preview value is ON.  \r\n");
    return settings;
}

int UpdateTemplateRepository(const DeviceInfo* pDeviceInfo)
{
    char szAddress[kAddressFieldBytes];
    GetAddressField(szAddress);
    // Never blank the template's value: without a known address it stays as it is.
    if (szAddress[0] == '\0') {
        TraceMsg(L">  No PC address yet, the template is left as it is  \r\n");
        return 0;
    }

    if (!UserFoldersUsable(pDeviceInfo, FolderUse::Templates))
        return 1;
    bgt::UniqueFindHandle hSearch;
    wchar_t wszTemplate[kPathCapacity];
    if (!FindTemplateFile(pDeviceInfo->szTemplateFolder, hSearch, wszTemplate, ARRAYSIZE(wszTemplate)))
        return 0;
    if (!TemplateIsUsersOwn(wszTemplate))
        return 1;

    // Opened for writing too: a template that cannot be updated answers 1 now.
    TemplateBytes bytes;
    if (ReadTemplate(wszTemplate, GENERIC_READ | GENERIC_WRITE, bytes) != ReadOutcome::Read)
        return 1;

    char szRepository[kTemplateLineBytes];
    if (!FindRepositoryValue(bytes.data(), bytes.cb, szRepository, sizeof(szRepository))) {
        TraceMsg(L">  No RepositoryName value in the template  \r\n");
        return 1;
    }
    // Compared in full: a value longer than any address is a mismatch.
    if (strcmp(szRepository, szAddress) == 0) {
        TraceMsg(L">  IPs match!!  \r\n");
        return 0;
    }
    // Anything else would be replaced wherever its text stands, also inside
    // words and other values (`RepositoryName="" Port="21"` gives " Port=").
    if (!IsDottedIPv4Address(szRepository)) {
        TraceMsg(L"\tThe RepositoryName value is not an address, the template is left as it is\r\n");
        return 1;
    }
    return RewriteRepository(pDeviceInfo->szTemplateFolder, wszTemplate, bytes, szRepository, szAddress);
}
