#pragma once
// One filer at a time per Documents folder: two watchers of one task, two tasks
// of one user (a console and a remote desktop session) and the recovery of an
// ended task can all look at the same Documents folder.
#include <windows.h>

#include "common/owners.h"

// The lock is a file opened without any sharing inside the Documents folder
// itself. The folder's access list lets only the user (and the system and the
// administrators) create anything there, so no other local user can take the
// lock first or hold it open to block the filing; a named kernel object could
// be created first by anyone who guesses its name. The file goes when its last
// handle closes, also when the process that held it is ended.
constexpr const wchar_t* kFilingLockName = L"BgndTask filing.lock";

class DocumentsLock {
public:
    // Waits at most a bounded time for the lock; Held() tells whether it came.
    explicit DocumentsLock(const wchar_t* pwszDocFolder);
    bool Held() const { return m_hLock.valid(); }

private:
    bgt::UniqueFileHandle m_hLock;
};
