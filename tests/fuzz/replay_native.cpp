// Prints the replay digest of every corpus file from the bytes alone.
// Usage: template_replay_native <corpus folder> <digest file>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "delivery/template_bytes.h"
#include "tests/fuzz/replay_digest.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ReplaySettings Settings(const std::string& bytes)
{
    std::unique_ptr<SendToFolderSettings> p(new SendToFolderSettings);
    ReplaySettings s;
    s.bStoppedByPreview = ReadSendToFolderSettingsFromBytes(bytes.data(), bytes.size(), p.get()) ==
                          SettingsReadEnd::PreviewOn;
    s.folder = p->szPCFolderPath;
    s.baseName = p->szPCBaseFileName;
    s.preview = p->szPCPreview;
    s.bSendToFolder = p->bSendToFolder;
    return s;
}

// What the repository check on Windows does with these bytes as the first
// template and kReplayAddress as the PC's address.
ReplayUpdate Update(const std::string& bytes)
{
    ReplayUpdate u{1, bytes};
    char szOld[kTemplateLineBytes];
    if (!FindRepositoryValue(bytes.data(), bytes.size(), szOld, sizeof(szOld)))
        return u;
    if (std::strcmp(szOld, kReplayAddress) == 0)
        return ReplayUpdate{0, bytes};
    size_t cbNew = 0;
    if (!MeasureRepositoryRewrite(bytes.data(), bytes.size(), szOld, kReplayAddress, &cbNew))
        return u;
    std::string out(cbNew, '\0');
    size_t cbWritten = 0;
    if (!WriteRepositoryRewrite(bytes.data(), bytes.size(), szOld, kReplayAddress, out.data(), cbNew, &cbWritten))
        return u;
    out.resize(cbWritten);
    return ReplayUpdate{0, out};
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <corpus folder> <digest file>\n", argv[0]);
        return 2;
    }
    std::vector<std::string> names;
    for (const fs::directory_entry& target : fs::directory_iterator(argv[1]))
        if (target.is_directory())
            for (const fs::directory_entry& file : fs::directory_iterator(target.path()))
                names.push_back(target.path().filename().string() + "/" + file.path().filename().string());
    std::sort(names.begin(), names.end());

    std::string digest;
    for (const std::string& name : names) {
        std::string bytes = ReadAll(fs::path(argv[1]) / name);
        digest += ReplayDigestLine(name, bytes, Settings(bytes), Update(bytes));
    }
    std::ofstream(argv[2], std::ios::binary) << digest;
    std::fputs(digest.c_str(), stdout);
    std::printf("%zu corpus files replayed\n", names.size());
    return names.empty() ? 1 : 0;
}
