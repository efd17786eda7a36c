#include "delivery/send_to_folder.h"

#include <shellapi.h>
#include <shlobj.h>
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
// window for a long copy. The destination name is reserved (created empty)
// before the copy, so the shell is told to write over that reservation: asked
// to rename on a collision, it would keep the empty file and put the image
// under a name of its own, one nobody knows.
constexpr FILEOP_FLAGS kShellCopyFlags = FOF_NOERRORUI | FOF_NOCONFIRMATION;
static_assert(kShellCopyFlags == 0x0410);

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

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Characters no file or folder name may hold (the separators apart).
bool IsForbiddenInName(wchar_t c) { return c < 0x20 || c == 0x7F || wcschr(L":*?\"<>|", c) != nullptr; }

// A part of a path between separators: a server, a share or a folder.
const wchar_t* SkipPart(const wchar_t* pwsz)
{
    while (*pwsz != L'\0' && !IsSeparator(*pwsz))
        ++pwsz;
    return pwsz;
}

bool IsDotPart(const wchar_t* pwszStart, const wchar_t* pwszEnd)
{
    size_t cch = static_cast<size_t>(pwszEnd - pwszStart);
    return (cch == 1 && pwszStart[0] == L'.') || (cch == 2 && pwszStart[0] == L'.' && pwszStart[1] == L'.');
}

// "\\server\share..." with a real server and share: neither the "\\?\" nor
// the "\\.\" device forms, which reach past the file system's own rules.
bool IsUncShare(const wchar_t* pwszFolder)
{
    if (!IsSeparator(pwszFolder[0]) || !IsSeparator(pwszFolder[1]))
        return false;
    const wchar_t* pwszServer = pwszFolder + 2;
    const wchar_t* pwszServerEnd = SkipPart(pwszServer);
    if (pwszServerEnd == pwszServer || IsDotPart(pwszServer, pwszServerEnd) || *pwszServerEnd == L'\0' ||
        (pwszServerEnd - pwszServer == 1 && pwszServer[0] == L'?'))
        return false;
    const wchar_t* pwszShare = pwszServerEnd + 1;
    const wchar_t* pwszShareEnd = SkipPart(pwszShare);
    return pwszShareEnd != pwszShare && !IsDotPart(pwszShare, pwszShareEnd);
}

bool IsDriveRoot(const wchar_t* pwszFolder)
{
    wchar_t c = pwszFolder[0];
    bool bLetter = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
    return bLetter && pwszFolder[1] == L':' && IsSeparator(pwszFolder[2]);
}

// The template names where an image goes, and it comes with every scan: only
// a fully qualified folder is taken. A relative one would land wherever the
// task's current folder is, an empty one at the root of the current drive.
bool IsFullyQualifiedFolder(const wchar_t* pwszFolder)
{
    const wchar_t* pwszRest = nullptr;
    if (IsDriveRoot(pwszFolder))
        pwszRest = pwszFolder + 3;
    else if (IsUncShare(pwszFolder))
        pwszRest = pwszFolder + 2;
    else
        return false;
    for (const wchar_t* p = pwszRest; *p != L'\0'; ++p)
        if (IsForbiddenInName(*p))
            return false;
    return true;
}

bool IsReservedDeviceName(const wchar_t* pwszName)
{
    // The device is named by the part before the first dot, trailing spaces aside.
    size_t cch = wcscspn(pwszName, L".");
    while (cch > 0 && pwszName[cch - 1] == L' ')
        --cch;
    static const wchar_t* const s_rgpwszDevices[] = {L"CON", L"PRN", L"AUX", L"NUL"};
    for (const wchar_t* pwszDevice : s_rgpwszDevices)
        if (cch == 3 && _wcsnicmp(pwszName, pwszDevice, 3) == 0)
            return true;
    bool bNumbered = cch == 4 && (_wcsnicmp(pwszName, L"COM", 3) == 0 || _wcsnicmp(pwszName, L"LPT", 3) == 0);
    return bNumbered && pwszName[3] >= L'1' && pwszName[3] <= L'9';
}

// A base name is one part of a file name: no separator, no stream (":"), no
// climbing out of the PC folder ("..\"), nothing the file system would drop
// or turn into a device.
bool IsPlainNamePart(const wchar_t* pwszName)
{
    size_t cch = wcslen(pwszName);
    if (cch == 0 || IsDotPart(pwszName, pwszName + cch) || pwszName[cch - 1] == L'.' || pwszName[cch - 1] == L' ')
        return false;
    for (const wchar_t* p = pwszName; *p != L'\0'; ++p)
        if (IsSeparator(*p) || IsForbiddenInName(*p))
            return false;
    return !IsReservedDeviceName(pwszName);
}

