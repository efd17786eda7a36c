// Finishing what an ended task (or a split that could not be undone) left in
// Documents. It runs only while it holds the Documents lock: every filer holds
// that lock for as long as its lock folder stands, so a lock folder seen then
// belongs to no filing under way. It decides only from what the filing and the
// delivery wrote themselves (lock folders, private names of copies to another
// volume, delivery markers), never from file times, and it never deletes a
// file that is the only copy of a scan.
#include <shlwapi.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/event_reports.h"
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

// A copy to another volume that the end cut off: its private source stands in
// the temporary folder, "<name>.<job>.filing". Each is finished (a target
// under its own name is whole already; one that is not is copied again) and
// then removed. False when one cannot be finished yet.
bool FinishCopiesAcross(const DeviceInfo* pDev, const std::wstring& wstrJob, const std::wstring& wstrJobFolder)
{
    std::wstring wstrTail = L"." + wstrJob + kPrivateTail;
    bool bAllDone = true;
    for (const FolderEntry& entry : ListEntries(pDev->szTempFolder, (L"*" + wstrTail).c_str())) {
        std::wstring wstrPrivate;
        if (!EndsWithNoCase(entry.wstrName, wstrTail.c_str()) ||
            !JoinPath(wstrPrivate, pDev->szTempFolder, entry.wstrName))
            continue;
        std::wstring wstrOriginal = entry.wstrName.substr(0, entry.wstrName.size() - wstrTail.size());
        size_t nFirstDot = wstrOriginal.find(L'.');
        size_t nLastDot = wstrOriginal.rfind(L'.');
        std::wstring wstrStem = wstrOriginal.substr(0, nFirstDot);
        std::wstring wstrTarget;
        bool bDone = false;
        TraceMsg(L" The copy of %s to another volume was cut off; finishing it\r\n", wstrPrivate.c_str());
        std::wstring wstrBack;
        if (!PathFileExistsW(wstrJobFolder.c_str())) {
            // No job folder to finish it into: the entry gets its own name back.
            bDone = JoinPath(wstrBack, pDev->szTempFolder, wstrOriginal) &&
                    MoveFileExW(wstrPrivate.c_str(), wstrBack.c_str(), 0);
        } else if (entry.bFolder) {
            std::wstring wstrSuffix = wstrJob.compare(0, wstrStem.size(), wstrStem) == 0 ? wstrJob.substr(wstrStem.size())
                                                                                        : std::wstring();
            bDone = CopyFolderAcross(wstrPrivate.c_str(), wstrJobFolder.c_str(), wstrStem, wstrSuffix);
        } else if (nLastDot != std::wstring::npos &&
                   JoinPath(wstrTarget, wstrJobFolder.c_str(), wstrJob + wstrOriginal.substr(nLastDot))) {
            bDone = CopyFileAcross(wstrPrivate.c_str(), wstrTarget.c_str());
        }
        bAllDone = bAllDone && bDone && !PathFileExistsW(wstrPrivate.c_str());
    }
    return bAllDone;
}

