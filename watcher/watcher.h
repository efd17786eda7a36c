#pragma once
// The per-scanner watcher thread: start-up, then the watch of the temporary folder.
#include <windows.h>

struct DeviceInfo;

// Thread entry; the argument is the scanner's DeviceInfo.
DWORD WINAPI WatchTempFolder(LPVOID pvDeviceInfo);
