#pragma once
// Runs the folder watch on a thread of its own, as the watcher thread would after
// its start-up, which hands it both events.
#include <windows.h>

#include "watcher/watch_loop.h"

namespace testsupport {

struct WatchArgs {
    DeviceInfo* pDevice;
    HANDLE hWait;
    HANDLE hCompletion;
};

inline DWORD WINAPI RunWatch(LPVOID pv)
{
    auto* pArgs = static_cast<WatchArgs*>(pv);
    WatchFolder(pArgs->pDevice, pArgs->hWait, pArgs->hCompletion);
    return 0;
}

} // namespace testsupport