// "<target>.filing" in the job folder is a copy that did not get its name:
// its source is still whole (the source goes only once the copy is named).
void DropCutOffCopies(const std::wstring& wstrJobFolder)
{
    for (const FolderEntry& entry : ListEntries(wstrJobFolder.c_str(), L"*")) {
        std::wstring wstrCopy;
        if (!entry.bFolder && EndsWithNoCase(entry.wstrName, kPrivateTail) &&
            JoinPath(wstrCopy, wstrJobFolder.c_str(), entry.wstrName)) {
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
    std::wstring wstrVia = wstrFrom + L"." + wstrJob + kPrivateTail;
    if (!MoveScanEntry(wstrFrom.c_str(), wstrTo.c_str(), wstrVia.size() < kPathCapacity ? wstrVia.c_str() : nullptr))
        return Finish::KeepLockFolder;
    return PathFileExistsW(wstrVia.c_str()) ? Finish::KeepLockFolder : Finish::Deliver;
}

Finish FinishJobFolder(const DeviceInfo* pDev, const std::wstring& wstrJob, const std::wstring& wstrJobFolder)
{
    if (!FinishCopiesAcross(pDev, wstrJob, wstrJobFolder))
        return Finish::KeepLockFolder;
    if (!PathFileExistsW(wstrJobFolder.c_str()))
        return Finish::NothingToDeliver;
    DropCutOffCopies(wstrJobFolder);
    // An empty job folder goes: its scan is still whole in the temporary folder.
    if (RemoveDirectoryW(wstrJobFolder.c_str()))
        return Finish::NothingToDeliver;
    if (!IsSingleFileJob(wstrJob, ListEntries(wstrJobFolder.c_str(), L"*")))
        return Finish::Deliver;
    return CompleteSingleFileJob(pDev, wstrJob, wstrJobFolder, PossibleStems(pDev, wstrJob));
}

// Only an empty folder of ours is a lock folder: one that holds anything was
// made by someone else, and is left alone.
bool IsOurLockFolder(const DeviceInfo* pDev, const FolderEntry& entry)
{
    return entry.bFolder && EndsWithNoCase(entry.wstrName, L".lck") &&
           ListEntries((std::wstring(pDev->szDocFolder) + L"\\" + entry.wstrName).c_str(), L"*").empty();
}

struct PendingDelivery {
    std::wstring wstrJobFolder;
    bgt::UniqueFileHandle hMarker;
    bool bRedone;
};

// A marker no delivery holds: its delivery was cut off (or never began).
bgt::UniqueFileHandle OpenOrphanMarker(const std::wstring& wstrMarker)
{
    return bgt::UniqueFileHandle(
        CreateFileW(wstrMarker.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

// Finishes the filing a lock folder tells of; the job goes to the deliveries
// with its marker. False when the lock folder must stay.
bool RecoverLockFolder(const DeviceInfo* pDev, const FolderEntry& entry, std::vector<PendingDelivery>& deliveries)
{
    std::wstring wstrJob = entry.wstrName.substr(0, entry.wstrName.size() - 4);
    std::wstring wstrJobFolder;
    std::wstring wstrLockPath;
    if (!JoinPath(wstrJobFolder, pDev->szDocFolder, wstrJob + L".osm") ||
        !JoinPath(wstrLockPath, pDev->szDocFolder, entry.wstrName))
        return true;
    TraceMsg(L" The filing of %s was cut off; finishing it\r\n", wstrJobFolder.c_str());
    Finish finish = FinishJobFolder(pDev, wstrJob, wstrJobFolder);
    bgt::UniqueFileHandle hMarker;
    if (finish == Finish::Deliver) {
        hMarker = CreateDeliveryMarker(wstrJobFolder.c_str());
        if (!hMarker)
            hMarker = OpenOrphanMarker(std::wstring(pDev->szDocFolder) + L"\\" + wstrJob + kDeliveryMarkerTail);
    }
    // The delivery starts only once the lock folder has gone: a job whose lock
    // folder stands was never delivered.
    if (finish == Finish::KeepLockFolder || !RemoveDirectoryW(wstrLockPath.c_str())) {
        TraceMsg(L" The filing of %s cannot be finished yet\r\n", wstrJobFolder.c_str());
        return false;
    }
    if (finish == Finish::Deliver)
        deliveries.push_back({wstrJobFolder, std::move(hMarker), false});
    return true;
}

// A delivery marker that no delivery holds open: the job is delivered again,
// once, whole; a marker of a job folder that is gone just goes.
void RecoverMarker(const DeviceInfo* pDev, const FolderEntry& entry, std::vector<PendingDelivery>& deliveries)
{
    std::wstring wstrJob = entry.wstrName.substr(0, entry.wstrName.size() - wcslen(kDeliveryMarkerTail));
    std::wstring wstrMarker;
    std::wstring wstrJobFolder;
    if (!JoinPath(wstrMarker, pDev->szDocFolder, entry.wstrName) ||
        !JoinPath(wstrJobFolder, pDev->szDocFolder, wstrJob + L".osm"))
        return;
    bgt::UniqueFileHandle hMarker = OpenOrphanMarker(wstrMarker);
    if (!hMarker)
        return; // its delivery is under way
    if (!PathFileExistsW(wstrJobFolder.c_str())) {
        FILE_DISPOSITION_INFO info = {TRUE};
        SetFileInformationByHandle(hMarker.get(), FileDispositionInfo, &info, sizeof(info));
        return;
    }
    TraceMsg(L" The delivery of %s was cut off; it is made again\r\n", wstrJobFolder.c_str());
    deliveries.push_back({wstrJobFolder, std::move(hMarker), true});
}

bool IsDeliveryMarker(const wchar_t* pwszName, DWORD dwAttributes)
{
    return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && EndsWithNoCase(pwszName, kDeliveryMarkerTail);
}

} // namespace

bool RecoverEndedFilings(const DeviceInfo* pDeviceInfo)
{
    if (!PathFileExistsW(pDeviceInfo->szDocFolder))
        return false;
    std::vector<PendingDelivery> deliveries;
    bool bKept = false;
    {
        DocumentsLock lock(pDeviceInfo->szDocFolder);
        if (!lock.Held())
            return true;
        std::vector<FolderEntry> entries = ListEntries(pDeviceInfo->szDocFolder, L"*");
        // The jobs whose filing is not over are not delivered, nor those just taken.
        std::set<std::wstring> jobsTaken;
        for (const FolderEntry& entry : entries) {
            if (!IsOurLockFolder(pDeviceInfo, entry))
                continue;
            std::wstring wstrJob = entry.wstrName.substr(0, entry.wstrName.size() - 4);
            CharLowerBuffW(wstrJob.data(), static_cast<DWORD>(wstrJob.size()));
            jobsTaken.insert(wstrJob);
            if (!RecoverLockFolder(pDeviceInfo, entry, deliveries))
                bKept = true;
        }
        for (const FolderEntry& entry : entries) {
            std::wstring wstrJob = entry.wstrName.substr(0, entry.wstrName.size() - wcslen(kDeliveryMarkerTail));
            CharLowerBuffW(wstrJob.data(), static_cast<DWORD>(wstrJob.size()));
            if (IsDeliveryMarker(entry.wstrName.c_str(), entry.bFolder ? FILE_ATTRIBUTE_DIRECTORY : 0) &&
                jobsTaken.count(wstrJob) == 0)
                RecoverMarker(pDeviceInfo, entry, deliveries);
        }
    }
    // Deliveries are waited for; other filers must not wait for the lock meanwhile.
    for (PendingDelivery& delivery : deliveries) {
        if (delivery.bRedone)
            ReportDeliveryRedone(delivery.wstrJobFolder.c_str());
        StartDelivery(delivery.wstrJobFolder.c_str(), std::move(delivery.hMarker));
    }
    return bKept;
}

// One listing of Documents: a lock folder tells of a filing cut off (and any
// copy to another volume it began), a delivery marker of a delivery not over.
bool RecoveryMayHaveWork(const DeviceInfo* pDeviceInfo)
{
    std::wstring wstrPattern;
    if (!JoinPath(wstrPattern, pDeviceInfo->szDocFolder, L"*"))
        return false;
    WIN32_FIND_DATAW fd;
    bgt::UniqueFindHandle hFind(FindFirstFileW(wstrPattern.c_str(), &fd));
    if (!hFind)
        return false;
    do {
        bool bFolder = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if ((bFolder && EndsWithNoCase(fd.cFileName, L".lck")) || IsDeliveryMarker(fd.cFileName, fd.dwFileAttributes))
            return true;
    } while (FindNextFileW(hFind.get(), &fd));
    return false;
}
