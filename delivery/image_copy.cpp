// Copying one image into the PC folder: a staging copy in the user's temporary
// folder, then the image written into a file of this delivery's own in the PC
// folder, and that file renamed to the first free destination name once whole.
// Both files are claimed, written and (for the PC folder's) renamed through one
// handle each, opened with the rights the work needs: a folder that lets users
// only add files (a drop box) gives the creator no right to open the new file
// again, but the handle that created it keeps what it asked for.
#include <windows.h>

#include <shlobj.h>
#include <shlwapi.h>

#include <cstddef>
#include <cwchar>
#include <string>
#include <vector>

#include "common/bounded_string.h"
#include "common/hooks.h"
#include "common/owners.h"
#include "common/trace.h"
#include "delivery/delivery_parts.h"

namespace delivery {

namespace {

constexpr DWORD kMaxCollisionCounter = 9999;
constexpr DWORD kCopyChunkBytes = 1024 * 1024;
// A virus scanner or a sync client opens a file just written for a moment; a
// rename that meets it is tried again for a while, as the filing does.
constexpr DWORD kHeldRetrySteps = 20;
constexpr DWORD kHeldRetryStepMs = 100;

// "<destination name>.<thread>-<n>.partial": says what it is, and is no name
// a user would take for a delivered scan if an ended task leaves it behind.
constexpr const wchar_t* kPartialFormat = L"%s%s%s.%lu-%u.partial";
constexpr const wchar_t* kStagingFormat = L"%s%s.%lu-%u.tmp";
// Past the last "(n)" the copy still gets a name nobody else forms: the
// thread and the tick count make it unique among this task's deliveries.
constexpr const wchar_t* kPastLastFormat = L"%s%s%s (%lu-%llu)%s";

void SplitName(const wchar_t* pwszName, wchar_t (&wszStem)[kPathChars], const wchar_t*& pwszExt)
{
    const wchar_t* pwszDot = wcsrchr(pwszName, L'.');
    pwszExt = pwszDot != nullptr ? pwszDot : L"";
    size_t cchStem = pwszDot != nullptr ? static_cast<size_t>(pwszDot - pwszName) : wcslen(pwszName);
    bgt::StringCchCopyNW(wszStem, kPathCapacity, pwszName, cchStem);
}

// The n-th candidate for the destination: the name itself, then
// "<name> (n)<ext>" from 2 on, as the shell would name a copy.
bool FormDestination(const Delivery& delivery, const wchar_t* pwszDestName, DWORD n, wchar_t* pwszDestination)
{
    if (n == 1)
        return PathFits(bgt::StringCchPrintfW(pwszDestination, kPathCapacity, L"%s%s%s", delivery.wszPCFolder, L"\\",
                                              pwszDestName));
    wchar_t wszStem[kPathChars];
    const wchar_t* pwszExt = nullptr;
    SplitName(pwszDestName, wszStem, pwszExt);
    return PathFits(bgt::StringCchPrintfW(pwszDestination, kPathCapacity, L"%s%s%s (%u)%s", delivery.wszPCFolder,
                                          L"\\", wszStem, n, pwszExt));
}

bool FormPastLast(const Delivery& delivery, const wchar_t* pwszDestName, wchar_t* pwszDestination)
{
    wchar_t wszStem[kPathChars];
    const wchar_t* pwszExt = nullptr;
    SplitName(pwszDestName, wszStem, pwszExt);
    return PathFits(bgt::StringCchPrintfW(pwszDestination, kPathCapacity, kPastLastFormat, delivery.wszPCFolder,
                                          L"\\", wszStem, GetCurrentThreadId(), GetTickCount64(), pwszExt));
}

bool MarkForDeletion(HANDLE hFile, bool bDelete)
{
    FILE_DISPOSITION_INFO info = {};
    info.DeleteFile = bDelete ? TRUE : FALSE;
    return SetFileInformationByHandle(hFile, FileDispositionInfo, &info, sizeof(info)) != FALSE;
}

// A rename through the handle that never replaces. The new name is given as a
// native path (\??\C:\... or \??\UNC\server\share\...), the one form
// every version of Windows (and Wine) takes here; the destination is always
// fully qualified.
bool RenameThroughHandle(HANDLE hFile, const wchar_t* pwszPath)
{
    // The native form resolves nothing: "/", doubled separators and "." or ".."
    // parts, which the folder value may hold, are resolved first.
    wchar_t wszFull[2 * kPathChars];
    DWORD cchFull = GetFullPathNameW(pwszPath, ARRAYSIZE(wszFull), wszFull, nullptr);
    if (cchFull == 0 || cchFull >= ARRAYSIZE(wszFull))
        return false;
    std::wstring wstrPath = wszFull;
    bool bUnc = wstrPath.starts_with(L"\\\\");
    std::wstring wstrNative = bUnc ? L"\\??\\UNC\\" + wstrPath.substr(2) : L"\\??\\" + wstrPath;
    size_t cbName = wstrNative.size() * sizeof(wchar_t);
    std::vector<ULONGLONG> block((offsetof(FILE_RENAME_INFO, FileName) + cbName + sizeof(wchar_t)) / sizeof(ULONGLONG) + 1);
    auto* pInfo = reinterpret_cast<FILE_RENAME_INFO*>(block.data());
    pInfo->ReplaceIfExists = FALSE;
    pInfo->RootDirectory = nullptr;
    pInfo->FileNameLength = static_cast<DWORD>(cbName);
    memcpy(pInfo->FileName, wstrNative.c_str(), cbName + sizeof(wchar_t));
    return SetFileInformationByHandle(hFile, FileRenameInfo, pInfo, static_cast<DWORD>(block.size() * sizeof(ULONGLONG))) !=
           FALSE;
}

// Closes the file and deletes it through the handle that created it: a drop
// box gives no other. (Written by the delivery itself, it is never read-only.)
void DeleteThroughHandle(bgt::UniqueFileHandle& hFile)
{
    if (hFile && !MarkForDeletion(hFile.get(), true))
        TraceMsg(L"> Cannot remove a copy of this delivery : %d\r\n", GetLastError());
    hFile.reset();
}

enum class Claim { Claimed, Taken, MissingFolder, Failed };

// Creates the file only when no file or folder has the name, and keeps it
// open without sharing: two deliveries can never both get one name, an
// existing file is never written over, and no cleaner can remove it while it
// is being written. The handle may delete it: a copy that is not kept goes
// through it, and what an ended task leaves is removed at the next delivery.
Claim ClaimName(const wchar_t* pwszPath, DWORD dwAccess, bgt::UniqueFileHandle& hFile)
{
    hFile.reset(CreateFileW(pwszPath, dwAccess | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (hFile)
        return Claim::Claimed;
    DWORD dwError = GetLastError();
    if (dwError == ERROR_FILE_EXISTS || dwError == ERROR_ALREADY_EXISTS || PathFileExistsW(pwszPath))
        return Claim::Taken;
    if (dwError == ERROR_PATH_NOT_FOUND)
        return Claim::MissingFolder;
    TraceMsg(L"> Cannot create %s : %d\r\n", pwszPath, dwError);
    SetLastError(dwError);
    return Claim::Failed;
}

// Another delivery may be making it at the same moment.
bool MakePcFolder(const wchar_t* pwszFolder)
{
    int nError = SHCreateDirectoryExW(nullptr, pwszFolder, nullptr);
    if (nError == ERROR_SUCCESS || nError == ERROR_ALREADY_EXISTS || nError == ERROR_FILE_EXISTS)
        return true;
    TraceMsg(L"> Cannot make the destination folder %s : %d\r\n", pwszFolder, nError);
    return false;
}

// A file of this delivery's own in the PC folder. A missing PC folder is made
// (the shell's copy would make it too).
bool ReservePartial(const Delivery& delivery, ImagePaths& paths, bgt::UniqueFileHandle& hPartial)
{
    bool bFolderMade = false;
    for (DWORD n = 1; n <= kMaxCollisionCounter; ++n) {
        if (!PathFits(bgt::StringCchPrintfW(paths.wszPartial, kPathCapacity, kPartialFormat, delivery.wszPCFolder,
                                            L"\\", paths.wszDestName, GetCurrentThreadId(), n)))
            return false;
        switch (ClaimName(paths.wszPartial, GENERIC_WRITE, hPartial)) {
        case Claim::Claimed:
            return true;
        case Claim::Taken:
            continue;
        case Claim::MissingFolder:
            if (bFolderMade || !MakePcFolder(delivery.wszPCFolder))
                return false;
            bFolderMade = true;
            --n;
            continue;
        case Claim::Failed:
            return false;
        }
    }
    return false;
}

// A staging file of this delivery's own: the image name, this thread's id and
// a counter, created exclusively. A file left there by another is never sent.
bool ReserveStaging(const wchar_t* pwszImageName, ImagePaths& paths, bgt::UniqueFileHandle& hStaging)
{
    for (DWORD n = 1; n <= kMaxCollisionCounter; ++n) {
        if (!PathFits(bgt::StringCchPrintfW(paths.wszStaging, kPathCapacity, kStagingFormat, paths.wszTempFolder,
                                            pwszImageName, GetCurrentThreadId(), n)))
            return false;
        Claim claim = ClaimName(paths.wszStaging, GENERIC_READ | GENERIC_WRITE, hStaging);
        if (claim == Claim::Claimed)
            return true;
        if (claim != Claim::Taken)
            return false;
    }
    return false;
}

bool IsHeldError(DWORD dwError)
{
    return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_LOCK_VIOLATION || dwError == ERROR_ACCESS_DENIED;
}

// One name tried, a held file tried again in short steps. False with
// ERROR_ALREADY_EXISTS when the name is taken.
bool RenameHeldOrNot(HANDLE hFile, const wchar_t* pwszDestination)
{
    for (DWORD dwStep = 0;; ++dwStep) {
        if (RenameThroughHandle(hFile, pwszDestination))
            return true;
        DWORD dwError = GetLastError();
        if (dwError == ERROR_FILE_EXISTS || PathFileExistsW(pwszDestination)) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return false;
        }
        if (!IsHeldError(dwError) || dwStep == kHeldRetrySteps) {
            TraceMsg(L"> Cannot name the copy %s : %d\r\n", pwszDestination, dwError);
            SetLastError(dwError);
            return false;
        }
        g_hooks.pfnSleep(kHeldRetryStepMs);
    }
}

// The whole copy takes the first free destination name: a rename that never
// replaces, so an existing file is never written over and two deliveries
// never take one name. Past the last "(n)" a name of this delivery's own.
bool PublishUnderFreeName(const Delivery& delivery, ImagePaths& paths, HANDLE hPartial)
{
    for (DWORD n = 1; n <= kMaxCollisionCounter + 1; ++n) {
        bool bFormed = n <= kMaxCollisionCounter ? FormDestination(delivery, paths.wszDestName, n, paths.wszDestination)
                                                 : FormPastLast(delivery, paths.wszDestName, paths.wszDestination);
        if (!bFormed)
            break;
        if (RenameHeldOrNot(hPartial, paths.wszDestination))
            return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return false;
}

// Copies what is left of hFrom into hTo.
bool CopyBytes(HANDLE hFrom, HANDLE hTo)
{
    bgt::UniqueHeapMem buffer(HeapAlloc(GetProcessHeap(), 0, kCopyChunkBytes));
    if (!buffer) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    for (;;) {
        DWORD cbRead = 0;
        if (!ReadFile(hFrom, buffer.get(), kCopyChunkBytes, &cbRead, nullptr))
            return false;
        if (cbRead == 0)
            return true;
        DWORD cbWritten = 0;
        if (!WriteFile(hTo, buffer.get(), cbRead, &cbWritten, nullptr))
            return false;
        if (cbWritten != cbRead) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
    }
}

bgt::UniqueFileHandle OpenImage(const wchar_t* pwszSource)
{
    return bgt::UniqueFileHandle(CreateFileW(pwszSource, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// The staging copy, read back from its start; null when it could not be made.
// The staging copy, opened for reading from its start; null when it could not
// be made. Claimed exclusively first, so that its name is this delivery's own.
bgt::UniqueFileHandle StageImage(ImagePaths& paths, const wchar_t* pwszImageName)
{
    bgt::UniqueFileHandle hStaging;
    if (ReserveStaging(pwszImageName, paths, hStaging)) {
        hStaging.reset();
        if (CopyFileW(paths.wszSource, paths.wszStaging, FALSE))
            hStaging.reset(CreateFileW(paths.wszStaging, GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!hStaging) {
            DWORD dwError = GetLastError();
            SetFileAttributesW(paths.wszStaging, FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(paths.wszStaging);
            SetLastError(dwError);
        }
    }
    if (!hStaging)
        TraceMsg(L"> Failed to copy the file to temp folder\r\n");
    return hStaging;
}

// Into the file of our own in the PC folder; true when it holds the whole
// image. Without a staging copy the image is read straight from the job. The
// staging copy is handed back: it goes when its handle closes, which for a
// large image takes a while, so only once the delivered copy has its name.
bool CopyIntoPartial(ImagePaths& paths, const wchar_t* pwszImageName, HANDLE hPartial, bool& bDirect,
                     bgt::UniqueFileHandle& hStaging)
{
    hStaging = StageImage(paths, pwszImageName);
    bDirect = !hStaging;
    if (!bDirect)
        return CopyBytes(hStaging.get(), hPartial);
    bgt::UniqueFileHandle hImage = OpenImage(paths.wszSource);
    return hImage && CopyBytes(hImage.get(), hPartial);
}

// Read before anything else runs: the error is that of the call that failed.
void NoteFailedCopy(Delivery& delivery, const ImagePaths& paths)
{
    DWORD dwError = GetLastError();
    if (delivery.dwCopyError != 0)
        return;
    delivery.dwCopyError = dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
    bgt::StringCchCopyW(delivery.wszFailedCopy, kPathCapacity, paths.wszDestination);
}

// "<name>.<digits>-<digits>.<tail>": a file of a delivery's own naming.
bool IsOwnLeftoverName(const wchar_t* pwszName, const wchar_t* pwszTail)
{
    size_t cchName = wcslen(pwszName);
    size_t cchTail = wcslen(pwszTail);
    if (cchName <= cchTail || _wcsicmp(pwszName + cchName - cchTail, pwszTail) != 0)
        return false;
    size_t i = cchName - cchTail;
    auto digitsBefore = [&](size_t& iAt) {
        size_t iEnd = iAt;
        while (iAt > 0 && pwszName[iAt - 1] >= L'0' && pwszName[iAt - 1] <= L'9')
            --iAt;
        return iAt < iEnd;
    };
    if (!digitsBefore(i) || i == 0 || pwszName[--i] != L'-' || !digitsBefore(i) || i < 2 || pwszName[--i] != L'.')
        return false;
    // Only images are delivered: the name before the mark ends in one's extension.
    for (const wchar_t* pwszKind : {L".jpg", L".bmp", L".tif", L".gif", L".pdf", L".xps"})
        if (i > 4 && _wcsnicmp(pwszName + i - 4, pwszKind, 4) == 0)
            return true;
    return false;
}

// Files a delivery cut off by the task's end left there. A delivery under way
// holds its file open without sharing, so the removal passes it by.
void RemoveLeftoversIn(const wchar_t* pwszFolder, const wchar_t* pwszPattern, const wchar_t* pwszTail)
{
    wchar_t wszSearch[kPathChars];
    if (FAILED(bgt::StringCchPrintfW(wszSearch, kPathCapacity, L"%s%s", pwszFolder, pwszPattern)))
        return;
    WIN32_FIND_DATAW fd;
    bgt::UniqueFindHandle hFind(FindFirstFileW(wszSearch, &fd));
    if (!hFind)
        return;
    do {
        wchar_t wszPath[kPathChars];
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IsOwnLeftoverName(fd.cFileName, pwszTail) ||
            FAILED(bgt::StringCchPrintfW(wszPath, kPathCapacity, L"%s%s%s", pwszFolder,
                                         pwszPattern[0] == L'\\' ? L"\\" : L"", fd.cFileName)))
            continue;
        if (DeleteFileW(wszPath))
            TraceMsg(L"> Removed %s, left by a delivery that was cut off\r\n", wszPath);
    } while (FindNextFileW(hFind.get(), &fd));
}

} // namespace

void RemoveOwnLeftovers(const Delivery& delivery)
{
    RemoveLeftoversIn(delivery.wszPCFolder, L"\\*.partial", L".partial");
    // Staging copies are deleted when their handle closes; an earlier version
    // of the task closed them and could leave them behind.
    wchar_t wszTemp[kPathChars];
    DWORD cch = GetTempPathW(static_cast<DWORD>(kPathCapacity), wszTemp);
    if (cch != 0 && cch < kPathCapacity)
        RemoveLeftoversIn(wszTemp, L"*.tmp", L".tmp");
}

bool PathFits(HRESULT hr)
{
    if (FAILED(hr))
        TraceMsg(L"> The delivery path does not fit, nothing is delivered\r\n");
    return SUCCEEDED(hr);
}

bool PlanImagePaths(const Delivery& delivery, const wchar_t* pwszImageName, ImagePaths& paths)
{
    wchar_t wszLongest[kPathChars];
    if (!PathFits(bgt::StringCchPrintfW(paths.wszSource, kPathCapacity, L"%s%s%s", delivery.wszJobFolder, L"\\",
                                        pwszImageName)) ||
        !FormDestination(delivery, paths.wszDestName, 1, paths.wszDestination) ||
        !PathFits(bgt::StringCchPrintfW(wszLongest, kPathCapacity, kPartialFormat, delivery.wszPCFolder, L"\\",
                                        paths.wszDestName, 0xFFFFFFFFul, kMaxCollisionCounter)))
        return false;
    DWORD cch = GetTempPathW(static_cast<DWORD>(kPathCapacity), paths.wszTempFolder);
    if (cch == 0 || cch >= kPathCapacity) {
        // The staging copy then lands in the current folder.
        TraceMsg(L"> Failed to get temp path\r\n");
        paths.wszTempFolder[0] = L'\0';
    }
    // The longest staging name this delivery can form must fit before anything is made.
    return PathFits(bgt::StringCchPrintfW(wszLongest, kPathCapacity, kStagingFormat, paths.wszTempFolder,
                                          pwszImageName, 0xFFFFFFFFul, kMaxCollisionCounter));
}

Attempt CopyImage(Delivery& delivery, ImagePaths& paths, const wchar_t* pwszImageName)
{
    bgt::UniqueFileHandle hStaging;
    bgt::UniqueFileHandle hPartial;
    bool bDirect = false;
    if (ReservePartial(delivery, paths, hPartial) &&
        CopyIntoPartial(paths, pwszImageName, hPartial.get(), bDirect, hStaging) &&
        PublishUnderFreeName(delivery, paths, hPartial.get())) {
        if (delivery.hMarker && !MarkForDeletion(delivery.hMarker, true))
            TraceMsg(L"> The delivery marker cannot be removed : %d\r\n", GetLastError());
        DeleteThroughHandle(hStaging);
        return bDirect ? Attempt::DeliveredDirect : Attempt::Delivered;
    }
    // A copy that did not get its name goes, through the handle that may delete it.
    DWORD dwError = GetLastError();
    DeleteThroughHandle(hStaging);
    DeleteThroughHandle(hPartial);
    SetLastError(dwError);
    NoteFailedCopy(delivery, paths);
    delivery.dwResult = 0;
    TraceMsg(L"> Failed to copy the file to destination\r\n");
    return Attempt::Failed;
}

} // namespace delivery
