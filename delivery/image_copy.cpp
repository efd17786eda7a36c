// Copying one image into the PC folder: a staging copy in the user's temporary
// folder, the shell's copy from there into a file of this delivery's own in the
// PC folder, and a rename to the first free destination name once it is whole.
#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

#include "common/bounded_string.h"
#include "common/owners.h"
#include "common/trace.h"
#include "delivery/delivery_parts.h"

namespace delivery {

namespace {

// No error dialogs and no questions, but the shell may show its progress
// window for a long copy (where the user may cancel it). The copy goes into a
// file this delivery created, so the shell is told to write over it: asked to
// rename on a collision, it would keep that file and put the image under a
// name of its own, one nobody knows.
constexpr FILEOP_FLAGS kShellCopyFlags = FOF_NOERRORUI | FOF_NOCONFIRMATION;
static_assert(kShellCopyFlags == 0x0410);

constexpr DWORD kMaxCollisionCounter = 9999;

// "<destination name>.<thread>-<n>.partial": says what it is, and is no name
// a user would take for a delivered scan if an ended task leaves it behind.
constexpr const wchar_t* kPartialFormat = L"%s%s%s.%lu-%u.partial";
constexpr const wchar_t* kStagingFormat = L"%s%s.%lu-%u.tmp";

// The n-th candidate for the destination: the name itself, then
// "<name> (n)<ext>" from 2 on, as the shell would name a copy.
bool FormDestination(const Delivery& delivery, const wchar_t* pwszDestName, DWORD n, wchar_t* pwszDestination)
{
    if (n == 1)
        return PathFits(bgt::StringCchPrintfW(pwszDestination, kPathCapacity, L"%s%s%s", delivery.wszPCFolder, L"\\",
                                              pwszDestName));
    wchar_t wszStem[kPathChars];
    const wchar_t* pwszDot = wcsrchr(pwszDestName, L'.');
    const wchar_t* pwszExt = pwszDot != nullptr ? pwszDot : L"";
    size_t cchStem = pwszDot != nullptr ? static_cast<size_t>(pwszDot - pwszDestName) : wcslen(pwszDestName);
    bgt::StringCchCopyNW(wszStem, kPathCapacity, pwszDestName, cchStem);
    return PathFits(bgt::StringCchPrintfW(pwszDestination, kPathCapacity, L"%s%s%s (%u)%s", delivery.wszPCFolder,
                                          L"\\", wszStem, n, pwszExt));
}

enum class Claim { Claimed, Taken, MissingFolder, Failed };

// Creates the file only when no file or folder has the name: two deliveries
// at the same moment can never both get one name, and an existing file is
// never written over.
Claim ClaimName(const wchar_t* pwszPath)
{
    bgt::UniqueFileHandle hClaim(
        CreateFileW(pwszPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (hClaim)
        return Claim::Claimed;
    DWORD dwError = GetLastError();
    if (dwError == ERROR_FILE_EXISTS || dwError == ERROR_ALREADY_EXISTS || PathFileExistsW(pwszPath))
        return Claim::Taken;
    if (dwError == ERROR_PATH_NOT_FOUND)
        return Claim::MissingFolder;
    TraceMsg(L"> Cannot create %s : %d\r\n", pwszPath, dwError);
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

// A file of this delivery's own in the PC folder, created exclusively. A
// missing PC folder is made (the shell's copy would make it too).
bool ReservePartial(const Delivery& delivery, ImagePaths& paths)
{
    bool bFolderMade = false;
    for (DWORD n = 1; n <= kMaxCollisionCounter; ++n) {
        if (!PathFits(bgt::StringCchPrintfW(paths.wszPartial, kPathCapacity, kPartialFormat, delivery.wszPCFolder,
                                            L"\\", paths.wszDestName, GetCurrentThreadId(), n)))
            return false;
        switch (ClaimName(paths.wszPartial)) {
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
// a counter, created exclusively. Two deliveries of images with one name never
// share it, and a file left there by another is never sent.
bool ReserveStaging(const wchar_t* pwszImageName, ImagePaths& paths)
{
    for (DWORD n = 1; n <= kMaxCollisionCounter; ++n) {
        if (!PathFits(bgt::StringCchPrintfW(paths.wszStaging, kPathCapacity, kStagingFormat, paths.wszTempFolder,
                                            pwszImageName, GetCurrentThreadId(), n)))
            return false;
        Claim claim = ClaimName(paths.wszStaging);
        if (claim == Claim::Claimed)
            return true;
        if (claim != Claim::Taken)
            return false;
    }
    return false;
}

// The whole copy takes the first free destination name: a rename that never
// replaces, so an existing file is never written over and two deliveries
// never take one name.
bool PublishUnderFreeName(const Delivery& delivery, ImagePaths& paths)
{
    for (DWORD n = 1; n <= kMaxCollisionCounter; ++n) {
        if (!FormDestination(delivery, paths.wszDestName, n, paths.wszDestination))
            return false;
        if (MoveFileExW(paths.wszPartial, paths.wszDestination, 0))
            return true;
        DWORD dwError = GetLastError();
        if (dwError != ERROR_ALREADY_EXISTS && dwError != ERROR_FILE_EXISTS) {
            TraceMsg(L"> Cannot name the copy %s : %d\r\n", paths.wszDestination, dwError);
            return false;
        }
    }
    TraceMsg(L"> No free name for the image in the destination folder\r\n");
    return false;
}

// Removes a file of this attempt's own, read-only or not (a copy keeps the
// image's attributes).
void DeleteOwnFile(const wchar_t* pwszPath)
{
    if (DeleteFileW(pwszPath))
        return;
    SetFileAttributesW(pwszPath, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(pwszPath);
}

// The files this attempt created (the copy in the PC folder, the staging copy)
// and whether each is still to be removed when the attempt ends.
class OwnFiles {
public:
    explicit OwnFiles(const ImagePaths& paths) : m_paths(paths) {}
    ~OwnFiles()
    {
        if (m_bStaging)
            DeleteOwnFile(m_paths.wszStaging);
        if (m_bPartial)
            DeleteOwnFile(m_paths.wszPartial);
    }
    OwnFiles(const OwnFiles&) = delete;
    OwnFiles& operator=(const OwnFiles&) = delete;
    void Partial(bool bRemove) { m_bPartial = bRemove; }
    void Staging(bool bRemove) { m_bStaging = bRemove; }

private:
    const ImagePaths& m_paths;
    bool m_bPartial = false;
    bool m_bStaging = false;
};

enum class ShellResult { Copied, Failed, Aborted };

// A copy the user cancels in the progress window, or one the shell gives up
// silently, answers 0 with fAnyOperationsAborted set: it is no copy.
ShellResult ShellCopy(const wchar_t* pwszFrom, const wchar_t* pwszTo)
{
    // Lists of names, each ended by a NUL, the list by one more.
    wchar_t wszFrom[kPathChars + 1] = {};
    wchar_t wszTo[kPathChars + 1] = {};
    bgt::StringCchCopyW(wszFrom, kPathChars, pwszFrom);
    bgt::StringCchCopyW(wszTo, kPathChars, pwszTo);
    SHFILEOPSTRUCTW op = {};
    op.hwnd = nullptr;
    op.wFunc = FO_COPY;
    op.pFrom = wszFrom;
    op.pTo = wszTo;
    op.fFlags = kShellCopyFlags;
    int nResult = SHFileOperationW(&op);
    if (op.fAnyOperationsAborted) {
        TraceMsg(L"> The copy to the destination was aborted\r\n");
        return ShellResult::Aborted;
    }
    return nResult == 0 ? ShellResult::Copied : ShellResult::Failed;
}

// A copy into a file this attempt created: a failed copy leaves at most a
// part of the image in it, and the attempt removes it.
bool CopyOver(const wchar_t* pwszFrom, const wchar_t* pwszTo) { return CopyFileW(pwszFrom, pwszTo, FALSE) != FALSE; }

// Into the file of our own in the PC folder; true when it holds the whole image.
bool CopyIntoPartial(ImagePaths& paths, const wchar_t* pwszImageName, OwnFiles& own, bool& bDirect)
{
    bool bStaged = ReserveStaging(pwszImageName, paths);
    own.Staging(bStaged);
    bDirect = !bStaged || !CopyOver(paths.wszSource, paths.wszStaging);
    if (bDirect) {
        TraceMsg(L"> Failed to copy the file to temp folder\r\n");
        // No staging copy of this image exists, so nothing else is tried
        // for it: a file left in the temporary folder is never sent.
        return CopyOver(paths.wszSource, paths.wszPartial);
    }
    switch (ShellCopy(paths.wszStaging, paths.wszPartial)) {
    case ShellResult::Copied:
        return true;
    case ShellResult::Aborted:
        SetLastError(ERROR_CANCELLED);
        return false;
    case ShellResult::Failed:
        break;
    }
    return CopyOver(paths.wszStaging, paths.wszPartial);
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

} // namespace

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
    OwnFiles own(paths);
    bool bDirect = false;
    if (ReservePartial(delivery, paths)) {
        own.Partial(true);
        if (CopyIntoPartial(paths, pwszImageName, own, bDirect) && PublishUnderFreeName(delivery, paths)) {
            own.Partial(false);
            return bDirect ? Attempt::DeliveredDirect : Attempt::Delivered;
        }
    }
    NoteFailedCopy(delivery, paths);
    delivery.dwResult = 0;
    TraceMsg(L"> Failed to copy the file to destination\r\n");
    return Attempt::Failed;
}

} // namespace delivery
