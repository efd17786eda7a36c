#pragma once
// Delivery of one filed job's image to the PC folder its template names.
#include <windows.h>

// Thread entry. The argument is a wide text allocated with HeapAlloc on the
// process heap holding the job folder path; the delivery owns it and frees it.
// Exit code 1, or 0 when a copy to the destination failed or an exception was caught.
DWORD WINAPI SendToFolder(LPVOID pvJobFolderPath);
