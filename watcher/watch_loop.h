#pragma once
// The watch of one scanner's temporary folder, after the watcher's start-up.
#include <windows.h>

struct DeviceInfo;

// Runs on the watcher thread until the folder can no longer be watched. Takes
// over the pause event "WaitEvent" (may be null), the completion event and the
// overlapped record that the start-up prepared, and closes both events.
void WatchFolder(DeviceInfo* pDeviceInfo, HANDLE hWaitEvent, HANDLE hCompletionEvent, OVERLAPPED* pOverlapped);
