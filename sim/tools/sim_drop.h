#pragma once
// Drops scans into a temporary folder the way the scanner driver does: the lock
// entry first, then the image and its template copy (or a folder of pages), then
// the lock entry removed.
#include <windows.h>

#include <string>

namespace sim {

enum class JobKind { Tif, Pdf, Xps, Jpg, Folder };

struct DropSpec {
    std::wstring tempFolder;
    std::wstring stem;
    JobKind kind = JobKind::Tif;
    int pages = 2;                 // folder jobs
    unsigned long long imageBytes = 4096;
    std::string templateText;      // copy of the template that produced the scan
    DWORD holdMs = 50;             // how long the lock entry stands after the files are written
};

// The bytes of an image: a pattern derived from the name, so that any copy can
// be checked against it.
void WriteImage(const std::wstring& path, const std::wstring& seed, unsigned long long cb);
void DropScan(const DropSpec& job);

} // namespace sim
