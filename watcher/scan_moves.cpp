// Moving a scan's files from the temporary folder into its job folder: a
// single image with its template copy, or a whole folder job and its renames.
// On one volume each move is a rename. Documents may lie on another volume (a
// junction or a mount point under the filing path): there an entry is first
// renamed, in the temporary folder, to a name of the job's own
// ("<name>.<job>.filing"), then copied into the job folder by way of
// "<target>.filing", and removed only once the copy is whole. What an ended
// task leaves half done is told by those names alone, and the recovery
// finishes it (see recovery.cpp).
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
    std::wstring wstrNewName = PageName(pwszEntry, pwszStem, names.wszSuffix);
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
    for (const FolderEntry& entry : ListEntries(pwszOsmInTemp, L"*"))
        if (!PlanRename(entry.wstrName.c_str(), pwszStem, names, renames))
            return false;
    return true;
}

// A new scan of the stem stands its lock entry up before it writes its image.
bool NewScanBegun(const DeviceInfo* pDev, const wchar_t* pwszStem)
{
    PathBuffer wszLockEntry;
    return BuildPath(wszLockEntry, L"%s%s%s%s", pDev->szTempFolder, L"\\", pwszStem, L".lck") &&
           PathFileExistsW(wszLockEntry);
}

// A copy whose private source stays (it could not be removed, or the copy
// could not be made nor undone) keeps the job's lock folder for the recovery.
bool PrivateSourceLeft(const std::wstring& wstrVia)
{
    if (wstrVia.empty() || !PathFileExistsW(wstrVia.c_str()))
        return false;
    TraceMsg(L" %s stays for the recovery\r\n", wstrVia.c_str());
    return true;
}

bool ReportIn(const HeldWait& heldWait)
{
    return heldWait.hReportIn != nullptr && WaitForSingleObject(heldWait.hReportIn, 0) == WAIT_OBJECT_0;
}

// Renames the entry to its private name, copies it into the job, and puts it
// back under its own name when the copy cannot be made.
bool MoveAcross(const wchar_t* pwszFrom, const wchar_t* pwszTo, const wchar_t* pwszVia, bool* pbHeld,
                HeldWait heldWait)
{
    if (!MoveScanEntry(pwszFrom, pwszVia, nullptr, pbHeld, heldWait))
        return false;
    if (CopyFileAcross(pwszVia, pwszTo)) {
        TraceMsg(L" The File %s was successfully moved\r\n", pwszTo);
        return true;
    }
    DWORD dwError = GetLastError();
    TraceMsg(L" Trying to move the file %s has FAILED\r\n", pwszTo);
    MoveFileExW(pwszVia, pwszFrom, 0);
    SetLastError(dwError);
    return false;
}

// "<entry>.<job>.filing" beside the entry, or "" when it does not fit.
std::wstring PrivateName(const wchar_t* pwszEntry, const JobNames& names)
{
    PathBuffer wszVia;
    if (!BuildPath(wszVia, L"%s.%s%s", pwszEntry, JobNameOf(names.wszJobFolder).c_str(), kPrivateTail))
        return std::wstring();
    return wszVia;
}

// Undoes a folder copy that could not be made whole: the copies go, the job
// folder goes, and the driver's folder gets its name back.
bool UndoFolderCopy(const wchar_t* pwszOsmInTemp, const std::wstring& wstrVia, const JobNames& names)
{
    for (const FolderEntry& entry : ListEntries(names.wszJobFolder, L"*")) {
        std::wstring wstrCopy;
        if (!entry.bFolder && JoinPath(wstrCopy, names.wszJobFolder, entry.wstrName))
            DeleteOwnFile(wstrCopy.c_str());
    }
    RemoveDirectoryW(names.wszJobFolder);
    return MoveFileExW(wstrVia.c_str(), pwszOsmInTemp, 0) != FALSE;
}

