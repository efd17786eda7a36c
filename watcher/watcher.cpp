// Stand-in until the watcher lands: ends at once.
#include "watcher/watcher.h"

DWORD WINAPI WatchTempFolder(LPVOID) { return 0; }
