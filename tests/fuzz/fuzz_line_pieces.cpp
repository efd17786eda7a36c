// The text-mode line reader against its plain statement, with the real piece
// size and with small buffers that cut almost every line.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "delivery/template_bytes.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/template_model.h"

namespace {

void CheckPieces(const uint8_t* pData, size_t cb, size_t cbLine)
{
    const char* pBytes = reinterpret_cast<const char*>(pData);
    std::string read = model::AsRead(model::TextPart(std::string(pBytes, cb)));
    std::vector<size_t> ends = model::PieceEnds(read, cbLine);
    TemplateTextReader reader(pBytes, cb);
    // Exactly cbLine bytes, so a write past the buffer is caught.
    std::unique_ptr<char[]> line(new char[cbLine > 0 ? cbLine : 1]);
    size_t nPieces = 0;
    size_t ibStart = 0;
    while (size_t cbPiece = reader.ReadLine(line.get(), cbLine)) {
        FUZZ_CHECK(cbPiece < cbLine);
        FUZZ_CHECK(line[cbPiece] == '\0');
        // A newline only ever ends a piece.
        const void* pNewline = std::memchr(line.get(), '\n', cbPiece);
        FUZZ_CHECK(pNewline == nullptr || pNewline == line.get() + cbPiece - 1);
        FUZZ_CHECK(nPieces < ends.size());
        FUZZ_CHECK(cbPiece == ends[nPieces] - ibStart);
        FUZZ_CHECK(std::memcmp(line.get(), read.data() + ibStart, cbPiece) == 0);
        ibStart = ends[nPieces++];
    }
    FUZZ_CHECK(nPieces == ends.size());
    // Once exhausted, it stays exhausted.
    if (cbLine > 0)
        FUZZ_CHECK(reader.ReadLine(line.get(), cbLine) == 0 && line[0] == '\0');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb)
{
    const char* pBytes = reinterpret_cast<const char*>(pData);
    size_t cbText = TemplateTextLength(pBytes, cb);
    FUZZ_CHECK(cbText == model::TextPart(std::string(pBytes, cb)).size());

    CheckPieces(pData, cb, kTemplateLineBytes);
    size_t cbSmall = cb > 0 ? pData[cb - 1] % 10 : 3; // 0..9: also the refused sizes 0 and 1
    CheckPieces(pData, cb, cbSmall);
    return 0;
}