// A folder cannot be renamed onto another volume: it is renamed to its
// private name in the temporary folder, copied page by page into a job folder
// made for it, and removed once every page is whole there.
FilingOutcome FileFolderJobAcross(const DeviceInfo* pDev, const wchar_t* pwszStem, const wchar_t* pwszOsmInTemp,
                                  JobNames& names)
{
    std::wstring wstrVia = PrivateName(pwszOsmInTemp, names);
    bool bHeld = false;
    if (wstrVia.empty() || !CreateJobFolder(names.wszJobFolder)) {
        names.dwError = wstrVia.empty() ? ERROR_FILENAME_EXCED_RANGE : GetLastError();
        RemoveLockFolder(names.wszLockFolder);
        return FilingOutcome::Refused;
    }
    if (!MoveScanEntry(pwszOsmInTemp, wstrVia.c_str(), nullptr, &bHeld, names.heldWait)) {
        names.dwError = GetLastError();
        RemoveDirectoryW(names.wszJobFolder);
        RemoveLockFolder(names.wszLockFolder);
        return bHeld ? FilingOutcome::Held : FilingOutcome::NotFiled;
    }
    if (NewScanBegun(pDev, pwszStem) && MoveFileExW(wstrVia.c_str(), pwszOsmInTemp, 0)) {
        TraceMsg(L" A new scan %s has begun; it is left to its own report\r\n", pwszStem);
        RemoveDirectoryW(names.wszJobFolder);
        RemoveLockFolder(names.wszLockFolder);
        return FilingOutcome::NotFiled;
    }
    if (!CopyFolderAcross(wstrVia.c_str(), names.wszJobFolder, pwszStem, names.wszSuffix)) {
        names.dwError = GetLastError();
        if (!UndoFolderCopy(pwszOsmInTemp, wstrVia, names))
            return FilingOutcome::Held;
        RemoveLockFolder(names.wszLockFolder);
        TraceMsg(L" The scan %s stays whole in the temporary folder\r\n", pwszStem);
        return FilingOutcome::NotFiled;
    }
    TraceMsg(L" The File %s was successfully moved\r\n", names.wszJobFolder);
    if (PrivateSourceLeft(wstrVia))
        return FilingOutcome::Held;
    MarkForDelivery(names);
    RemoveLockFolder(names.wszLockFolder);
    return FilingOutcome::Filed;
}

} // namespace

std::wstring PageName(const std::wstring& wstrEntry, const std::wstring& wstrStem, const std::wstring& wstrSuffix)
{
    NameParts parts = SplitEntryName(wstrEntry.c_str());
    std::wstring wstrNewName = TakesStemPrefix(parts.wstrExt) ? wstrStem + L"_" : std::wstring();
    return wstrNewName + parts.wstrBase + wstrSuffix + parts.wstrExt;
}

std::wstring JobNameOf(const wchar_t* pwszJobFolder)
{
    const wchar_t* pwszName = wcsrchr(pwszJobFolder, L'\\');
    std::wstring wstrName = pwszName != nullptr ? pwszName + 1 : pwszJobFolder;
    return EndsWithNoCase(wstrName, L".osm") ? wstrName.substr(0, wstrName.size() - 4) : wstrName;
}

bool CopyFileAcross(const wchar_t* pwszFrom, const wchar_t* pwszTo)
{
    // A target under its own name was renamed from its partial copy: it is whole.
    if (!PathFileExistsW(pwszTo)) {
        std::wstring wstrPartial = std::wstring(pwszTo) + kPrivateTail;
        if (wstrPartial.size() >= kPathCapacity) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        DeleteOwnFile(wstrPartial.c_str());
        if (!CopyFileW(pwszFrom, wstrPartial.c_str(), TRUE) || !MoveFileExW(wstrPartial.c_str(), pwszTo, 0)) {
            DWORD dwError = GetLastError();
            DeleteOwnFile(wstrPartial.c_str());
            SetLastError(dwError);
            return false;
        }
    }
    DeleteOwnFile(pwszFrom);
    return true;
}

