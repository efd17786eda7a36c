#include "watcher/filing.h"

#include <shlwapi.h>

#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/bounded_string.h"
#include "common/hooks.h"
#include "common/owners.h"
#include "common/trace.h"
#include "delivery/send_to_folder.h"
#include "discovery/protected_folder.h"
#include "discovery/state.h"

namespace {

// The driver may still be finishing its files when the lock entry goes; this
// pause gives it a moment before they are moved away from under it.
constexpr DWORD kSettleMs = 1000;
constexpr DWORD kLockPollLimit = 3000000;
constexpr DWORD kDeliveryWaitMs = 5000;
constexpr DWORD kDeliveryStackBytes = 2048;
constexpr size_t kMaxExtensionChars = 24;
// A counter this high means the Documents folder is not what we think it is;
// better to leave the scan where it is than to keep probing.
constexpr DWORD kMaxNameCounter = 9999;
// A virus scanner or an indexer opens a file just written for a moment; a move
// that meets it is tried again for a while before the job is given up.
constexpr DWORD kHeldRetrySteps = 20;
constexpr DWORD kHeldRetryStepMs = 100;
// Files untouched for this long are not being written any more: a scan found by
// the catch-up that has been quiet this long needs no settling pause.
constexpr ULONGLONG kQuietFor100ns = 3ull * 10000000ull;

using PathBuffer = wchar_t[kPathChars];

// Formats a path into a whole path buffer. A path that does not fit is never
// used: the caller gives up on the job and leaves its files where they are.
bool BuildPath(PathBuffer& wszPath, const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = bgt::StringCchVPrintfW(wszPath, kPathChars, pszFormat, args);
    va_end(args);
    if (FAILED(hr)) {
        TraceMsg(L" The path %s does not fit, the job is not filed\r\n", wszPath);
        return false;
    }
    return true;
}

// The text from the last dot (the whole name when it has none), at most 24
// characters.
void ExtensionOf(const wchar_t* pwszName, wchar_t (&wszExt)[kMaxExtensionChars + 1])
{
    const wchar_t* pwszDot = wcsrchr(pwszName, L'.');
    bgt::StringCchCopyW(wszExt, ARRAYSIZE(wszExt), pwszDot != nullptr ? pwszDot : pwszName);
}

bool IsLockEntryName(const wchar_t* pwszName)
{
    wchar_t wszExt[kMaxExtensionChars + 1];
    ExtensionOf(pwszName, wszExt);
    return lstrcmpiW(wszExt, L".lck") == 0;
}

// Base up to the last dot, extension from the last dot, so that a name with
// several dots keeps everything between its first and last dot; an entry
// without a dot keeps its whole name as base and has no extension.
struct NameParts {
    std::wstring wstrBase;
    std::wstring wstrExt;
};

NameParts SplitEntryName(const wchar_t* pwszName)
{
    const wchar_t* pwszLastDot = wcsrchr(pwszName, L'.');
    if (pwszLastDot == nullptr)
        return {pwszName, L""};
    return {std::wstring(pwszName, pwszLastDot), pwszLastDot};
}

// The driver removes the lock entry once the scan is complete; until then the
// scan's files are not ours to take.
bool WaitForLockEntryGone(const wchar_t* pwszLockEntry)
{
    DWORD i = 0;
    while (PathFileExistsW(pwszLockEntry) && i <= kLockPollLimit)
        ++i;
    TraceMsg(L" count of i %d\r\n", i);
    return !PathFileExistsW(pwszLockEntry);
}

struct JobStamp {
    wchar_t wszText[kPathCapacity];
    bool bMade;
};

void MakeStamp(JobStamp& stamp)
{
    stamp.bMade = SUCCEEDED(GenTimeDateName(stamp.wszText, kPathCapacity));
    TraceMsg(stamp.bMade ? L" GenTimeDateName Success\r\n" : L" GenTimeDateName FAILED\r\n");
}

// Where a job goes: the job folder, its lock folder, and the suffix that every
// file of the job carries ("" for a free plain name, "_<stamp>", "_<stamp>_<n>",
// or "_<n>" when no stamp could be made).
struct JobNames {
    PathBuffer wszJobFolder;
    PathBuffer wszLockFolder;
    wchar_t wszSuffix[kPathChars];
};

bool TrySuffix(const DeviceInfo* pDev, const wchar_t* pwszStem, JobNames& names, bool& bFree)
{
    if (!BuildPath(names.wszJobFolder, L"%s%s%s%s%s", pDev->szDocFolder, L"\\", pwszStem, names.wszSuffix, L".osm"))
        return false;
    bFree = !PathFileExistsW(names.wszJobFolder);
    return true;
}

bool FormatSuffix(JobNames& names, const JobStamp& stamp, DWORD dwCounter)
{
    HRESULT hr = stamp.bMade
                     ? bgt::StringCchPrintfW(names.wszSuffix, kPathChars, L"_%s_%u", stamp.wszText, dwCounter)
                     : bgt::StringCchPrintfW(names.wszSuffix, kPathChars, L"_%u", dwCounter);
    return SUCCEEDED(hr);
}

// The plain name first; when taken, the stamped name; when that is taken too
// (two jobs of one stem within a second) or there is no stamp, a counter.
bool ChooseJobNames(const DeviceInfo* pDev, const wchar_t* pwszStem, const JobStamp& stamp, bool bSingleFile,
                    JobNames& names)
{
    names.wszSuffix[0] = L'\0';
    bool bFree = false;
    if (!TrySuffix(pDev, pwszStem, names, bFree))
        return false;
    if (!bFree) {
        if (stamp.bMade) {
            if (FAILED(bgt::StringCchPrintfW(names.wszSuffix, kPathChars, L"_%s", stamp.wszText)) ||
                !TrySuffix(pDev, pwszStem, names, bFree))
                return false;
        } else if (bSingleFile) {
            TraceMsg(L" Generating Time Stamp Faild \r\n");
        }
    }
    for (DWORD dwCounter = 2; !bFree; ++dwCounter) {
        if (dwCounter > kMaxNameCounter) {
            TraceMsg(L" No free job folder name for %s, the job is not filed\r\n", pwszStem);
            return false;
        }
        if (!FormatSuffix(names, stamp, dwCounter) || !TrySuffix(pDev, pwszStem, names, bFree))
            return false;
    }
    return BuildPath(names.wszLockFolder, L"%s%s%s%s%s", pDev->szDocFolder, L"\\", pwszStem, names.wszSuffix, L".lck");
}

bool CreateLockFolder(const wchar_t* pwszLockFolder)
{
    if (FAILED(CreateProtectedFolder(pwszLockFolder))) {
        TraceMsg(L" Lock Folder For New Job Creation FAILED at %s\r\n", pwszLockFolder);
        return false;
    }
    TraceMsg(L" Lock Folder For New Job Sucessfully Created at %s\r\n", pwszLockFolder);
    return true;
}

bool CreateJobFolder(const wchar_t* pwszJobFolder)
{
    if (FAILED(CreateProtectedFolder(pwszJobFolder))) {
        TraceMsg(L" New Job Folder Creation FAILED at %s\r\n", pwszJobFolder);
        return false;
    }
    TraceMsg(L" New Job Folder Sucessfully Created at %s\r\n", pwszJobFolder);
    return true;
}

void RemoveLockFolder(const wchar_t* pwszLockFolder)
{
    if (PathFileExistsW(pwszLockFolder))
        RemoveDirectoryW(pwszLockFolder);
}

// A copy across volumes that fails (a full disk) leaves the source intact and a
// partial or empty target behind; a job folder must never hold such a file.
void RemovePartialTarget(const wchar_t* pwszFrom, const wchar_t* pwszTo)
{
    if (!PathFileExistsW(pwszFrom))
        return;
    DWORD dwAttributes = GetFileAttributesW(pwszTo);
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        DeleteFileW(pwszTo);
}

bool IsHeldError(DWORD dwError)
{
    return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_LOCK_VIOLATION || dwError == ERROR_ACCESS_DENIED;
}

// The target is never one that exists already, so that nothing in the job
// folder is replaced and a failure can clean up its own leftovers without
// touching anything else. A file held open by another program is tried again
// in short steps; pbHeld tells the caller that this was why the move failed.
bool MoveScanEntry(const wchar_t* pwszFrom, const wchar_t* pwszTo, bool bCopyAllowed, bool* pbHeld = nullptr)
{
    if (pbHeld != nullptr)
        *pbHeld = false;
    if (PathFileExistsW(pwszTo)) {
        TraceMsg(L" Trying to move the file %s has FAILED\r\n", pwszTo);
        return false;
    }
    for (DWORD dwStep = 0;; ++dwStep) {
        BOOL bMoved = bCopyAllowed ? MoveFileExW(pwszFrom, pwszTo, MOVEFILE_COPY_ALLOWED) : MoveFileW(pwszFrom, pwszTo);
        if (bMoved) {
            TraceMsg(L" The File %s was successfully moved\r\n", pwszTo);
            return true;
        }
        DWORD dwError = GetLastError();
        RemovePartialTarget(pwszFrom, pwszTo);
        bool bHeld = IsHeldError(dwError) && PathFileExistsW(pwszFrom);
        if (!bHeld || dwStep == kHeldRetrySteps) {
            TraceMsg(L" Trying to move the file %s has FAILED\r\n", pwszTo);
            if (pbHeld != nullptr)
                *pbHeld = bHeld;
            return false;
        }
        g_hooks.pfnSleep(kHeldRetryStepMs);
    }
}

// ---- single-file jobs -------------------------------------------------------

struct SingleFileJob {
    PathBuffer wszImageFrom;
    PathBuffer wszImageTo;
    PathBuffer wszTemplateFrom;
    PathBuffer wszTemplateTo;
    bool bHasImage;
};

// .tif over .pdf over .xps; none of them means there is no image to file.
bool ChooseImage(const DeviceInfo* pDev, const wchar_t* pwszStem, SingleFileJob& job, const wchar_t*& pwszExt)
{
    static const wchar_t* const s_rgpwszPreferred[] = {L".tif", L".pdf", L".xps"};
    job.bHasImage = false;
    pwszExt = L"";
    for (const wchar_t* pwszCandidate : s_rgpwszPreferred) {
        if (!BuildPath(job.wszImageFrom, L"%s%s%s%s", pDev->szTempFolder, L"\\", pwszStem, pwszCandidate))
            return false;
        if (PathFileExistsW(job.wszImageFrom)) {
            job.bHasImage = true;
            pwszExt = pwszCandidate;
            return true;
        }
    }
    return true;
}

bool PlanSingleFileJob(const DeviceInfo* pDev, const wchar_t* pwszStem, const JobNames& names, SingleFileJob& job)
{
    const wchar_t* pwszExt = nullptr;
    return ChooseImage(pDev, pwszStem, job, pwszExt) &&
           BuildPath(job.wszImageTo, L"%s%s%s%s%s", names.wszJobFolder, L"\\", pwszStem, names.wszSuffix, pwszExt) &&
           BuildPath(job.wszTemplateFrom, L"%s%s%s%s", pDev->szTempFolder, L"\\", pwszStem, L".ost") &&
           BuildPath(job.wszTemplateTo, L"%s%s%s%s%s", names.wszJobFolder, L"\\", pwszStem, names.wszSuffix, L".ost");
}

// A new scan of the stem stands its lock entry up before it writes its image.
bool NewScanBegun(const DeviceInfo* pDev, const wchar_t* pwszStem)
{
    PathBuffer wszLockEntry;
    return BuildPath(wszLockEntry, L"%s%s%s%s", pDev->szTempFolder, L"\\", pwszStem, L".lck") &&
           PathFileExistsW(wszLockEntry);
}

// All or nothing: when the image or the template cannot be moved, whatever
// moved goes back and the folders this filing made go, so that the scan stays
// whole in the temporary folder for a later try.
FilingOutcome FileSingleFileJob(const DeviceInfo* pDev, const wchar_t* pwszStem, const JobStamp& stamp,
                                JobNames& names)
{
    SingleFileJob job;
    if (!ChooseJobNames(pDev, pwszStem, stamp, true, names) || !PlanSingleFileJob(pDev, pwszStem, names, job))
        return FilingOutcome::NotFiled;
    bool bTemplate = PathFileExistsW(job.wszTemplateFrom) != FALSE;
    if (!job.bHasImage) {
        // Without a job folder of its own the template copy stays where it is.
        if (bTemplate)
            TraceMsg(L" Trying to move the file %s has FAILED\r\n", job.wszTemplateTo);
        return FilingOutcome::NotFiled;
    }
    CreateLockFolder(names.wszLockFolder);
    if (!CreateJobFolder(names.wszJobFolder)) {
        if (bTemplate)
            TraceMsg(L" Trying to move the file %s has FAILED\r\n", job.wszTemplateTo);
        RemoveLockFolder(names.wszLockFolder);
        return FilingOutcome::NotFiled;
    }
    bool bHeld = false;
    bool bWhole = MoveScanEntry(job.wszImageFrom, job.wszImageTo, false, &bHeld);
    if (bWhole && NewScanBegun(pDev, pwszStem)) {
        // A late report met a new scan of this stem begun since its check: the
        // image goes back, and the scan's own removal report files it whole.
        bWhole = false;
        if (!MoveScanEntry(job.wszImageTo, job.wszImageFrom, false)) {
            RemoveLockFolder(names.wszLockFolder);
            return FilingOutcome::NotFiled;
        }
    }
    // Looked at once the image is ours: a scan finished meanwhile has its template.
    bTemplate = bWhole && PathFileExistsW(job.wszTemplateFrom) != FALSE;
    if (bWhole && bTemplate && !MoveScanEntry(job.wszTemplateFrom, job.wszTemplateTo, false, &bHeld)) {
        bWhole = false;
        // The image goes back where the driver left it, held or not for a moment.
        if (!MoveScanEntry(job.wszImageTo, job.wszImageFrom, false)) {
            // Better a job folder holding the image alone than an image lost.
            RemoveLockFolder(names.wszLockFolder);
            return FilingOutcome::NotFiled;
        }
    }
    if (!bWhole)
        RemoveDirectoryW(names.wszJobFolder);
    RemoveLockFolder(names.wszLockFolder);
    if (bWhole)
        return FilingOutcome::Filed;
    TraceMsg(L" The scan %s stays whole in the temporary folder\r\n", pwszStem);
    return bHeld ? FilingOutcome::Held : FilingOutcome::NotFiled;
}

// ---- folder jobs ------------------------------------------------------------

struct PageRename {
    std::wstring wstrFrom;
    std::wstring wstrTo;
};

bool TakesStemPrefix(const std::wstring& wstrExt)
{
    return lstrcmpiW(wstrExt.c_str(), L".tif") == 0 || lstrcmpiW(wstrExt.c_str(), L".tmb") == 0 ||
           lstrcmpiW(wstrExt.c_str(), L".jpg") == 0;
}

bool PlanRename(const wchar_t* pwszEntry, const wchar_t* pwszStem, const JobNames& names,
                std::vector<PageRename>& renames)
{
    NameParts parts = SplitEntryName(pwszEntry);
    std::wstring wstrNewName = TakesStemPrefix(parts.wstrExt) ? std::wstring(pwszStem) + L"_" : std::wstring();
    wstrNewName += parts.wstrBase + names.wszSuffix + parts.wstrExt;
    if (wstrNewName == pwszEntry)
        return true;
    PathBuffer wszFrom;
    PathBuffer wszTo;
    if (!BuildPath(wszFrom, L"%s%s%s", names.wszJobFolder, L"\\", pwszEntry) ||
        !BuildPath(wszTo, L"%s%s%s", names.wszJobFolder, L"\\", wstrNewName.c_str()))
        return false;
    renames.push_back({wszFrom, wszTo});
    return true;
}

// Lists the driver's job folder before it is moved, so that every page is
// renamed exactly once and every new path is known to fit before anything moves.
bool PlanFolderJob(const wchar_t* pwszOsmInTemp, const wchar_t* pwszStem, const JobNames& names,
                   std::vector<PageRename>& renames)
{
    PathBuffer wszPattern;
    if (!BuildPath(wszPattern, L"%s%s", pwszOsmInTemp, L"\\*"))
        return false;
    WIN32_FIND_DATAW fd;
    bgt::UniqueFindHandle hFind(FindFirstFileW(wszPattern, &fd));
    if (!hFind)
        return true;
    do {
        if (wcscmp(fd.cFileName, L".") == 0 || wcscmp(fd.cFileName, L"..") == 0)
            continue;
        if (!PlanRename(fd.cFileName, pwszStem, names, renames))
            return false;
    } while (FindNextFileW(hFind.get(), &fd));
    return true;
}

FilingOutcome FileFolderJob(const DeviceInfo* pDev, const wchar_t* pwszStem, const wchar_t* pwszOsmInTemp,
                            const JobStamp& stamp, JobNames& names)
{
    std::vector<PageRename> renames;
    if (!ChooseJobNames(pDev, pwszStem, stamp, false, names))
        return FilingOutcome::NotFiled;
    if (!PathFileExistsW(pwszOsmInTemp) || !PlanFolderJob(pwszOsmInTemp, pwszStem, names, renames))
        return FilingOutcome::NotFiled;
    CreateLockFolder(names.wszLockFolder);
    bool bHeld = false;
    bool bMoved = MoveScanEntry(pwszOsmInTemp, names.wszJobFolder, true, &bHeld);
    if (bMoved) {
        for (const PageRename& rename : renames)
            MoveScanEntry(rename.wstrFrom.c_str(), rename.wstrTo.c_str(), true);
    }
    RemoveLockFolder(names.wszLockFolder);
    if (bMoved)
        return FilingOutcome::Filed;
    return bHeld ? FilingOutcome::Held : FilingOutcome::NotFiled;
}

// Files the finished scan of one stem (names.wszJobFolder tells where).
FilingOutcome FileJob(const DeviceInfo* pDev, const wchar_t* pwszStem, const JobStamp& stamp, JobNames& names)
{
    PathBuffer wszOsmInTemp;
    if (!BuildPath(wszOsmInTemp, L"%s%s%s%s", pDev->szTempFolder, L"\\", pwszStem, L".osm"))
        return FilingOutcome::NotFiled;
    if (PathFileExistsW(wszOsmInTemp))
        return FileFolderJob(pDev, pwszStem, wszOsmInTemp, stamp, names);
    TraceMsg(L"pathFile doesn't exist %s\r\n", wszOsmInTemp);
    return FileSingleFileJob(pDev, pwszStem, stamp, names);
}

// The lock entry is checked once more right before the files are taken.
bool LockEntryStands(const wchar_t* pwszLockEntry)
{
    if (!PathFileExistsW(pwszLockEntry))
        return false;
    TraceMsg(L" The lock entry %s stands again; the scan is still being written\r\n", pwszLockEntry);
    return true;
}

FilingOutcome FileStem(const DeviceInfo* pDev, const wchar_t* pwszStem, const JobStamp& stamp)
{
    JobNames names;
    FilingOutcome outcome = FileJob(pDev, pwszStem, stamp, names);
    if (outcome == FilingOutcome::Filed)
        StartDelivery(names.wszJobFolder);
    return outcome;
}

} // namespace

