// Finishing what an ended task (or a split that could not be undone) left in
// Documents. It runs only while it holds the Documents lock: every filer holds
// that lock for as long as its lock folder stands, so a lock folder seen then
// belongs to no filing under way.
#include <shlwapi.h>

#include <string>
#include <vector>

#include "common/trace.h"
#include "discovery/state.h"
#include "watcher/catch_up.h"
#include "watcher/filing.h"
#include "watcher/filing_lock.h"
#include "watcher/filing_parts.h"

using namespace filing;

namespace {

// A stem the job name may have been made from, and the job name that must
// have been taken for the filing to choose this one ("" for the plain name).
struct StemGuess {
    std::wstring wstrStem;
    std::wstring wstrDisplaced;
};

bool IsDigits(const std::wstring& wstr, size_t nFrom, size_t nTo)
{
    if (nFrom >= nTo)
        return false;
    for (size_t i = nFrom; i < nTo; ++i)
        if (wstr[i] < L'0' || wstr[i] > L'9')
            return false;
    return true;
}

// "<d>-<d>-<d>" between nFrom and nTo.
bool IsDateOrTime(const std::wstring& wstr, size_t nFrom, size_t nTo)
{
    size_t nFirst = wstr.find(L'-', nFrom);
    size_t nSecond = nFirst == std::wstring::npos ? nFirst : wstr.find(L'-', nFirst + 1);
    return nSecond != std::wstring::npos && nSecond < nTo && IsDigits(wstr, nFrom, nFirst) &&
           IsDigits(wstr, nFirst + 1, nSecond) && IsDigits(wstr, nSecond + 1, nTo);
}

// The stem of "<stem>_<stamp>", or "" when the name has no stamp at its end.
std::wstring CutStamp(const std::wstring& wstrName)
{
    size_t nTime = wstrName.rfind(L'_');
    if (nTime == std::wstring::npos || nTime == 0)
        return std::wstring();
    size_t nDate = wstrName.rfind(L'_', nTime - 1);
    if (nDate == std::wstring::npos || nDate == 0 || !IsDateOrTime(wstrName, nDate + 1, nTime) ||
        !IsDateOrTime(wstrName, nTime + 1, wstrName.size()))
        return std::wstring();
    return wstrName.substr(0, nDate);
}

// Only the shapes the filing makes: <stem>, <stem>_<stamp>, <stem>_<stamp>_<n>
// and <stem>_<n> (n from 2), in that order.
std::vector<StemGuess> StemGuesses(const std::wstring& wstrJob)
{
    std::vector<StemGuess> guesses{{wstrJob, L""}};
    std::wstring wstrStem = CutStamp(wstrJob);
    if (!wstrStem.empty())
        guesses.push_back({wstrStem, wstrStem});
    size_t nCounter = wstrJob.rfind(L'_');
    if (nCounter == std::wstring::npos || nCounter == 0 || !IsDigits(wstrJob, nCounter + 1, wstrJob.size()) ||
        wstrJob[nCounter + 1] == L'0' || wstrJob.compare(nCounter + 1, std::wstring::npos, L"1") == 0)
        return guesses;
    std::wstring wstrBase = wstrJob.substr(0, nCounter);
    wstrStem = CutStamp(wstrBase);
    if (!wstrStem.empty())
        guesses.push_back({wstrStem, wstrBase});
    guesses.push_back({wstrBase, wstrBase});
    return guesses;
}

// The guesses that could have made this job: the name a stamp or a counter
// stands in for is still taken in Documents.
std::vector<std::wstring> PossibleStems(const DeviceInfo* pDev, const std::wstring& wstrJob)
{
    std::vector<std::wstring> stems;
    for (const StemGuess& guess : StemGuesses(wstrJob))
        if (guess.wstrDisplaced.empty() || Exists(pDev->szDocFolder, guess.wstrDisplaced + L".osm"))
            stems.push_back(guess.wstrStem);
    return stems;
}

ULONGLONG LastWritten(const std::wstring& wstrPath)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wstrPath.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

// A move to another volume is a copy and then a delete: while the source
// stands whole in the temporary folder the move did not end, and the copy in
// the job folder (written no earlier than its source) may be partial. A
// source written later is a new scan of the same name and changes nothing.
bool SourceStillStands(const DeviceInfo* pDev, const std::vector<std::wstring>& stems, const std::wstring& wstrExt,
                       const std::wstring& wstrCopy)
{
    for (const std::wstring& wstrStem : stems) {
        std::wstring wstrSource;
        if (Exists(pDev->szTempFolder, wstrStem + L".lck") ||
            !JoinPath(wstrSource, pDev->szTempFolder, wstrStem + wstrExt))
            continue;
        DWORD dwAttributes = GetFileAttributesW(wstrSource.c_str());
        if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            LastWritten(wstrSource) <= LastWritten(wstrCopy))
            return true;
    }
    return false;
}

