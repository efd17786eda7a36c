#include "sim_drop.h"

#include <stdexcept>
#include <vector>

namespace sim {
namespace {

void WriteBytes(const std::wstring& path, const void* pv, DWORD cb)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create a dropped file");
    DWORD cbWritten = 0;
    if (cb > 0)
        WriteFile(h, pv, cb, &cbWritten, nullptr);
    CloseHandle(h);
}

const wchar_t* Extension(JobKind kind)
{
    switch (kind) {
    case JobKind::Pdf: return L".pdf";
    case JobKind::Xps: return L".xps";
    case JobKind::Jpg: return L".jpg";
    default: return L".tif";
    }
}

} // namespace

void WriteImage(const std::wstring& path, const std::wstring& seed, unsigned long long cb)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create an image");
    unsigned x = 2166136261u;
    for (wchar_t c : seed)
        x = (x ^ static_cast<unsigned>(c)) * 16777619u;
    std::vector<unsigned char> chunk(1 << 20);
    unsigned long long left = cb;
    while (left > 0) {
        DWORD n = static_cast<DWORD>(left < chunk.size() ? left : chunk.size());
        for (DWORD i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            chunk[i] = static_cast<unsigned char>(x >> 16);
        }
        DWORD written = 0;
        if (!WriteFile(h, chunk.data(), n, &written, nullptr) || written != n) {
            CloseHandle(h);
            throw std::runtime_error("image write failed");
        }
        left -= n;
    }
    CloseHandle(h);
}

void DropScan(const DropSpec& job)
{
    std::wstring base = job.tempFolder + L"\\" + job.stem;
    std::wstring lock = base + L".lck";
    WriteBytes(lock, nullptr, 0);
    if (job.kind == JobKind::Folder) {
        std::wstring folder = base + L".osm";
        CreateDirectoryW(folder.c_str(), nullptr);
        for (int p = 1; p <= job.pages; ++p) {
            std::wstring page = folder + L"\\p" + std::to_wstring(p);
            WriteImage(page + L".tif", job.stem + L"p" + std::to_wstring(p), job.imageBytes);
            WriteImage(page + L".tmb", job.stem + L"t" + std::to_wstring(p), 256);
            WriteImage(page + L".jpg", job.stem + L"j" + std::to_wstring(p), job.imageBytes / 2 + 1);
        }
        WriteBytes(folder + L"\\" + job.stem + L".ost", job.templateText.data(),
                   static_cast<DWORD>(job.templateText.size()));
    } else {
        WriteImage(base + Extension(job.kind), job.stem, job.imageBytes);
        WriteBytes(base + L".ost", job.templateText.data(), static_cast<DWORD>(job.templateText.size()));
    }
    Sleep(job.holdMs);
    DeleteFileW(lock.c_str());
}

} // namespace sim
