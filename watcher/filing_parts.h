#pragma once
// What the filing, the catch-up and the recovery share inside the watcher:
// bounded paths, the job's names, and moves that never lose a file.
#include <windows.h>

#include <string>
#include <vector>

#include "common/owners.h"
#include "discovery/state.h"
#include "watcher/filing.h"

struct DeviceInfo;

namespace filing {

using PathBuffer = wchar_t[kPathChars];

// What crosses to another volume is renamed "<name>.<job>.filing" in its own
// folder first, and copied as "<target>.filing" before it takes its name.
constexpr const wchar_t* kPrivateTail = L".filing";
// "<job>.delivering" beside the job folder: its delivery has not ended yet.
constexpr const wchar_t* kDeliveryMarkerTail = L".delivering";

// The images a single-file job is filed with, in order of preference.
constexpr const wchar_t* kImageKinds[] = {L".tif", L".pdf", L".xps"};

// Formats a path into a whole path buffer. The file calls take at most 259
// characters (no long-path awareness is declared), so a longer path is never
// used: the caller gives up on the job and leaves its files where they are.
bool BuildPath(PathBuffer& wszPath, const wchar_t* pszFormat, ...);

struct JobStamp {
    wchar_t wszText[kPathCapacity];
    bool bMade;
};

void MakeStamp(JobStamp& stamp);

// Where a job goes: the job folder, its lock folder, and the suffix that every
// file of the job carries ("" for a free plain name, "_<stamp>", "_<stamp>_<n>",
// or "_<n>" when no stamp could be made).
struct JobNames {
    PathBuffer wszJobFolder;
    PathBuffer wszLockFolder;
    wchar_t wszSuffix[kPathChars];
    // Why the scan stayed in the temporary folder: the error of the step that
    // failed, 0 when none did (its lock entry stood, it had no image yet).
    DWORD dwError = 0;
    // The job's delivery marker, held open until its delivery ends.
    bgt::UniqueFileHandle hDeliveryMarker;
    HeldWait heldWait;
};

// The first name whose job folder and lock folder are both free.
bool ChooseJobNames(const DeviceInfo* pDev, const wchar_t* pwszStem, const JobStamp& stamp, bool bSingleFile,
                    JobNames& names);

bool CreateLockFolder(const wchar_t* pwszLockFolder);
bool CreateJobFolder(const wchar_t* pwszJobFolder);
void RemoveLockFolder(const wchar_t* pwszLockFolder);

// Moves one entry to a name that does not exist yet, trying again in short
// steps while another program holds it; pbHeld tells why a move failed. A
// file crosses to another volume only when pwszCopyVia names its private name.
bool MoveScanEntry(const wchar_t* pwszFrom, const wchar_t* pwszTo, const wchar_t* pwszCopyVia = nullptr,
                   bool* pbHeld = nullptr, HeldWait heldWait = {});

// The name a folder job's entry takes in the job folder.
std::wstring PageName(const std::wstring& wstrEntry, const std::wstring& wstrStem, const std::wstring& wstrSuffix);
// "<job>" of ".../<job>.osm".
std::wstring JobNameOf(const wchar_t* pwszJobFolder);

// Copies a private source into the job by way of "<target>.filing", unless
// the target stands already (then it is whole), and removes the source once
// the copy is. False, with the error, when the copy cannot be made.
bool CopyFileAcross(const wchar_t* pwszFrom, const wchar_t* pwszTo);
// The same for a folder job's pages, each under its name in the job folder:
// every page is whole there before any source goes.
bool CopyFolderAcross(const wchar_t* pwszFrom, const wchar_t* pwszJobFolder, const std::wstring& wstrStem,
                      const std::wstring& wstrSuffix);

// Creates the job's delivery marker (exclusively, and held open without
// sharing: a marker that another process can open belongs to no delivery
// under way). A job whose marker cannot be made is delivered all the same.
bgt::UniqueFileHandle CreateDeliveryMarker(const wchar_t* pwszJobFolder);
void MarkForDelivery(JobNames& names);

// Removes a file of our own, read-only or not.
void DeleteOwnFile(const wchar_t* pwszPath);

// The two kinds of job, filed while the Documents lock is held.
FilingOutcome FileSingleFileJob(const DeviceInfo* pDev, const wchar_t* pwszStem, const JobStamp& stamp,
                                JobNames& names);
FilingOutcome FileFolderJob(const DeviceInfo* pDev, const wchar_t* pwszStem, const wchar_t* pwszOsmInTemp,
                            const JobStamp& stamp, JobNames& names);

// The administrator's events of a scan: one when it could not be filed (its
// files and the error), and one when a scan so reported is filed later.
void ReportScanNotFiled(const DeviceInfo* pDev, const wchar_t* pwszStem, DWORD dwError);
void ReportScanFiled(const DeviceInfo* pDev, const wchar_t* pwszStem, const wchar_t* pwszJobFolder);

} // namespace filing

// ---- looking into the temporary folder and Documents ------------------------

namespace filing {

struct FolderEntry {
    std::wstring wstrName;
    bool bFolder;
};

bool EndsWithNoCase(const std::wstring& wstrName, const wchar_t* pwszTail);
// A path that does not fit is not looked at.
bool JoinPath(std::wstring& wstrPath, const wchar_t* pwszFolder, const std::wstring& wstrName);
// The entries matching the pattern, sorted by name, without "." and "..".
std::vector<FolderEntry> ListEntries(const wchar_t* pwszFolder, const wchar_t* pwszPattern);
bool Exists(const wchar_t* pwszFolder, const std::wstring& wstrName);

} // namespace filing
