#include "delivery/send_to_folder.h"

#include <shellapi.h>
#include <shlwapi.h>

#include "common/bounded_string.h"
#include "common/owners.h"
#include "common/status.h"
#include "common/trace.h"
#include "delivery/template_file.h"
#include "discovery/state.h"

namespace {

// First match of each, in this order: at most one image leaves a job.
const wchar_t* const s_rgpwszImagePatterns[] = {L"\\*.JPG", L"\\*.BMP", L"\\*.TIF",
                                                L"\\*.GIF", L"\\*.PDF", L"\\*.XPS"};

// No error dialogs and no questions, but the shell may show its progress
// window for a long copy; an existing file in the PC folder is kept and the new
// copy gets a name of the shell's choosing.
constexpr FILEOP_FLAGS kShellCopyFlags = FOF_NOERRORUI | FOF_NOCONFIRMATION | FOF_RENAMEONCOLLISION;
static_assert(kShellCopyFlags == 0x0418);

constexpr DWORD kMaxCollisionCounter = 9999;

enum class Attempt { NoImage, Delivered, DeliveredDirect, Failed, Skipped };

struct Delivery {
    wchar_t wszJobFolder[kPathChars];
    wchar_t wszPCFolder[kPathChars];
    wchar_t wszBaseName[kPathChars];
    DWORD dwResult;
};

struct ImagePaths {
    wchar_t wszSource[kPathChars];
    wchar_t wszDestName[kPathChars];
    wchar_t wszDestination[kPathChars];
    wchar_t wszTempFolder[kPathChars];
    wchar_t wszStaging[kPathChars];
};

// A path cut short to fit would deliver to (or from) the wrong place.
bool PathFits(HRESULT hr)
{
    if (FAILED(hr))
        TraceMsg(L"> The delivery path does not fit, nothing is delivered\r\n");
    return SUCCEEDED(hr);
}

bool Widen(const char* pszAnsi, wchar_t* pwszWide)
{
    return PathFits(MultiByteToWideChar(CP_ACP, 0, pszAnsi, -1, pwszWide, static_cast<int>(kPathCapacity)) > 0
                        ? S_OK
                        : STRSAFE_E_INSUFFICIENT_BUFFER);
}

// From the image name's first '_' or '.' (but no later than its last
// character) to its end: "JOB_p1.jpg" gives "_p1.jpg", "JOB.pdf" gives ".pdf".
const wchar_t* ImageNameTail(const wchar_t* pwszImageName)
{
    size_t cch = wcslen(pwszImageName);
    size_t i = 0;
    while (i + 1 < cch && pwszImageName[i] != L'_' && pwszImageName[i] != L'.')
        ++i;
    return pwszImageName + i;
}

bool NameDestination(const Delivery& delivery, const wchar_t* pwszImageName, ImagePaths& paths)
{
    if (delivery.wszBaseName[0] == L'\0') {
        TraceMsg(L"> This Template does not have a Base_File_Name\r\n");
        return PathFits(bgt::StringCchCopyW(paths.wszDestName, kPathCapacity, pwszImageName));
    }
    return PathFits(bgt::StringCchPrintfW(paths.wszDestName, kPathCapacity, L"%s%s", delivery.wszBaseName,
                                          ImageNameTail(pwszImageName)));
}

// The user's temporary folder, or nothing (the staging copy then lands in the
// current folder under the image's bare name).
void GetStagingFolder(wchar_t* pwszTempFolder)
{
    DWORD cch = GetTempPathW(static_cast<DWORD>(kPathCapacity), pwszTempFolder);
    if (cch == 0 || cch >= kPathCapacity) {
        TraceMsg(L"> Failed to get temp path\r\n");
        pwszTempFolder[0] = L'\0';
    }
}

// The shell is asked to keep a file that is already there and to give the new
// copy a name of its own, but not every shell does (Wine's overwrites), and the
// plain-copy fallback would overwrite it too. So a taken name is never handed
// over: the copy goes to "<name> (n)<ext>", as the shell itself would name it.
bool AvoidTakenDestination(const Delivery& delivery, ImagePaths& paths)
{
    if (!PathFileExistsW(paths.wszDestination))
        return true;
    wchar_t wszStem[kPathChars];
    const wchar_t* pwszDot = wcsrchr(paths.wszDestName, L'.');
    const wchar_t* pwszExt = pwszDot != nullptr ? pwszDot : L"";
    size_t cchStem = pwszDot != nullptr ? static_cast<size_t>(pwszDot - paths.wszDestName) : wcslen(paths.wszDestName);
    bgt::StringCchCopyNW(wszStem, kPathCapacity, paths.wszDestName, cchStem);
    for (DWORD n = 2; n <= kMaxCollisionCounter; ++n) {
        if (!PathFits(bgt::StringCchPrintfW(paths.wszDestination, kPathCapacity, L"%s%s%s (%u)%s",
                                            delivery.wszPCFolder, L"\\", wszStem, n, pwszExt)))
            return false;
        if (!PathFileExistsW(paths.wszDestination))
            return true;
    }
    TraceMsg(L"> No free name for the image in the destination folder\r\n");
    return false;
}

bool PlanImagePaths(const Delivery& delivery, const wchar_t* pwszImageName, ImagePaths& paths)
{
    if (!PathFits(bgt::StringCchPrintfW(paths.wszSource, kPathCapacity, L"%s%s%s", delivery.wszJobFolder, L"\\",
                                        pwszImageName)) ||
        !NameDestination(delivery, pwszImageName, paths) ||
        !PathFits(bgt::StringCchPrintfW(paths.wszDestination, kPathCapacity, L"%s%s%s", delivery.wszPCFolder, L"\\",
                                        paths.wszDestName)) ||
        !AvoidTakenDestination(delivery, paths))
        return false;
    GetStagingFolder(paths.wszTempFolder);
    return PathFits(
        bgt::StringCchPrintfW(paths.wszStaging, kPathCapacity, L"%s%s", paths.wszTempFolder, pwszImageName));
}

// A copy that fails part way leaves a partial or empty target; one that we
// created ourselves is removed again.
bool CopyWhole(const wchar_t* pwszFrom, const wchar_t* pwszTo)
{
    bool bExisted = PathFileExistsW(pwszTo) != FALSE;
    if (CopyFileW(pwszFrom, pwszTo, FALSE))
        return true;
    if (!bExisted)
        DeleteFileW(pwszTo);
    return false;
}

int ShellCopy(const wchar_t* pwszFrom, const wchar_t* pwszTo)
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
    return SHFileOperationW(&op);
}

