#pragma once
// Follows the drivers' "DeviceChange" values: 1 when a discovery pass is due.
#include <windows.h>

int CheckDeviceChange();