HRESULT GenTimeDateName(wchar_t* pwszName, size_t cchName)
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    return bgt::StringCchPrintfW(pwszName, cchName, L"%d-%d-%d_%d-%d-%d", st.wYear, st.wMonth, st.wDay, st.wHour,
                                 st.wMinute, st.wSecond);
}

void StartDelivery(const wchar_t* pwszJobFolder)
{
    size_t cbPath = (wcslen(pwszJobFolder) + 1) * sizeof(wchar_t);
    bgt::UniqueHeapMem pathCopy(HeapAlloc(GetProcessHeap(), 0, cbPath));
    if (!pathCopy)
        return;
    memcpy(pathCopy.get(), pwszJobFolder, cbPath);
    bgt::UniqueHandle hThread(CreateThread(nullptr, kDeliveryStackBytes, SendToFolder, pathCopy.get(), 0, nullptr));
    if (!hThread) {
        TraceMsg(L" CreateThread for SendToFolder FAILED %d\r\n", GetLastError());
        return;
    }
    pathCopy.release(); // the delivery owns it now
    WaitForSingleObject(hThread.get(), kDeliveryWaitMs);
}

FilingOutcome FileScanRecord(const DeviceInfo* pDeviceInfo, const wchar_t* pwchName, DWORD cbName)
{
    DWORD cbWhole = cbName & ~1u;
    bgt::UniqueHeapMem nameCopy(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbWhole + sizeof(wchar_t)));
    if (!nameCopy)
        return FilingOutcome::NotFiled;
    memcpy(nameCopy.get(), pwchName, cbWhole);
    const wchar_t* pwszName = static_cast<const wchar_t*>(nameCopy.get());
    if (!IsLockEntryName(pwszName))
        return FilingOutcome::NotFiled;

    PathBuffer wszFileToMovePath;
    if (!BuildPath(wszFileToMovePath, L"%s%s%s", pDeviceInfo->szTempFolder, L"\\", pwszName))
        return FilingOutcome::NotFiled;
    if (!WaitForLockEntryGone(wszFileToMovePath))
        return FilingOutcome::NotFiled;

    JobStamp stamp;
    MakeStamp(stamp);
    g_hooks.pfnSleep(kSettleMs);
    // A report that arrives late (the removal of an entry already filed) can find
    // the driver writing a new scan of the same name by the end of the pause:
    // its files are not complete yet, and its own removal report files them.
    if (LockEntryStands(wszFileToMovePath))
        return FilingOutcome::NotFiled;

    PathBuffer wszStem;
    const wchar_t* pwszFirstDot = wcschr(pwszName, L'.');
    if (FAILED(bgt::StringCchCopyNW(wszStem, kPathChars, pwszName, static_cast<size_t>(pwszFirstDot - pwszName)))) {
        TraceMsg(L" The path %s does not fit, the job is not filed\r\n", pwszName);
        return FilingOutcome::NotFiled;
    }
    return FileStem(pDeviceInfo, wszStem, stamp);
}

FilingOutcome FileFinishedScan(const DeviceInfo* pDeviceInfo, const wchar_t* pwszStem, bool bSettle)
{
    PathBuffer wszLockEntry;
    if (!BuildPath(wszLockEntry, L"%s%s%s%s", pDeviceInfo->szTempFolder, L"\\", pwszStem, L".lck"))
        return FilingOutcome::NotFiled;
    JobStamp stamp;
    MakeStamp(stamp);
    if (bSettle)
        g_hooks.pfnSleep(kSettleMs);
    if (LockEntryStands(wszLockEntry))
        return FilingOutcome::NotFiled;
    return FileStem(pDeviceInfo, pwszStem, stamp);
}

bool FilesQuiet(const std::vector<std::wstring>& paths)
{
    FILETIME ftNow;
    GetSystemTimeAsFileTime(&ftNow);
    ULARGE_INTEGER now{{ftNow.dwLowDateTime, ftNow.dwHighDateTime}};
    for (const std::wstring& wstrPath : paths) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(wstrPath.c_str(), GetFileExInfoStandard, &data))
            continue;
        ULARGE_INTEGER written{{data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime}};
        if (written.QuadPart + kQuietFor100ns > now.QuadPart)
            return false;
    }
    return true;
}
