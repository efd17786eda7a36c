#pragma once
// A second, deliberately plain statement of the template rules (std::string,
// no pointers, no buffers), against which the fuzz targets check the shipped
// byte functions. It is written from the documented behaviour, not from the
// shipped code, so that a slip in either shows up as a difference.
#include <string>
#include <string_view>
#include <vector>

namespace model {

// The text part: everything before the first Ctrl-Z.
inline std::string TextPart(const std::string& bytes)
{
    size_t ib = bytes.find('\x1A');
    return ib == std::string::npos ? bytes : bytes.substr(0, ib);
}

// The text as a text-mode stream delivers it: each CR LF pair becomes LF.
inline std::string AsRead(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

// Where the pieces of the read text end: lines end after every LF, and a line
// longer than cbLine - 1 bytes is cut into runs of that many bytes.
inline std::vector<size_t> PieceEnds(const std::string& read, size_t cbLine)
{
    std::vector<size_t> ends;
    if (cbLine < 2)
        return ends;
    size_t cbCurrent = 0;
    for (size_t i = 0; i < read.size(); ++i) {
        ++cbCurrent;
        if (read[i] == '\n' || cbCurrent == cbLine - 1) {
            ends.push_back(i + 1);
            cbCurrent = 0;
        }
    }
    if (cbCurrent > 0)
        ends.push_back(read.size());
    return ends;
}

// The pieces a reader with a buffer of cbLine bytes gets.
inline std::vector<std::string> Pieces(const std::string& bytes, size_t cbLine)
{
    std::string read = AsRead(TextPart(bytes));
    std::vector<std::string> pieces;
    size_t ibStart = 0;
    for (size_t ibEnd : PieceEnds(read, cbLine)) {
        pieces.push_back(read.substr(ibStart, ibEnd - ibStart));
        ibStart = ibEnd;
    }
    return pieces;
}

// A line's text as C text functions see it: up to its first NUL.
inline std::string_view CText(std::string_view line)
{
    size_t ib = line.find('\0');
    return ib == std::string_view::npos ? line : line.substr(0, ib);
}

// The value rule: split at quotes, drop the empty pieces, take the second.
inline bool QuotedValue(std::string_view line, std::string* pValue, size_t* pibEnd = nullptr)
{
    std::string_view text = CText(line);
    size_t nParts = 0;
    size_t ibPart = 0;
    for (size_t ib = 0; ib <= text.size(); ++ib) {
        if (ib < text.size() && text[ib] != '"')
            continue;
        if (ib > ibPart && ++nParts == 2) {
            *pValue = std::string(text.substr(ibPart, ib - ibPart));
            if (pibEnd != nullptr)
                *pibEnd = ib;
            return true;
        }
        ibPart = ib + 1;
    }
    return false;
}

inline bool HasKey(std::string_view line, const char* pszKey)
{
    return CText(line).find(pszKey) != std::string::npos;
}

// A piece that holds 511 bytes and no newline is only the start of its line;
// a value that reaches its end (ibValueEnd, where QuotedValue stopped) was cut there.
inline bool CutAtPieceEnd(std::string_view line, size_t ibValueEnd)
{
    return line.size() == 511 && line.back() != '\n' && ibValueEnd == line.size();
}

// A setting's value never holds the line's newline: an unclosed value loses
// it, and a value of only the newline is empty.
inline std::string WithoutNewline(std::string value)
{
    if (!value.empty() && value.back() == '\n')
        value.pop_back();
    return value;
}

struct Settings {
    std::string folder;
    std::string baseName;
    std::string preview;
    bool bSendToFolder = false;
    bool bStoppedByPreview = false;
    bool bFolderCut = false;
    bool bBaseNameCut = false;
};

inline Settings ReadSettings(const std::string& bytes)
{
    Settings s;
    std::string read = AsRead(TextPart(bytes));
    size_t ibStart = 0;
    for (size_t ibPieceEnd : PieceEnds(read, 512)) {
        std::string_view line = std::string_view(read).substr(ibStart, ibPieceEnd - ibStart);
        ibStart = ibPieceEnd;
        std::string value;
        size_t ibEnd = 0;
        bool bValue = QuotedValue(line, &value, &ibEnd);
        if (HasKey(line, "PCFolderPath")) {
            s.bSendToFolder = true;
            if (bValue) {
                s.folder = WithoutNewline(value);
                s.bFolderCut = CutAtPieceEnd(line, ibEnd);
            }
        } else if (HasKey(line, "PCBaseFileName")) {
            if (bValue) {
                s.baseName = WithoutNewline(value);
                s.bBaseNameCut = CutAtPieceEnd(line, ibEnd);
            }
        } else if (HasKey(line, "PCPreview") && bValue) {
            s.preview = WithoutNewline(value);
            if (s.preview == "ON") {
                s.bSendToFolder = false;
                s.bStoppedByPreview = true;
                return s;
            }
        }
    }
    return s;
}

// The first "RepositoryName" value, without the LF of an unclosed value;
// a value that is only that LF, or one cut at its piece's end, does not count.
inline bool RepositoryValue(const std::string& bytes, std::string* pValue)
{
    for (const std::string& line : Pieces(bytes, 512)) {
        std::string value;
        size_t ibEnd = 0;
        if (!HasKey(line, "RepositoryName") || !QuotedValue(line, &value, &ibEnd) || CutAtPieceEnd(line, ibEnd))
            continue;
        if (value.back() == '\n')
            value.pop_back();
        if (value.empty())
            continue;
        *pValue = value;
        return true;
    }
    return false;
}

// Four decimal numbers 0-255 of one to three digits, joined by dots.
inline bool IsAddress(const std::string& s)
{
    size_t ib = 0;
    for (int nPart = 0; nPart < 4; ++nPart) {
        if (nPart > 0) {
            if (ib >= s.size() || s[ib] != '.')
                return false;
            ++ib;
        }
        size_t ibDigits = ib;
        while (ib < s.size() && ib - ibDigits < 3 && s[ib] >= '0' && s[ib] <= '9')
            ++ib;
        if (ib == ibDigits || std::stoi(s.substr(ibDigits, ib - ibDigits)) > 255)
            return false;
    }
    return ib == s.size();
}

// Where text[ib, ib + cb) stands as a whole address: no digit, and no dot
// followed (or preceded) by a digit, right beside it.
inline bool StandsWhole(std::string_view text, size_t ib, size_t cb)
{
    auto digit = [&](size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
    bool bBefore = ib > 0 && (digit(ib - 1) || (text[ib - 1] == '.' && ib >= 2 && digit(ib - 2)));
    size_t ibAfter = ib + cb;
    bool bAfter = digit(ibAfter) || (ibAfter < text.size() && text[ibAfter] == '.' && digit(ibAfter + 1));
    return !bBefore && !bAfter;
}

} // namespace model
