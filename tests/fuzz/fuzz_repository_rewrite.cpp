// The repository value search and the rewrite. The rewrite takes only a dotted
// IPv4 address as the old value, and is checked two ways: its output equals
// the template rebuilt line by line (each line's read text with every
// occurrence that stands as a whole address replaced, its line end bytes and
// everything from a Ctrl-Z on kept as they stood), and, in the case the
// program meets (the old value is the template's repository value, the new one
// an address), reading the output again finds the new address where the old
// value stood.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "delivery/template_bytes.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/template_model.h"

namespace {

void AppendReplaced(std::string& out, std::string_view text, const std::string& oldValue, const std::string& newValue)
{
    size_t ib = 0;
    while (ib < text.size()) {
        if (text.compare(ib, oldValue.size(), oldValue) == 0 && model::StandsWhole(text, ib, oldValue.size())) {
            out.append(newValue);
            ib += oldValue.size();
        } else {
            out += text[ib++];
        }
    }
}

// Each raw line is its read text plus its line end: LF, CR LF, or nothing for
// the last. Occurrences never span a line end, since the old value holds no LF
// and the CR of a CR LF is no text.
std::string ExpectedRewrite(const std::string& bytes, const std::string& oldValue, const std::string& newValue)
{
    std::string_view text = std::string_view(bytes).substr(0, model::TextPart(bytes).size());
    std::string out;
    size_t ib = 0;
    while (ib < text.size()) {
        size_t ibLf = text.find('\n', ib);
        size_t ibEnd = ibLf == std::string_view::npos ? text.size() : ibLf;
        std::string_view lineEnd = ibLf == std::string_view::npos ? "" : "\n";
        if (ibLf != std::string_view::npos && ibEnd > ib && text[ibEnd - 1] == '\r') {
            --ibEnd;
            lineEnd = "\r\n";
        }
        AppendReplaced(out, text.substr(ib, ibEnd - ib), oldValue, newValue);
        out.append(lineEnd);
        ib = ibEnd + lineEnd.size();
    }
    out.append(bytes, text.size());
    return out;
}

// Every piece ended by its line end: the rewrite then cannot move a piece boundary.
bool PiecesAreLines(const std::string& bytes)
{
    std::string read = model::AsRead(model::TextPart(bytes));
    size_t ibStart = 0;
    for (size_t ibEnd : model::PieceEnds(read, kTemplateLineBytes)) {
        if (ibEnd - ibStart == kTemplateLineBytes - 1)
            return false;
        ibStart = ibEnd;
    }
    return true;
}

std::string Rewrite(const std::string& bytes, const std::string& oldValue, const std::string& newValue, bool* pbDone,
                    bool bTryShortBuffer = false)
{
    size_t cbNew = 0;
    *pbDone = MeasureRepositoryRewrite(bytes.data(), bytes.size(), oldValue.c_str(), newValue.c_str(), &cbNew);
    if (!*pbDone)
        return "";
    // Exact-size buffers: one byte short must be refused without a write past it.
    if (bTryShortBuffer && cbNew > 0) {
        std::unique_ptr<char[]> pShort(new char[cbNew - 1 > 0 ? cbNew - 1 : 1]);
        size_t cbWritten = 12345;
        FUZZ_CHECK(!WriteRepositoryRewrite(bytes.data(), bytes.size(), oldValue.c_str(), newValue.c_str(),
                                           pShort.get(), cbNew - 1, &cbWritten));
        FUZZ_CHECK(cbWritten == 12345);
    }
    std::unique_ptr<char[]> pOut(new char[cbNew > 0 ? cbNew : 1]);
    size_t cbWritten = 0;
    FUZZ_CHECK(WriteRepositoryRewrite(bytes.data(), bytes.size(), oldValue.c_str(), newValue.c_str(), pOut.get(),
                                      cbNew, &cbWritten));
    FUZZ_CHECK(cbWritten == cbNew);
    return std::string(pOut.get(), cbWritten);
}

void CheckRewrite(const std::string& bytes, const std::string& oldValue, const std::string& newValue,
                  bool bTryShortBuffer)
{
    bool bDone = false;
    std::string out = Rewrite(bytes, oldValue, newValue, &bDone, bTryShortBuffer);
    FUZZ_CHECK(bDone == model::IsAddress(oldValue));
    FUZZ_CHECK(IsDottedIPv4Address(oldValue.c_str()) == model::IsAddress(oldValue));
    if (bDone)
        FUZZ_CHECK(out == ExpectedRewrite(bytes, oldValue, newValue));
}

// The program's own case, read back.
void CheckReparse(const std::string& bytes, const std::string& oldValue, const std::string& address)
{
    FUZZ_CHECK(model::IsAddress(address));
    bool bDone = false;
    std::string out = Rewrite(bytes, oldValue, address, &bDone);
    // Any other value leaves the template as it is.
    FUZZ_CHECK(bDone == model::IsAddress(oldValue));
    if (!bDone)
        return;
    FUZZ_CHECK(out == ExpectedRewrite(bytes, oldValue, address));
    // A line that grows or shrinks across the piece size moves the pieces.
    if (!PiecesAreLines(bytes) || !PiecesAreLines(out))
        return;
    char szFound[kTemplateLineBytes];
    FUZZ_CHECK(FindRepositoryValue(out.data(), out.size(), szFound, sizeof(szFound)));
    FUZZ_CHECK(address == szFound);
    // The rewrite joined and split no line.
    FUZZ_CHECK(model::PieceEnds(model::AsRead(model::TextPart(out)), kTemplateLineBytes).size() ==
               model::PieceEnds(model::AsRead(model::TextPart(bytes)), kTemplateLineBytes).size());
}

void CheckRepositoryValue(const std::string& bytes, std::string* pValue, bool* pbFound)
{
    std::string expected;
    bool bExpected = model::RepositoryValue(bytes, &expected);
    char szValue[kTemplateLineBytes];
    *pbFound = FindRepositoryValue(bytes.data(), bytes.size(), szValue, sizeof(szValue));
    FUZZ_CHECK(*pbFound == bExpected);
    if (!*pbFound)
        return;
    FUZZ_CHECK(expected == szValue);
    *pValue = szValue;
    // A field too small for the value is refused and left empty.
    char szSmall[kAddressFieldBytes];
    bool bFits = FindRepositoryValue(bytes.data(), bytes.size(), szSmall, sizeof(szSmall));
    FUZZ_CHECK(bFits == (expected.size() < sizeof(szSmall)));
    FUZZ_CHECK(bFits ? expected == szSmall : szSmall[0] == '\0');
}

const char* const kNewValues[] = {
    "192.168.1.20", "1", "255.255.255.255", "10.0.0.9", "", "x\"y", "a\rb", "RepositoryName", "\x1A", "\r",
    "\n",
};
const std::string kLongValue(300, '3');
// Old addresses that inputs hold inside longer numbers and addresses, and whole.
const char* const kOldAddresses[] = {"10.0.0.1", "1.2.3.4", "0.0.0.0", "192.168.1.2", "1.1.1.1"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb)
{
    std::string bytes(reinterpret_cast<const char*>(pData), cb);
    std::string value;
    bool bFound = false;
    CheckRepositoryValue(bytes, &value, &bFound);
    const char* pszNew = kNewValues[cb % (sizeof(kNewValues) / sizeof(kNewValues[0]))];
    // One rewrite of the found value per input: alternately an address, read
    // back, and any other new text.
    if (bFound && cb % 2 == 0)
        CheckReparse(bytes, value, cb % 4 == 0 ? std::string("192.168.1.20") : "7.7.7." + std::to_string(cb % 256));
    else if (bFound)
        CheckRewrite(bytes, value, cb % 3 == 0 ? kLongValue.c_str() : pszNew, false);
    // A known address, against whatever digits and dots stand around it.
    CheckRewrite(bytes, kOldAddresses[cb % (sizeof(kOldAddresses) / sizeof(kOldAddresses[0]))], "255.255.255.255",
                 cb % 3 == 1);
    // Any old value cut from the input itself, up to its first NUL (or an LF,
    // which must be refused).
    if (cb >= 2) {
        size_t ibStart = pData[0] % cb;
        std::string oldValue = bytes.substr(ibStart, 1 + pData[1] % 6);
        oldValue = oldValue.substr(0, oldValue.find('\0'));
        CheckRewrite(bytes, oldValue, pData[1] % 4 == 0 ? kLongValue.c_str() : pszNew, pData[1] % 4 == 1);
    }
    return 0;
}
