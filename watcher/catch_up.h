#pragma once
// Finished scans that no change report announced: waiting when the watch
// begins, lost in an overflow of the change buffer, given up while a file was
// held, or left half-filed by a task that ended part way.
#include <windows.h>

#include <map>
#include <set>
#include <string>

#include "watcher/filing.h"

struct DeviceInfo;

// When each scan that could not be filed is tried again, one by one: a held
// scan after a pause of its own that starts at 20 s and doubles up to 10 min; a
// refused one (an error that waiting will not mend) not until a report names a
// file of it again, and then after the first pause, so that the filing's own
// moves cannot drive a loop. The watch keeps one for its life: a new watch
// tries everything afresh.
class ScanSchedule {
public:
    static constexpr ULONGLONG kFirstPauseMs = 20000;
    static constexpr ULONGLONG kLongestPauseMs = 600000;

    // What became of the scan <stem>; Filed forgets it, NotFiled changes nothing.
    void Note(const std::wstring& wstrStem, FilingOutcome outcome, ULONGLONG ullNow);
    // A report named a file of <stem>: a refused scan is tried again.
    void Changed(const std::wstring& wstrStem, ULONGLONG ullNow);
    bool Known(const std::wstring& wstrStem) const;
    bool Due(const std::wstring& wstrStem, ULONGLONG ullNow) const;
    // When the first scan waiting falls due; 0 when none waits for a time.
    ULONGLONG NextTry() const;
    // Forgets the scans not named: they were filed or taken away meanwhile.
    void Keep(const std::set<std::wstring>& stems);

private:
    struct Entry {
        ULONGLONG ullNextTry;
        ULONGLONG ullPauseMs;
        bool bRefused;
    };
    static std::wstring KeyOf(const std::wstring& wstrStem);
    std::map<std::wstring, Entry> m_entries;
};

// Files every finished scan in the temporary folder: a stem with no lock entry
// whose template copy stands with an image of the filed kinds, or a folder job.
// Answers true when a scan was left because a file of it was held open.
bool CatchUpFinishedScans(const DeviceInfo* pDeviceInfo);

// The same with the watch's schedule: new scans first, then those whose pause
// is over, none that waits. The pass stops early, answering false, once
// hInterrupt is signalled (a report is waiting) or after about a second spent
// on scans tried before; true when it went through.
bool CatchUpFinishedScans(const DeviceInfo* pDeviceInfo, ScanSchedule& schedule, HANDLE hInterrupt);

// Finishes, while it holds the Documents lock, what an ended task or a split
// left there: every empty lock folder goes; an empty job folder under it goes
// too (its scan is still whole in the temporary folder), as does a copy cut
// off on its way to another volume; a single-file job cut off between its two
// moves gets its template copy; and each job finished gets its delivery.
// Answers true when something must be tried again later (the lock could not
// be had, or a file is still held).
bool RecoverEndedFilings(const DeviceInfo* pDeviceInfo);

// Whether the recovery may find anything to finish: a look at Documents alone,
// without its lock and writing nothing, so that a quiet folder costs one listing.
bool RecoveryMayHaveWork(const DeviceInfo* pDeviceInfo);
