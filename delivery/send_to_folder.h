#pragma once
// Delivery of one filed job's image to the PC folder its template names.
#include <windows.h>

// Thread entry. The argument is a wide text allocated with HeapAlloc on the
// process heap holding the job folder path; the delivery owns it and frees it.
// Exit code 1, or 0 when a copy to the destination failed or an exception was caught.
DWORD WINAPI SendToFolder(LPVOID pvJobFolderPath);

// The same, for a job whose delivery marker the caller holds open: the marker
// is set to go as the image takes its name in the PC folder, so that a task
// ended after that moment never delivers the job a second time.
DWORD SendToFolderMarked(LPVOID pvJobFolderPath, HANDLE hMarker);
