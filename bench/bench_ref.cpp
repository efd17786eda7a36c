// Reference timings for the benchmarks, taken with the same calls the task makes:
//   benchref temppath                  print the user's temporary folder
//   benchref copy2 SRC DST             two plain copies, SRC -> temporary folder -> DST,
//                                      as a delivery stages them; prints ms
//   benchref exists PATH N             N existence checks of PATH; prints wall and CPU ms
//   benchref sleep N                   N pauses of 1000 ms; prints how long each took
//   benchref fileops FOLDER N          N rounds, in FOLDER, of the file operations a
//                                      single-file filing cannot do without; prints
//                                      how long each round took
//   benchref hold S PATH...            holds each file or folder open, sharing reading
//                                      only, for S seconds, as another program would
#include <windows.h>
#include <shlwapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

double NowMs()
{
    LARGE_INTEGER liFreq{};
    LARGE_INTEGER liNow{};
    QueryPerformanceFrequency(&liFreq);
    QueryPerformanceCounter(&liNow);
    return static_cast<double>(liNow.QuadPart) * 1000.0 / static_cast<double>(liFreq.QuadPart);
}

double ThreadCpuMs()
{
    FILETIME ftCreate{}, ftExit{}, ftKernel{}, ftUser{};
    if (!GetThreadTimes(GetCurrentThread(), &ftCreate, &ftExit, &ftKernel, &ftUser))
        return -1.0;
    auto toMs = [](const FILETIME& ft) {
        return static_cast<double>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) /
               10000.0;
    };
    return toMs(ftKernel) + toMs(ftUser);
}

std::wstring TempFolder()
{
    wchar_t wszTemp[MAX_PATH + 1] = {};
    DWORD cch = GetTempPathW(MAX_PATH, wszTemp);
    return cch > 0 && cch < MAX_PATH ? std::wstring(wszTemp) : std::wstring();
}

std::wstring FileNameOf(const std::wstring& path)
{
    size_t pos = path.find_last_of(L"\\/");
    return pos == std::wstring::npos ? path : path.substr(pos + 1);
}

int PrintTempPath()
{
    std::wstring temp = TempFolder();
    if (temp.empty())
        return 1;
    wprintf(L"%ls\n", temp.c_str());
    return 0;
}

// The delivery copies the job's image into the temporary folder and from there to the
// PC folder: the fair reference is the same two copies, with nothing else around them.
int CopyTwice(const wchar_t* pwszSource, const wchar_t* pwszTarget)
{
    std::wstring staging = TempFolder() + L"bench_" + FileNameOf(pwszSource);
    double dStart = NowMs();
    if (!CopyFileW(pwszSource, staging.c_str(), FALSE)) {
        fwprintf(stderr, L"CopyFileW to the temporary folder failed: %lu\n", GetLastError());
        return 1;
    }
    if (!CopyFileW(staging.c_str(), pwszTarget, FALSE)) {
        fwprintf(stderr, L"CopyFileW to the target failed: %lu\n", GetLastError());
        DeleteFileW(staging.c_str());
        return 1;
    }
    double dEnd = NowMs();
    DeleteFileW(staging.c_str());
    wprintf(L"ms=%.3f\n", dEnd - dStart);
    return 0;
}

int CheckExistence(const wchar_t* pwszPath, long lCount)
{
    double dCpuStart = ThreadCpuMs();
    double dStart = NowMs();
    long lFound = 0;
    for (long i = 0; i < lCount; ++i)
        lFound += PathFileExistsW(pwszPath) ? 1 : 0;
    double dEnd = NowMs();
    double dCpuEnd = ThreadCpuMs();
    wprintf(L"checks=%ld found=%ld wall_ms=%.3f cpu_ms=%.3f\n", lCount, lFound, dEnd - dStart, dCpuEnd - dCpuStart);
    return 0;
}

int TimePauses(long lCount)
{
    for (long i = 0; i < lCount; ++i) {
        double dStart = NowMs();
        Sleep(1000);
        wprintf(L"sleep_ms=%.3f\n", NowMs() - dStart);
    }
    return 0;
}

