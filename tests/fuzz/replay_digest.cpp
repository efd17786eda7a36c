#include "tests/fuzz/replay_digest.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "delivery/template_bytes.h"

namespace {

// FNV-1a, 64 bits: the same on every compiler, enough to tell texts apart.
class Fnv {
public:
    void Add(const std::string& s)
    {
        AddLength(s.size());
        for (unsigned char c : s)
            AddByte(c);
    }
    void AddLength(size_t cb)
    {
        for (int i = 0; i < 8; ++i)
            AddByte(static_cast<unsigned char>(static_cast<uint64_t>(cb) >> (8 * i)));
    }
    std::string Hex() const
    {
        char sz[17];
        std::snprintf(sz, sizeof(sz), "%016llx", static_cast<unsigned long long>(m_h));
        return sz;
    }

private:
    void AddByte(unsigned char c)
    {
        m_h ^= c;
        m_h *= 0x100000001b3ULL;
    }
    uint64_t m_h = 0xcbf29ce484222325ULL;
};

std::string Hash(const std::string& s)
{
    Fnv fnv;
    fnv.Add(s);
    return fnv.Hex();
}

std::vector<std::string> Pieces(const std::string& bytes)
{
    TemplateTextReader reader(bytes.data(), bytes.size());
    std::vector<std::string> pieces;
    char szLine[kTemplateLineBytes];
    while (size_t cb = reader.ReadLine(szLine, sizeof(szLine)))
        pieces.emplace_back(szLine, cb);
    return pieces;
}

} // namespace

std::string ReplayDigestLine(const std::string& name, const std::string& bytes, const ReplaySettings& settings,
                             const ReplayUpdate& update)
{
    std::vector<std::string> pieces = Pieces(bytes);
    Fnv piecesHash;
    Fnv valuesHash;
    size_t nValues = 0;
    for (const std::string& piece : pieces) {
        piecesHash.Add(piece);
        const char* pValue = nullptr;
        size_t cbValue = 0;
        if (GetQuotedValue(piece.c_str(), &pValue, &cbValue)) {
            ++nValues;
            valuesHash.Add(std::string(pValue, cbValue));
        } else {
            valuesHash.AddLength(SIZE_MAX);
        }
    }
    char szRepository[kTemplateLineBytes];
    bool bRepository = FindRepositoryValue(bytes.data(), bytes.size(), szRepository, sizeof(szRepository));

    std::string line = name + " size=" + std::to_string(bytes.size());
    line += " pieces=" + std::to_string(pieces.size()) + "/" + piecesHash.Hex();
    line += " values=" + std::to_string(nValues) + "/" + valuesHash.Hex();
    line += " settings=" + std::string(settings.bStoppedByPreview ? "preview-on" : "end") + "," +
            (settings.bSendToFolder ? "send" : "off") + "," + Hash(settings.folder) + "," + Hash(settings.baseName) +
            "," + Hash(settings.preview);
    line += " repository=" + (bRepository ? Hash(szRepository) : std::string("none"));
    line += " update=" + std::to_string(update.nResult) + "," + std::to_string(update.after.size()) + "/" +
            Hash(update.after);
    return line + "\n";
}
