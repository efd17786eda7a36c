// The names a job is filed under in Documents.
#include <shlwapi.h>

#include <cstdarg>

#include "common/bounded_string.h"
#include "common/trace.h"
#include "discovery/protected_folder.h"
#include "watcher/filing_parts.h"

namespace filing {

namespace {

// A counter this high means the Documents folder is not what we think it is;
// better to leave the scan where it is than to keep probing.
constexpr DWORD kMaxNameCounter = 9999;

// A name is free only when neither its job folder nor its lock folder exists:
// a folder of the lock folder's name that someone else made is never taken
// for ours (its access list is not rewritten, and no recovery acts on it).
bool TrySuffix(const DeviceInfo* pDev, const wchar_t* pwszStem, JobNames& names, bool& bFree)
{
    if (!BuildPath(names.wszJobFolder, L"%s%s%s%s%s", pDev->szDocFolder, L"\\", pwszStem, names.wszSuffix, L".osm") ||
        !BuildPath(names.wszLockFolder, L"%s%s%s%s%s", pDev->szDocFolder, L"\\", pwszStem, names.wszSuffix, L".lck"))
        return false;
    bFree = !PathFileExistsW(names.wszJobFolder) && !PathFileExistsW(names.wszLockFolder);
    return true;
}

bool FormatSuffix(JobNames& names, const JobStamp& stamp, DWORD dwCounter)
{
    HRESULT hr = stamp.bMade
                     ? bgt::StringCchPrintfW(names.wszSuffix, kPathChars, L"_%s_%u", stamp.wszText, dwCounter)
                     : bgt::StringCchPrintfW(names.wszSuffix, kPathChars, L"_%u", dwCounter);
    return SUCCEEDED(hr);
}

} // namespace

bool BuildPath(PathBuffer& wszPath, const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = bgt::StringCchVPrintfW(wszPath, kPathCapacity, pszFormat, args);
    va_end(args);
    if (FAILED(hr)) {
        TraceMsg(L" The path %s does not fit, the job is not filed\r\n", wszPath);
        return false;
    }
    return true;
}

void MakeStamp(JobStamp& stamp)
{
    stamp.bMade = SUCCEEDED(GenTimeDateName(stamp.wszText, kPathCapacity));
    TraceMsg(stamp.bMade ? L" GenTimeDateName Success\r\n" : L" GenTimeDateName FAILED\r\n");
}

// The plain name first; when taken, the stamped name; when that is taken too
// (two jobs of one stem within a second) or there is no stamp, a counter.
bool ChooseJobNames(const DeviceInfo* pDev, const wchar_t* pwszStem, const JobStamp& stamp, bool bSingleFile,
                    JobNames& names)
{
    names.wszSuffix[0] = L'\0';
    bool bFree = false;
    if (!TrySuffix(pDev, pwszStem, names, bFree))
        return false;
    if (!bFree) {
        if (stamp.bMade) {
            if (FAILED(bgt::StringCchPrintfW(names.wszSuffix, kPathChars, L"_%s", stamp.wszText)) ||
                !TrySuffix(pDev, pwszStem, names, bFree))
                return false;
        } else if (bSingleFile) {
            TraceMsg(L" Generating Time Stamp Faild \r\n");
        }
    }
    for (DWORD dwCounter = 2; !bFree; ++dwCounter) {
        if (dwCounter > kMaxNameCounter) {
            TraceMsg(L" No free job folder name for %s, the job is not filed\r\n", pwszStem);
            return false;
        }
        if (!FormatSuffix(names, stamp, dwCounter) || !TrySuffix(pDev, pwszStem, names, bFree))
            return false;
    }
    return true;
}

bool CreateLockFolder(const wchar_t* pwszLockFolder)
{
    if (FAILED(CreateProtectedFolder(pwszLockFolder))) {
        TraceMsg(L" Lock Folder For New Job Creation FAILED at %s\r\n", pwszLockFolder);
        return false;
    }
    TraceMsg(L" Lock Folder For New Job Sucessfully Created at %s\r\n", pwszLockFolder);
    return true;
}

bool CreateJobFolder(const wchar_t* pwszJobFolder)
{
    HRESULT hr = CreateProtectedFolder(pwszJobFolder);
    if (FAILED(hr)) {
        TraceMsg(L" New Job Folder Creation FAILED at %s\r\n", pwszJobFolder);
        SetLastError(HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr));
        return false;
    }
    TraceMsg(L" New Job Folder Sucessfully Created at %s\r\n", pwszJobFolder);
    return true;
}

bgt::UniqueFileHandle CreateDeliveryMarker(const wchar_t* pwszJobFolder)
{
    size_t cchFolder = wcslen(pwszJobFolder);
    PathBuffer wszMarker;
    if (cchFolder < 4 || !BuildPath(wszMarker, L"%.*s%s", static_cast<int>(cchFolder - 4), pwszJobFolder,
                                    kDeliveryMarkerTail))
        return bgt::UniqueFileHandle();
    bgt::UniqueFileHandle hMarker(CreateFileW(wszMarker, GENERIC_READ | DELETE, 0, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (!hMarker)
        TraceMsg(L" The delivery marker %s cannot be made: %d\r\n", wszMarker, GetLastError());
    return hMarker;
}

void MarkForDelivery(JobNames& names)
{
    names.hDeliveryMarker = CreateDeliveryMarker(names.wszJobFolder);
}

void RemoveLockFolder(const wchar_t* pwszLockFolder) { RemoveDirectoryW(pwszLockFolder); }

} // namespace filing
