// Reference timings for the benchmarks, taken with the same calls the task makes:
//   benchref temppath                  print the user's temporary folder
//   benchref copy2 SRC DST             two plain copies, SRC -> temporary folder -> DST,
//                                      as a delivery stages them; prints ms
//   benchref exists PATH N             N existence checks of PATH; prints wall and CPU ms
//   benchref sleep N                   N pauses of 1000 ms; prints how long each took
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
    if (argc >= 4 && wcscmp(argv[1], L"hold") == 0)
        return HoldOpen(_wtol(argv[2]), argc - 3, argv + 3);
    fwprintf(stderr, L"usage: benchref temppath | copy2 SRC DST | exists PATH N | sleep N | hold S PATH...\n");
    return 2;
}
