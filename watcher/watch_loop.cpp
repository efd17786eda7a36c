// Stand-in until the folder watch lands: gives the events back and ends.
#include "watcher/watch_loop.h"

void WatchFolder(DeviceInfo*, HANDLE hWaitEvent, HANDLE hCompletionEvent, OVERLAPPED*)
{
    if (hWaitEvent != nullptr)
        CloseHandle(hWaitEvent);
    if (hCompletionEvent != nullptr)
        CloseHandle(hCompletionEvent);
}
