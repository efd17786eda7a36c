// Stand-in until send-to-folder lands.
#include "delivery/send_to_folder.h"

DWORD WINAPI SendToFolder(LPVOID pvJobFolderPath)
{
    HeapFree(GetProcessHeap(), 0, pvJobFolderPath);
    return 1;
}
