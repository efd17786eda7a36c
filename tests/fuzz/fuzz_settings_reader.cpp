// The send-to-folder settings reader against its plain statement.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "delivery/template_bytes.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/template_model.h"

namespace {

bool Terminated(const char (&sz)[512]) { return std::memchr(sz, '\0', sizeof(sz)) != nullptr; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb)
{
    const char* pBytes = reinterpret_cast<const char*>(pData);
    // Filled with garbage first: the reader must clear it.
    std::unique_ptr<SendToFolderSettings> pSettings(new SendToFolderSettings);
    std::memset(pSettings.get(), 0x5A, sizeof(SendToFolderSettings));
    SettingsReadEnd end = ReadSendToFolderSettingsFromBytes(pBytes, cb, pSettings.get());

    model::Settings expected = model::ReadSettings(std::string(pBytes, cb));
    FUZZ_CHECK(Terminated(pSettings->szPCFolderPath));
    FUZZ_CHECK(Terminated(pSettings->szPCBaseFileName));
    FUZZ_CHECK(Terminated(pSettings->szPCPreview));
    FUZZ_CHECK(pSettings->bSendToFolder == expected.bSendToFolder);
    FUZZ_CHECK((end == SettingsReadEnd::PreviewOn) == expected.bStoppedByPreview);
    FUZZ_CHECK(pSettings->szPCFolderPath == expected.folder);
    FUZZ_CHECK(pSettings->szPCBaseFileName == expected.baseName);
    FUZZ_CHECK(pSettings->szPCPreview == expected.preview);
    FUZZ_CHECK(pSettings->bFolderCut == expected.bFolderCut);
    FUZZ_CHECK(pSettings->bBaseNameCut == expected.bBaseNameCut);
    // No setting keeps the line's newline.
    FUZZ_CHECK(std::strchr(pSettings->szPCFolderPath, '\n') == nullptr);
    FUZZ_CHECK(std::strchr(pSettings->szPCBaseFileName, '\n') == nullptr);
    return 0;
}
