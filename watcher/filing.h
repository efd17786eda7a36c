#pragma once
// Job filing: every lock entry that goes away in a scanner's temporary folder
// announces a finished scan, which is moved into a new job folder under the
// scanner's Documents folder and then handed to the send-to-folder delivery.
#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "common/owners.h"

struct DeviceInfo;

// Fills pwszName with the local time as "year-month-day_hour-minute-second",
// without leading zeros. S_OK, STRSAFE_E_INSUFFICIENT_BUFFER when the text was
// cut short, E_INVALIDARG for a capacity of 0.
HRESULT GenTimeDateName(wchar_t* pwszName, size_t cchName);

// What became of a scan the filing took up. Held: a file of it was held open by
// another program past the retries; the scan stays whole for a later try.
// Refused: an error that waiting will not mend (a folder refused, a move that
// can never succeed); the scan stays whole, is reported once, and is tried again
// only at the next start or when its folder changes.
enum class FilingOutcome { NotFiled, Filed, Held, Refused };

// Files the scan that one change record announces, if any. pwchName is the
// record's name (not terminated), cbName its length in bytes. Returns once the
// filing is over and its delivery has ended or been waited for 5000 ms.
FilingOutcome FileScanRecord(const DeviceInfo* pDeviceInfo, const wchar_t* pwchName, DWORD cbName);

// How long a move waits out a file another program holds: a scan met for the
// first time gets a couple of seconds of short steps, cut short once hReportIn
// is signalled (a report is in, and waits for this move); one tried before,
// which waits out a pause of its own between tries, one attempt, so that old
// held scans do not keep new ones waiting.
struct HeldWait {
    enum class Kind { Steps, Once };
    Kind kind = Kind::Steps;
    HANDLE hReportIn = nullptr;
};

// Files the finished scan <stem> that no report announced, exactly as a report
// of its lock entry would; the settling pause only when bSettle.
FilingOutcome FileFinishedScan(const DeviceInfo* pDeviceInfo, const wchar_t* pwszStem, bool bSettle,
                               HeldWait heldWait = {});

// True when none of the paths that exist was written in the last few seconds.
bool FilesQuiet(const std::vector<std::wstring>& paths);

// Starts SendToFolder on a thread of its own with a private copy of the job
// folder path, waits for it at most 5000 ms and lets go of its handle. The
// thread owns the job's delivery marker (if any) and removes it once the
// delivery has ended; a task ended before leaves it for the next start.
void StartDelivery(const wchar_t* pwszJobFolder, bgt::UniqueFileHandle hMarker);
