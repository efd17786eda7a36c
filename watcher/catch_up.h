#pragma once
// Finished scans that no change report announced: waiting when the watch
// begins, lost in an overflow of the change buffer, given up while a file was
// held, or left half-filed by a task that ended part way.
#include <windows.h>

struct DeviceInfo;

// Files every finished scan in the temporary folder: a stem with no lock entry
// whose template copy stands with an image of the filed kinds, or a folder job.
// Answers true when a scan was left because a file of it was held open.
bool CatchUpFinishedScans(const DeviceInfo* pDeviceInfo);

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
