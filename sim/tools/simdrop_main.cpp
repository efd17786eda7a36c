// Scan drop tool: behaves like the driver.
//   simdrop TEMPFOLDER STEM [--kind tif|pdf|xps|jpg|folder] [--pages N] [--size BYTES]
//           [--hold MS] [--burst N] [--gap MS] [--template FILE]
// With --burst N the stems are STEM_1 .. STEM_N, dropped --gap MS apart.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>

#include "sim_drop.h"

namespace {

std::string ReadAll(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot read the template file");
    std::string s;
    char buf[4096];
    DWORD cb = 0;
    while (ReadFile(h, buf, sizeof(buf), &cb, nullptr) && cb > 0)
        s.append(buf, cb);
    CloseHandle(h);
    return s;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fwprintf(stderr, L"usage: simdrop TEMPFOLDER STEM [options]\n");
        return 2;
    }
    try {
        sim::DropSpec job;
        job.tempFolder = argv[1];
        job.stem = argv[2];
        job.templateText = "RepositoryName=\"0.0.0.0\"\r\n";
        int burst = 0;
        DWORD gapMs = 0;
        for (int i = 3; i < argc; ++i) {
            std::wstring a = argv[i];
            std::wstring v = i + 1 < argc ? argv[i + 1] : L"";
            if (a == L"--kind") {
                ++i;
                job.kind = v == L"pdf" ? sim::JobKind::Pdf
                            : v == L"xps" ? sim::JobKind::Xps
                            : v == L"jpg" ? sim::JobKind::Jpg
                            : v == L"folder" ? sim::JobKind::Folder
                                             : sim::JobKind::Tif;
            } else if (a == L"--pages") { job.pages = _wtoi(v.c_str()); ++i; }
            else if (a == L"--size") { job.imageBytes = _wcstoui64(v.c_str(), nullptr, 10); ++i; }
            else if (a == L"--hold") { job.holdMs = static_cast<DWORD>(_wtoi(v.c_str())); ++i; }
            else if (a == L"--burst") { burst = _wtoi(v.c_str()); ++i; }
            else if (a == L"--gap") { gapMs = static_cast<DWORD>(_wtoi(v.c_str())); ++i; }
            else if (a == L"--template") { job.templateText = ReadAll(v); ++i; }
            else {
                fwprintf(stderr, L"simdrop: unknown option %ls\n", a.c_str());
                return 2;
            }
        }
        if (burst <= 0) {
            sim::DropScan(job);
            return 0;
        }
        std::wstring stem = job.stem;
        for (int n = 1; n <= burst; ++n) {
            job.stem = stem + L"_" + std::to_wstring(n);
            sim::DropScan(job);
            if (gapMs > 0)
                Sleep(gapMs);
        }
        return 0;
    } catch (const std::exception& e) {
        fprintf(stderr, "simdrop: %s\n", e.what());
        return 1;
    }
}
