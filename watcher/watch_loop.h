#pragma once
// The watch of one scanner's temporary folder, after the watcher's start-up.
#include <windows.h>

struct DeviceInfo;

// Runs on the watcher thread until the folder can no longer be watched. Takes
// over the pause event "WaitEvent" (may be null) and the completion event that
// the start-up prepared, and closes both. The overlapped record lives with the
// read buffer, inside the watch.
void WatchFolder(DeviceInfo* pDeviceInfo, HANDLE hWaitEvent, HANDLE hCompletionEvent);

// Has every watch look for finished scans that no report announced within a few
// seconds: after a session end that did not happen, a scan that could not be
// filed while it held (the user's SID was given back) is filed then.
void RequestCatchUp();