// A single-file job holds <job>.<image> and <job>.ost and nothing else.
bool IsSingleFileJob(const std::wstring& wstrJob, const std::vector<FolderEntry>& entries)
{
    for (const FolderEntry& entry : entries) {
        bool bOurs = !entry.bFolder && lstrcmpiW(entry.wstrName.c_str(), (wstrJob + L".ost").c_str()) == 0;
        for (const wchar_t* pwszKind : kImageKinds)
            bOurs = bOurs || (!entry.bFolder && lstrcmpiW(entry.wstrName.c_str(), (wstrJob + pwszKind).c_str()) == 0);
        if (!bOurs)
            return false;
    }
    return !entries.empty();
}

void DropCutOffCopies(const DeviceInfo* pDev, const std::wstring& wstrJob, const std::wstring& wstrJobFolder,
                      const std::vector<std::wstring>& stems)
{
    for (const FolderEntry& entry : ListEntries(wstrJobFolder.c_str(), L"*")) {
        std::wstring wstrCopy;
        if (!JoinPath(wstrCopy, wstrJobFolder.c_str(), entry.wstrName))
            continue;
        if (SourceStillStands(pDev, stems, entry.wstrName.substr(wstrJob.size()), wstrCopy)) {
            TraceMsg(L" The copy %s was cut off; its source stays\r\n", wstrCopy.c_str());
            DeleteOwnFile(wstrCopy.c_str());
        }
    }
}

// The template copy whose image was filed alone: it waits in the temporary
// folder with no scan of its own beside it.
std::wstring StrandedTemplateStem(const DeviceInfo* pDev, const std::vector<std::wstring>& stems)
{
    for (const std::wstring& wstrStem : stems) {
        bool bAlone = Exists(pDev->szTempFolder, wstrStem + L".ost") &&
                      !Exists(pDev->szTempFolder, wstrStem + L".lck") && !Exists(pDev->szTempFolder, wstrStem + L".osm");
        for (const wchar_t* pwszKind : kImageKinds)
            bAlone = bAlone && !Exists(pDev->szTempFolder, wstrStem + pwszKind);
        if (bAlone)
            return wstrStem;
    }
    return std::wstring();
}

enum class Finish { NothingToDeliver, Deliver, KeepLockFolder };

// The filing moves the image first: a job holding its image alone gets its
// template copy back from the temporary folder, held or not for a moment.
Finish CompleteSingleFileJob(const DeviceInfo* pDev, const std::wstring& wstrJob, const std::wstring& wstrJobFolder,
                             const std::vector<std::wstring>& stems)
{
    if (Exists(wstrJobFolder.c_str(), wstrJob + L".ost"))
        return Finish::Deliver;
    std::wstring wstrStem = StrandedTemplateStem(pDev, stems);
    std::wstring wstrFrom;
    std::wstring wstrTo;
    if (wstrStem.empty() || !JoinPath(wstrFrom, pDev->szTempFolder, wstrStem + L".ost") ||
        !JoinPath(wstrTo, wstrJobFolder.c_str(), wstrJob + L".ost"))
        return Finish::Deliver;
    return MoveScanEntry(wstrFrom.c_str(), wstrTo.c_str(), false) ? Finish::Deliver : Finish::KeepLockFolder;
}

