#pragma once
#include <windows.h>

// True on Windows Vista or later (major version 6 or more), as GetVersionExW
// reports it; false when the version cannot be had at all.
bool IsVistaOrLater();
