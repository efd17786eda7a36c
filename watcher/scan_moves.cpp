// Moving a scan's files from the temporary folder into its job folder: a
// single image with its template copy, or a whole folder job and its renames.
#include <shlwapi.h>

#include <cwchar>
#include <string>
#include <vector>

#include "common/bounded_string.h"
#include "common/hooks.h"
#include "common/owners.h"
#include "common/trace.h"
#include "watcher/filing_parts.h"

namespace filing {

namespace {

// A virus scanner or an indexer opens a file just written for a moment; a move
// that meets it is tried again for a while before the job is given up.
constexpr DWORD kHeldRetrySteps = 20;
constexpr DWORD kHeldRetryStepMs = 100;

// A copy across volumes that fails (a full disk) leaves the source intact and a
// partial or empty target behind; a job folder must never hold such a file.
void RemovePartialTarget(const wchar_t* pwszFrom, const wchar_t* pwszTo)
{
    if (!PathFileExistsW(pwszFrom))
        return;
    DWORD dwAttributes = GetFileAttributesW(pwszTo);
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        DeleteOwnFile(pwszTo);
}

bool IsHeldError(DWORD dwError)
{
    return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_LOCK_VIOLATION || dwError == ERROR_ACCESS_DENIED;
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
    job.bHasImage = false;
    pwszExt = L"";
    for (const wchar_t* pwszCandidate : kImageKinds) {
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

// A new scan of the stem stands its lock entry up before it writes its image.
bool NewScanBegun(const DeviceInfo* pDev, const wchar_t* pwszStem)
{
    PathBuffer wszLockEntry;
    return BuildPath(wszLockEntry, L"%s%s%s%s", pDev->szTempFolder, L"\\", pwszStem, L".lck") &&
           PathFileExistsW(wszLockEntry);
}

} // namespace

void DeleteOwnFile(const wchar_t* pwszPath)
{
    if (DeleteFileW(pwszPath))
        return;
    // A copy keeps the source's attributes, the read-only one included.
    SetFileAttributesW(pwszPath, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(pwszPath);
}

// The target is never one that exists already, so that nothing in the job
// folder is replaced and a failure can clean up its own leftovers without
// touching anything else. A file held open by another program is tried again
// in short steps; pbHeld tells the caller that this was why the move failed.
bool MoveScanEntry(const wchar_t* pwszFrom, const wchar_t* pwszTo, bool bCopyAllowed, bool* pbHeld)
{
    if (pbHeld != nullptr)
        *pbHeld = false;
    if (PathFileExistsW(pwszTo)) {
        TraceMsg(L" Trying to move the file %s has FAILED\r\n", pwszTo);
        SetLastError(ERROR_ALREADY_EXISTS);
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
            SetLastError(dwError);
            return false;
        }
        g_hooks.pfnSleep(kHeldRetryStepMs);
    }
}

// All or nothing: when the image or the template cannot be moved, whatever
// moved goes back and the folders this filing made go, so that the scan stays
// whole in the temporary folder for a later try. A split that cannot be undone
// keeps its lock folder, which the recovery of a later catch-up finishes.
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
        names.dwError = GetLastError();
        if (bTemplate)
            TraceMsg(L" Trying to move the file %s has FAILED\r\n", job.wszTemplateTo);
        RemoveLockFolder(names.wszLockFolder);
        return FilingOutcome::NotFiled;
    }
    bool bHeld = false;
    bool bWhole = MoveScanEntry(job.wszImageFrom, job.wszImageTo, false, &bHeld);
    if (!bWhole)
        names.dwError = GetLastError();
    if (bWhole && NewScanBegun(pDev, pwszStem)) {
        // A late report met a new scan of this stem begun since its check: the
        // image goes back, and the scan's own removal report files it whole.
        bWhole = false;
        if (!MoveScanEntry(job.wszImageTo, job.wszImageFrom, false)) {
            TraceMsg(L" The scan %s is split; its lock folder stays for the recovery\r\n", pwszStem);
            return FilingOutcome::Held;
        }
    }
    // Looked at once the image is ours: a scan finished meanwhile has its template.
    bTemplate = bWhole && PathFileExistsW(job.wszTemplateFrom) != FALSE;
    if (bWhole && bTemplate && !MoveScanEntry(job.wszTemplateFrom, job.wszTemplateTo, false, &bHeld)) {
        names.dwError = GetLastError();
        bWhole = false;
        // The image goes back where the driver left it, held or not for a moment.
        if (!MoveScanEntry(job.wszImageTo, job.wszImageFrom, false)) {
            TraceMsg(L" The scan %s is split; its lock folder stays for the recovery\r\n", pwszStem);
            return FilingOutcome::Held;
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

FilingOutcome FileFolderJob(const DeviceInfo* pDev, const wchar_t* pwszStem, const wchar_t* pwszOsmInTemp,
                            const JobStamp& stamp, JobNames& names)
{
    std::vector<PageRename> renames;
    if (!ChooseJobNames(pDev, pwszStem, stamp, false, names))
        return FilingOutcome::NotFiled;
    if (!PathFileExistsW(pwszOsmInTemp))
        return FilingOutcome::NotFiled;
    if (!PlanFolderJob(pwszOsmInTemp, pwszStem, names, renames)) {
        names.dwError = ERROR_FILENAME_EXCED_RANGE; // a page's path would not fit
        return FilingOutcome::NotFiled;
    }
    CreateLockFolder(names.wszLockFolder);
    bool bHeld = false;
    bool bMoved = MoveScanEntry(pwszOsmInTemp, names.wszJobFolder, true, &bHeld);
    if (!bMoved)
        names.dwError = GetLastError();
    if (bMoved) {
        for (const PageRename& rename : renames)
            MoveScanEntry(rename.wstrFrom.c_str(), rename.wstrTo.c_str(), true);
    }
    RemoveLockFolder(names.wszLockFolder);
    if (bMoved)
        return FilingOutcome::Filed;
    return bHeld ? FilingOutcome::Held : FilingOutcome::NotFiled;
}

} // namespace filing