Finish FinishJobFolder(const DeviceInfo* pDev, const std::wstring& wstrJob, const std::wstring& wstrJobFolder)
{
    if (!PathFileExistsW(wstrJobFolder.c_str()))
        return Finish::NothingToDeliver;
    std::vector<std::wstring> stems = PossibleStems(pDev, wstrJob);
    bool bSingleFile = IsSingleFileJob(wstrJob, ListEntries(wstrJobFolder.c_str(), L"*"));
    if (bSingleFile)
        DropCutOffCopies(pDev, wstrJob, wstrJobFolder, stems);
    // An empty job folder goes: its scan is still whole in the temporary folder.
    if (RemoveDirectoryW(wstrJobFolder.c_str()))
        return Finish::NothingToDeliver;
    if (!bSingleFile)
        return Finish::Deliver;
    return CompleteSingleFileJob(pDev, wstrJob, wstrJobFolder, stems);
}

// Only an empty folder of ours is a lock folder: one that holds anything was
// made by someone else, and is left alone.
bool IsOurLockFolder(const DeviceInfo* pDev, const FolderEntry& entry)
{
    return entry.bFolder && EndsWithNoCase(entry.wstrName, L".lck") &&
           ListEntries((std::wstring(pDev->szDocFolder) + L"\\" + entry.wstrName).c_str(), L"*").empty();
}

} // namespace

bool RecoverEndedFilings(const DeviceInfo* pDeviceInfo)
{
    if (!PathFileExistsW(pDeviceInfo->szDocFolder))
        return false;
    std::vector<std::wstring> deliveries;
    bool bKept = false;
    {
        DocumentsLock lock(pDeviceInfo->szDocFolder);
        if (!lock.Held())
            return true;
        for (const FolderEntry& entry : ListEntries(pDeviceInfo->szDocFolder, L"*.lck")) {
            std::wstring wstrJob = entry.wstrName.substr(0, entry.wstrName.size() - 4);
            std::wstring wstrJobFolder;
            std::wstring wstrLockPath;
            if (!IsOurLockFolder(pDeviceInfo, entry) ||
                !JoinPath(wstrJobFolder, pDeviceInfo->szDocFolder, wstrJob + L".osm") ||
                !JoinPath(wstrLockPath, pDeviceInfo->szDocFolder, entry.wstrName))
                continue;
            TraceMsg(L" The filing of %s was cut off; finishing it\r\n", wstrJobFolder.c_str());
            Finish finish = FinishJobFolder(pDeviceInfo, wstrJob, wstrJobFolder);
            // The delivery starts only once the lock folder has gone: a job whose
            // lock folder stands was never delivered.
            if (finish == Finish::KeepLockFolder || !RemoveDirectoryW(wstrLockPath.c_str())) {
                TraceMsg(L" The filing of %s cannot be finished yet\r\n", wstrJobFolder.c_str());
                bKept = true;
                continue;
            }
            if (finish == Finish::Deliver)
                deliveries.push_back(wstrJobFolder);
        }
    }
    // Deliveries are waited for; other filers must not wait for the lock meanwhile.
    for (const std::wstring& wstrJobFolder : deliveries)
        StartDelivery(wstrJobFolder.c_str());
    return bKept;
}

bool RecoveryMayHaveWork(const DeviceInfo* pDeviceInfo)
{
    for (const FolderEntry& entry : ListEntries(pDeviceInfo->szDocFolder, L"*.lck"))
        if (entry.bFolder)
            return true;
    return false;
}
