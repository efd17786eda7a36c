#pragma once
// One discovery pass over the imaging-device class: builds a DeviceInfo per
// family scanner and starts its watcher.
#include <windows.h>

HRESULT GetDeviceInfo();
