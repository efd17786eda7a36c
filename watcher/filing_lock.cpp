#include "watcher/filing_lock.h"

#include "common/bounded_string.h"
#include "common/trace.h"
#include "discovery/protected_folder.h"
#include "discovery/state.h"

namespace {

// Another filer holds the lock over the moves of one job: a few seconds when a
// file of it is held open, longer for a big scan copied to another volume.
// Past this the scan waits for the retry, as a held file does.
constexpr DWORD kLockWaitMs = 15000;
constexpr DWORD kLockPollMs = 20;

bgt::UniqueFileHandle OpenLockFile(const wchar_t* pwszPath)
{
    return bgt::UniqueFileHandle(CreateFileW(pwszPath, GENERIC_READ | DELETE, 0, nullptr, OPEN_ALWAYS,
                                             FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
}

// Taken by another filer (or, on Windows, still being deleted by the last one).
bool IsTakenError(DWORD dwError)
{
    return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_ACCESS_DENIED || dwError == ERROR_LOCK_VIOLATION;
}

} // namespace

DocumentsLock::DocumentsLock(const wchar_t* pwszDocFolder)
{
    // An empty folder (one that did not fit) would put the lock at the drive's root.
    if (pwszDocFolder[0] == L'\0')
        return;
    wchar_t wszPath[kPathChars];
    if (FAILED(bgt::StringCchPrintfW(wszPath, kPathCapacity, L"%s\\%s", pwszDocFolder, kFilingLockName))) {
        TraceMsg(L" The path %s does not fit, the job is not filed\r\n", wszPath);
        return;
    }
    bool bFolderMade = false;
    ULONGLONG ullGiveUpAt = GetTickCount64() + kLockWaitMs;
    for (;;) {
        m_hLock = OpenLockFile(wszPath);
        if (m_hLock)
            return;
        DWORD dwError = GetLastError();
        if (dwError == ERROR_PATH_NOT_FOUND && !bFolderMade) {
            // The job folders would make it too, under the same access list.
            bFolderMade = true;
            if (SUCCEEDED(CreateProtectedFolder(pwszDocFolder)))
                continue;
        }
        if (!IsTakenError(dwError) || GetTickCount64() >= ullGiveUpAt) {
            TraceMsg(L" The filing lock of %s cannot be had: %d; the scan waits\r\n", pwszDocFolder, dwError);
            return;
        }
        // A real wait on another filer, not a pause of this one.
        Sleep(kLockPollMs);
    }
}
