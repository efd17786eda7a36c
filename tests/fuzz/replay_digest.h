#pragma once
// One line per corpus file that sums up what every template reader made of it.
// The Windows build (reading real files) and the native build (reading bytes)
// print it for the same files; any difference between the two is a fault of
// one of them.
#include <string>

// The address the repository check is run with.
constexpr const char* kReplayAddress = "192.168.1.20";

struct ReplaySettings {
    std::string folder;
    std::string baseName;
    std::string preview;
    bool bSendToFolder = false;
    bool bStoppedByPreview = false;
};

struct ReplayUpdate {
    int nResult = -1;   // what the repository check answered
    std::string after;  // the template's bytes afterwards
};

// The pieces and the value rule are computed here, from the bytes; the
// settings and the repository check come from the caller, each platform its own way.
std::string ReplayDigestLine(const std::string& name, const std::string& bytes, const ReplaySettings& settings,
                             const ReplayUpdate& update);