Attempt CopyImage(Delivery& delivery, const ImagePaths& paths)
{
    if (!CopyWhole(paths.wszSource, paths.wszStaging)) {
        TraceMsg(L"> Failed to copy the file to temp folder\r\n");
        if (CopyWhole(paths.wszSource, paths.wszDestination))
            return Attempt::DeliveredDirect;
        // No staging copy of this image exists, so nothing else is tried for
        // it: a file of that name left in the temporary folder by another
        // delivery must not be sent in its place.
    } else if (ShellCopy(paths.wszStaging, paths.wszDestination) == 0 ||
               CopyWhole(paths.wszStaging, paths.wszDestination)) {
        DeleteFileW(paths.wszStaging);
        return Attempt::Delivered;
    }
    delivery.dwResult = 0;
    TraceMsg(L"> Failed to copy the file to destination\r\n");
    return Attempt::Failed;
}

Attempt TryImagePattern(Delivery& delivery, const wchar_t* pwszPattern)
{
    wchar_t wszSearch[kPathChars];
    if (!PathFits(bgt::StringCchPrintfW(wszSearch, kPathCapacity, L"%s%s", delivery.wszJobFolder, pwszPattern)))
        return Attempt::Skipped;
    WIN32_FIND_DATAW fd;
    bgt::UniqueFindHandle hImageSearch(FindFirstFileW(wszSearch, &fd));
    if (!hImageSearch) {
        TraceMsg(L"> Continue to search for other file formats\r\n");
        return Attempt::NoImage;
    }
    ImagePaths paths;
    if (!PlanImagePaths(delivery, fd.cFileName, paths))
        return Attempt::Skipped;
    return CopyImage(delivery, paths);
}

DWORD Deliver(const wchar_t* pwszJobFolder)
{
    TraceMsg(L">  SendToFolder Enter  \r\n");
    Delivery delivery = {};
    delivery.dwResult = 1;
    if (!PathFits(bgt::StringCchCopyW(delivery.wszJobFolder, kPathCapacity, pwszJobFolder)))
        return delivery.dwResult;

    bgt::UniqueFindHandle hTemplateSearch;
    wchar_t wszTemplatePath[kPathChars];
    if (!FindTemplateFile(delivery.wszJobFolder, hTemplateSearch, wszTemplatePath, kPathCapacity)) {
        TraceMsg(L">  SendToFolder Exit  \r\n");
        return delivery.dwResult;
    }
    SendToFolderSettings settings = ReadSendToFolderSettings(wszTemplatePath);
    if (!settings.bSendToFolder) {
        TraceMsg(L"> This image does not have the \"Send image directly to folder\" feature enabled \r\n");
        hTemplateSearch.reset();
        TraceMsg(L">  SendToFolder Exit  \r\n");
        return delivery.dwResult;
    }
    TraceMsg(L"> Sending image to Destination folder.\r\n");
    if (!Widen(settings.szPCFolderPath, delivery.wszPCFolder) || !Widen(settings.szPCBaseFileName, delivery.wszBaseName))
        return delivery.dwResult;

    for (const wchar_t* pwszPattern : s_rgpwszImagePatterns) {
        switch (TryImagePattern(delivery, pwszPattern)) {
        case Attempt::Delivered:
        case Attempt::Skipped:
            return delivery.dwResult;
        case Attempt::DeliveredDirect:
            return 1;
        case Attempt::NoImage:
        case Attempt::Failed:
            break;
        }
    }
    hTemplateSearch.reset();
    TraceMsg(L">  SendToFolder Exit  \r\n");
    return delivery.dwResult;
}

} // namespace

DWORD WINAPI SendToFolder(LPVOID pvJobFolderPath)
{
    bgt::UniqueHeapMem jobFolderPath(pvJobFolderPath);
    try {
        return Deliver(static_cast<const wchar_t*>(jobFolderPath.get()));
    } catch (...) {
        // The owners have closed the searches and the template file on the way out.
        TraceMsg(L">  Exception Caught in SendToFolder() \r\n");
        return 0;
    }
}