// Checked before anything is copied; a delivery that fails is skipped.
bool IsUsableDestination(const SendToFolderSettings& settings, const Delivery& delivery)
{
    if (settings.bFolderCut || settings.bBaseNameCut) {
        // Only the start of the value was read: it names some other place.
        TraceMsg(L"> The delivery path does not fit, nothing is delivered\r\n");
        return false;
    }
    if (!IsFullyQualifiedFolder(delivery.wszPCFolder)) {
        TraceMsg(L"> The destination folder is not a full path, nothing is delivered\r\n");
        return false;
    }
    if (delivery.wszBaseName[0] != L'\0' && !IsPlainNamePart(delivery.wszBaseName)) {
        TraceMsg(L"> The base file name is not a plain name, nothing is delivered\r\n");
        return false;
    }
    return true;
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
// current folder).
void GetStagingFolder(wchar_t* pwszTempFolder)
{
    DWORD cch = GetTempPathW(static_cast<DWORD>(kPathCapacity), pwszTempFolder);
    if (cch == 0 || cch >= kPathCapacity) {
        TraceMsg(L"> Failed to get temp path\r\n");
        pwszTempFolder[0] = L'\0';
    }
}

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

// The first free destination name, reserved. A missing PC folder is made
// (the shell's copy would make it too).
bool ReserveDestination(const Delivery& delivery, ImagePaths& paths)
{
    bool bFolderMade = false;
    for (DWORD n = 1; n <= kMaxCollisionCounter; ++n) {
        if (!FormDestination(delivery, paths.wszDestName, n, paths.wszDestination))
            return false;
        switch (ClaimName(paths.wszDestination)) {
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
    TraceMsg(L"> No free name for the image in the destination folder\r\n");
    return false;
}

// A staging file of this delivery's own: the image name, this thread's id and
// a counter, created exclusively. Two deliveries of images with one name never
// share it, and a file left there by another is never sent.
bool ReserveStaging(const wchar_t* pwszImageName, ImagePaths& paths)
{
    for (DWORD n = 1; n <= kMaxCollisionCounter; ++n) {
        if (!PathFits(bgt::StringCchPrintfW(paths.wszStaging, kPathCapacity, L"%s%s.%lu-%u.tmp",
                                            paths.wszTempFolder, pwszImageName, GetCurrentThreadId(), n)))
            return false;
        Claim claim = ClaimName(paths.wszStaging);
        if (claim == Claim::Claimed)
            return true;
        if (claim != Claim::Taken)
            return false;
    }
    return false;
}

bool PlanImagePaths(const Delivery& delivery, const wchar_t* pwszImageName, ImagePaths& paths)
{
    if (!PathFits(bgt::StringCchPrintfW(paths.wszSource, kPathCapacity, L"%s%s%s", delivery.wszJobFolder, L"\\",
                                        pwszImageName)) ||
        !NameDestination(delivery, pwszImageName, paths) ||
        !FormDestination(delivery, paths.wszDestName, 1, paths.wszDestination))
        return false;
    GetStagingFolder(paths.wszTempFolder);
    // The longest staging name this delivery can form must fit before anything is made.
    return PathFits(bgt::StringCchPrintfW(paths.wszStaging, kPathCapacity, L"%s%s.%lu-%u.tmp", paths.wszTempFolder,
                                          pwszImageName, 0xFFFFFFFFul, kMaxCollisionCounter));
}

// The files this attempt created (the reserved destination, the staging copy)
// and whether each is still to be removed when the attempt ends.
class OwnFiles {
public:
    explicit OwnFiles(const ImagePaths& paths) : m_paths(paths) {}
    ~OwnFiles()
    {
        if (m_bStaging)
            DeleteFileW(m_paths.wszStaging);
        if (m_bDestination)
            DeleteFileW(m_paths.wszDestination);
    }
    OwnFiles(const OwnFiles&) = delete;
    OwnFiles& operator=(const OwnFiles&) = delete;
    void Destination(bool bRemove) { m_bDestination = bRemove; }
    void Staging(bool bRemove) { m_bStaging = bRemove; }

private:
    const ImagePaths& m_paths;
    bool m_bDestination = false;
    bool m_bStaging = false;
};

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

// A copy into a file this attempt created: a failed copy leaves at most a
// part of the image in it, and the attempt removes it.
bool CopyOver(const wchar_t* pwszFrom, const wchar_t* pwszTo) { return CopyFileW(pwszFrom, pwszTo, FALSE) != FALSE; }

Attempt CopyImage(Delivery& delivery, ImagePaths& paths, const wchar_t* pwszImageName)
{
    OwnFiles own(paths);
    if (ReserveDestination(delivery, paths)) {
        own.Destination(true);
        bool bStaged = ReserveStaging(pwszImageName, paths);
        own.Staging(bStaged);
        if (!bStaged || !CopyOver(paths.wszSource, paths.wszStaging)) {
            TraceMsg(L"> Failed to copy the file to temp folder\r\n");
            // No staging copy of this image exists, so nothing else is tried
            // for it: a file left in the temporary folder is never sent.
            if (CopyOver(paths.wszSource, paths.wszDestination)) {
                own.Destination(false);
                return Attempt::DeliveredDirect;
            }
        } else if (ShellCopy(paths.wszStaging, paths.wszDestination) == 0 ||
                   CopyOver(paths.wszStaging, paths.wszDestination)) {
            own.Destination(false);
            return Attempt::Delivered;
        }
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
    return CopyImage(delivery, paths, fd.cFileName);
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
    // A delivery the template asks for that cannot be made answers 0, as one
    // refused for its destination does.
    if (!Widen(settings.szPCFolderPath, delivery.wszPCFolder) || !Widen(settings.szPCBaseFileName, delivery.wszBaseName))
        return 0;
    if (!IsUsableDestination(settings, delivery)) {
        hTemplateSearch.reset();
        TraceMsg(L">  SendToFolder Exit  \r\n");
        return 0;
    }

    for (const wchar_t* pwszPattern : s_rgpwszImagePatterns) {
        switch (TryImagePattern(delivery, pwszPattern)) {
        case Attempt::Delivered:
            return delivery.dwResult;
        case Attempt::Skipped:
            return 0;
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