// What a single-file filing does to the file system and cannot do without: take
// the filing lock (a file deleted on close), create its lock folder and the job
// folder, move the image and the scan's own file, write the marker, remove the
// marker and the lock folder. The floor under the filing overhead on this
// platform, whatever the task does around it.
bool FilingOperations(const std::wstring& folder, long lRound)
{
    std::wstring round = folder + L"\\ref" + std::to_wstring(lRound);
    std::wstring image = round + L"_S.tif";
    std::wstring scanFile = round + L"_S.osm";
    for (const std::wstring& file : {image, scanFile}) {
        HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(h);
    }
    std::wstring lockFolder = round + L"_S.filing";
    std::wstring job = round + L"_Job";
    std::wstring marker = lockFolder + L"\\marker";
    double dStart = NowMs();
    HANDLE hLock = CreateFileW((folder + L"\\ref filing.lock").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    bool bDone = hLock != INVALID_HANDLE_VALUE && CreateDirectoryW(lockFolder.c_str(), nullptr) &&
                 CreateDirectoryW(job.c_str(), nullptr) &&
                 MoveFileExW(image.c_str(), (job + L"\\S.tif").c_str(), 0) &&
                 MoveFileExW(scanFile.c_str(), (job + L"\\S.osm").c_str(), 0);
    HANDLE hMarker = bDone ? CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)
                           : INVALID_HANDLE_VALUE;
    bDone = hMarker != INVALID_HANDLE_VALUE && CloseHandle(hMarker) && DeleteFileW(marker.c_str()) &&
            RemoveDirectoryW(lockFolder.c_str());
    if (hLock != INVALID_HANDLE_VALUE)
        CloseHandle(hLock);
    double dEnd = NowMs();
    DeleteFileW((job + L"\\S.tif").c_str());
    DeleteFileW((job + L"\\S.osm").c_str());
    RemoveDirectoryW(job.c_str());
    if (bDone)
        wprintf(L"fileops_ms=%.3f\n", dEnd - dStart);
    return bDone;
}

int TimeFilingOperations(const wchar_t* pwszFolder, long lCount)
{
    for (long i = 0; i < lCount; ++i) {
        if (!FilingOperations(pwszFolder, i)) {
            fwprintf(stderr, L"file operations failed in round %ld: %lu\n", i, GetLastError());
            return 1;
        }
        Sleep(50);
    }
    return 0;
}

// Another program that holds files open: none of them can be moved meanwhile.
int HoldOpen(long lSeconds, int nPaths, wchar_t** ppwszPaths)
{
    std::vector<HANDLE> handles;
    for (int i = 0; i < nPaths; ++i) {
        HANDLE h = CreateFileW(ppwszPaths[i], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            handles.push_back(h);
    }
    wprintf(L"held=%zu\n", handles.size());
    fflush(stdout);
    Sleep(static_cast<DWORD>(lSeconds) * 1000);
    for (HANDLE h : handles)
        CloseHandle(h);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && wcscmp(argv[1], L"temppath") == 0)
        return PrintTempPath();
    if (argc == 4 && wcscmp(argv[1], L"copy2") == 0)
        return CopyTwice(argv[2], argv[3]);
    if (argc == 4 && wcscmp(argv[1], L"exists") == 0)
        return CheckExistence(argv[2], _wtol(argv[3]));
    if (argc == 3 && wcscmp(argv[1], L"sleep") == 0)
        return TimePauses(_wtol(argv[2]));
    if (argc == 4 && wcscmp(argv[1], L"fileops") == 0)
        return TimeFilingOperations(argv[2], _wtol(argv[3]));
    if (argc >= 4 && wcscmp(argv[1], L"hold") == 0)
        return HoldOpen(_wtol(argv[2]), argc - 3, argv + 3);
    fwprintf(stderr, L"usage: benchref temppath | copy2 SRC DST | exists PATH N | sleep N | fileops FOLDER N"
                     L" | hold S PATH...\n");
    return 2;
}