bool CopyFolderAcross(const wchar_t* pwszFrom, const wchar_t* pwszJobFolder, const std::wstring& wstrStem,
                      const std::wstring& wstrSuffix)
{
    std::vector<FolderEntry> entries = ListEntries(pwszFrom, L"*");
    std::vector<std::pair<std::wstring, std::wstring>> copies;
    for (const FolderEntry& entry : entries) {
        std::wstring wstrFrom;
        std::wstring wstrTo;
        if (entry.bFolder || !JoinPath(wstrFrom, pwszFrom, entry.wstrName) ||
            !JoinPath(wstrTo, pwszJobFolder, PageName(entry.wstrName, wstrStem, wstrSuffix))) {
            SetLastError(entry.bFolder ? ERROR_DIRECTORY : ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        copies.emplace_back(wstrFrom, wstrTo);
    }
    // Every page whole in the job before any source goes.
    for (const auto& [wstrFrom, wstrTo] : copies) {
        std::wstring wstrPartial = wstrTo + kPrivateTail;
        if (PathFileExistsW(wstrTo.c_str()))
            continue;
        DeleteOwnFile(wstrPartial.c_str());
        if (wstrPartial.size() >= kPathCapacity || !CopyFileW(wstrFrom.c_str(), wstrPartial.c_str(), TRUE) ||
            !MoveFileExW(wstrPartial.c_str(), wstrTo.c_str(), 0)) {
            DWORD dwError = wstrPartial.size() >= kPathCapacity ? ERROR_FILENAME_EXCED_RANGE : GetLastError();
            DeleteOwnFile(wstrPartial.c_str());
            SetLastError(dwError);
            return false;
        }
    }
    for (const auto& copy : copies)
        DeleteOwnFile(copy.first.c_str());
    RemoveDirectoryW(pwszFrom);
    return true;
}

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
// Only a rename is tried, unless pwszCopyVia gives the private name under
// which a file crosses to another volume.
bool MoveScanEntry(const wchar_t* pwszFrom, const wchar_t* pwszTo, const wchar_t* pwszCopyVia, bool* pbHeld,
                   HeldWait heldWait)
{
    if (pbHeld != nullptr)
        *pbHeld = false;
    for (DWORD dwStep = 0;; ++dwStep) {
        // A rename never replaces: a target that stands fails it, at no extra
        // look-up (under Wine each look-up of a missing name reads the folder).
        if (MoveFileExW(pwszFrom, pwszTo, 0)) {
            TraceMsg(L" The File %s was successfully moved\r\n", pwszTo);
            return true;
        }
        DWORD dwError = GetLastError();
        if (dwError == ERROR_NOT_SAME_DEVICE && pwszCopyVia != nullptr && pwszCopyVia[0] != L'\0') {
            // The copy takes a target under its own name for one already whole.
            if (PathFileExistsW(pwszTo)) {
                TraceMsg(L" Trying to move the file %s has FAILED\r\n", pwszTo);
                SetLastError(ERROR_ALREADY_EXISTS);
                return false;
            }
            return MoveAcross(pwszFrom, pwszTo, pwszCopyVia, pbHeld, heldWait);
        }
        bool bHeld = IsHeldError(dwError) && PathFileExistsW(pwszFrom);
        if (!bHeld || dwStep == (heldWait.kind == HeldWait::Kind::Once ? 0 : kHeldRetrySteps) ||
            ReportIn(heldWait)) {
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
// (a move back to another volume is not tried) keeps its lock folder, which
// the recovery of a later catch-up finishes.
FilingOutcome FileSingleFileJob(const DeviceInfo* pDev, const wchar_t* pwszStem, const JobStamp& stamp,
                                JobNames& names)
{
    SingleFileJob job;
    if (!ChooseJobNames(pDev, pwszStem, stamp, true, names) || !PlanSingleFileJob(pDev, pwszStem, names, job))
        return FilingOutcome::NotFiled;
    if (!job.bHasImage) {
        // Without a job folder of its own the template copy stays where it is.
        if (PathFileExistsW(job.wszTemplateFrom))
            TraceMsg(L" Trying to move the file %s has FAILED\r\n", job.wszTemplateTo);
        return FilingOutcome::NotFiled;
    }
    CreateLockFolder(names.wszLockFolder);
    if (!CreateJobFolder(names.wszJobFolder)) {
        names.dwError = GetLastError();
        if (PathFileExistsW(job.wszTemplateFrom))
            TraceMsg(L" Trying to move the file %s has FAILED\r\n", job.wszTemplateTo);
        RemoveLockFolder(names.wszLockFolder);
        return FilingOutcome::NotFiled;
    }
    std::wstring wstrImageVia = PrivateName(job.wszImageFrom, names);
    std::wstring wstrTemplateVia = PrivateName(job.wszTemplateFrom, names);
    bool bHeld = false;
    bool bWhole = MoveScanEntry(job.wszImageFrom, job.wszImageTo, wstrImageVia.c_str(), &bHeld, names.heldWait);
    if (!bWhole)
        names.dwError = GetLastError();
    if (bWhole && NewScanBegun(pDev, pwszStem)) {
        // A late report met a new scan of this stem begun since its check: the
        // image goes back, and the scan's own removal report files it whole.
        bWhole = false;
        if (!MoveScanEntry(job.wszImageTo, job.wszImageFrom)) {
            TraceMsg(L" The scan %s is split; its lock folder stays for the recovery\r\n", pwszStem);
            return FilingOutcome::Held;
        }
    }
    // Looked at once the image is ours: a scan finished meanwhile has its template.
    bool bTemplate = bWhole && PathFileExistsW(job.wszTemplateFrom) != FALSE;
    if (bWhole && bTemplate &&
        !MoveScanEntry(job.wszTemplateFrom, job.wszTemplateTo, wstrTemplateVia.c_str(), &bHeld, names.heldWait)) {
        names.dwError = GetLastError();
        bWhole = false;
        // The image goes back where the driver left it, held or not for a moment.
        if (!MoveScanEntry(job.wszImageTo, job.wszImageFrom)) {
            TraceMsg(L" The scan %s is split; its lock folder stays for the recovery\r\n", pwszStem);
            return FilingOutcome::Held;
        }
    }
    if (PrivateSourceLeft(wstrImageVia) || PrivateSourceLeft(wstrTemplateVia))
        return FilingOutcome::Held;
    if (!bWhole)
        RemoveDirectoryW(names.wszJobFolder);
    else
        MarkForDelivery(names);
    RemoveLockFolder(names.wszLockFolder);
    if (bWhole)
        return FilingOutcome::Filed;
    TraceMsg(L" The scan %s stays whole in the temporary folder\r\n", pwszStem);
    return bHeld ? FilingOutcome::Held : FilingOutcome::NotFiled;
}

// The lock entry is looked at again while the Documents lock is held, before
// the folder moves and after: a late report must not take a new scan's pages.
FilingOutcome FileFolderJob(const DeviceInfo* pDev, const wchar_t* pwszStem, const wchar_t* pwszOsmInTemp,
                            const JobStamp& stamp, JobNames& names)
{
    std::vector<PageRename> renames;
    if (!ChooseJobNames(pDev, pwszStem, stamp, false, names))
        return FilingOutcome::NotFiled;
    if (!PathFileExistsW(pwszOsmInTemp) || NewScanBegun(pDev, pwszStem))
        return FilingOutcome::NotFiled;
    if (!PlanFolderJob(pwszOsmInTemp, pwszStem, names, renames)) {
        names.dwError = ERROR_FILENAME_EXCED_RANGE; // a page's path would not fit, nor will it later
        return FilingOutcome::Refused;
    }
    CreateLockFolder(names.wszLockFolder);
    bool bHeld = false;
    if (!MoveScanEntry(pwszOsmInTemp, names.wszJobFolder, nullptr, &bHeld, names.heldWait)) {
        names.dwError = GetLastError();
        if (names.dwError == ERROR_NOT_SAME_DEVICE)
            return FileFolderJobAcross(pDev, pwszStem, pwszOsmInTemp, names);
        RemoveLockFolder(names.wszLockFolder);
        return bHeld ? FilingOutcome::Held : FilingOutcome::NotFiled;
    }
    if (NewScanBegun(pDev, pwszStem) && MoveFileExW(names.wszJobFolder, pwszOsmInTemp, 0)) {
        TraceMsg(L" A new scan %s has begun; it is left to its own report\r\n", pwszStem);
        RemoveLockFolder(names.wszLockFolder);
        return FilingOutcome::NotFiled;
    }
    for (const PageRename& rename : renames)
        MoveScanEntry(rename.wstrFrom.c_str(), rename.wstrTo.c_str());
    MarkForDelivery(names);
    RemoveLockFolder(names.wszLockFolder);
    return FilingOutcome::Filed;
}

} // namespace filing
