// Prints the replay digest of every corpus file as the Windows program reads
// it: the settings through ReadSendToFolderSettings on the file itself, the
// repository check through UpdateTemplateRepository on a copy of it as the one
// template of a Templates folder.
// Usage: template_replay <corpus folder> <digest file> (Linux paths, seen through Z:)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/owners.h"
#include "delivery/template_file.h"
#include "discovery/state.h"
#include "tests/fuzz/replay_digest.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

std::vector<std::wstring> Entries(const std::wstring& folder, bool bFolders)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd{};
    bgt::UniqueFindHandle hFind(FindFirstFileW((folder + L"\\*").c_str(), &fd));
    if (!hFind)
        return names;
    do {
        bool bFolder = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        std::wstring name = fd.cFileName;
        if (bFolder == bFolders && name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(hFind.get(), &fd));
    return names;
}

ReplaySettings Settings(const std::wstring& path)
{
    TraceCapture traces;
    SendToFolderSettings settings = ReadSendToFolderSettings(path.c_str());
    ReplaySettings s;
    s.folder = settings.szPCFolderPath;
    s.baseName = settings.szPCBaseFileName;
    s.preview = settings.szPCPreview;
    s.bSendToFolder = settings.bSendToFolder;
    s.bStoppedByPreview = traces.Contains(L">  SendToFolder-> Preview value is ON.  \r\n");
    return s;
}

ReplayUpdate Update(const std::string& bytes)
{
    ScratchFolder scratch;
    std::wstring templates = scratch / L"Templates";
    MakeFolder(templates);
    WriteFileBytes(templates + L"\\a.ost", bytes);
    std::unique_ptr<DeviceInfo> pDevice = std::make_unique<DeviceInfo>();
    wcscpy_s(pDevice->szTemplateFolder, templates.c_str());
    ReplayUpdate u;
    u.nResult = UpdateTemplateRepository(pDevice.get());
    u.after = ReadFileBytes(templates + L"\\a.ost");
    // Anything left beside the template would be a fault of the rewrite.
    if (ListFolder(templates) != std::vector<std::wstring>{L"a.ost"})
        u.nResult = -2;
    return u;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: template_replay <corpus folder> <digest file>\n");
        return 2;
    }
    std::wstring corpus = WinPathFromUnix(argv[1]);
    std::wstring address(kReplayAddress, kReplayAddress + strlen(kReplayAddress));
    SetIPAddressText(address.c_str());

    std::vector<std::wstring> names;
    for (const std::wstring& target : Entries(corpus, true))
        for (const std::wstring& file : Entries(corpus + L"\\" + target, false))
            names.push_back(target + L"/" + file);
    // Byte order, as the native replay sorts its names.
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) { return Narrow(a) < Narrow(b); });

    std::string digest;
    for (const std::wstring& name : names) {
        std::wstring path = corpus + L"\\" + name;
        std::replace(path.begin(), path.end(), L'/', L'\\');
        std::string bytes = ReadFileBytes(path);
        digest += ReplayDigestLine(Narrow(name), bytes, Settings(path), Update(bytes));
    }
    WriteFileBytes(WinPathFromUnix(argv[2]), digest);
    std::fwrite(digest.data(), 1, digest.size(), stdout);
    std::printf("%u corpus files replayed\n", static_cast<unsigned>(names.size()));
    return names.empty() ? 1 : 0;
}
