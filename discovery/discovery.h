#pragma once
// One discovery pass over the imaging-device class: builds a DeviceInfo per
// family scanner and starts its watcher.
#include <windows.h>

HRESULT GetDeviceInfo();

// The watcher's thread entry (its argument is the scanner's DeviceInfo), handed
// over by the host at start-up: discovery starts the watchers without building
// on the subsystem that runs them. While none is set, no watcher is started.
void SetWatcherThreadEntry(LPTHREAD_START_ROUTINE pfnWatcherThread);
