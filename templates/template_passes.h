#pragma once
// The template passes: delete every template of the user at a session end, and
// republish them when a watcher starts. Both run under g_csTemplateLock.
#include <windows.h>

struct DeviceInfo;

// Thread body started suspended by the window procedure at a session-end query;
// the argument is the query's lParam. Returns 0.
DWORD WINAPI DeleteTemplateThread(LPVOID pvQueryLParam);
