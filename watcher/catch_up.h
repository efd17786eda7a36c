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

// Finishes what an ended task left in Documents: every lock folder goes, an
// empty job folder under it goes too (its scan is still whole in the temporary
// folder), and a single-file job cut off between its two moves gets its
// template copy and its delivery.
void RecoverEndedFilings(const DeviceInfo* pDeviceInfo);
