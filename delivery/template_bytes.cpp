#include "delivery/template_bytes.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr char kCtrlZ = 0x1A;

// Copies cbSrc bytes and a terminator when they fit; false (and an empty
// destination) when they do not.
bool CopyValue(char* pszDest, size_t cbDest, const char* pSrc, size_t cbSrc)
{
    if (cbDest == 0)
        return false;
    if (cbSrc >= cbDest) {
        pszDest[0] = '\0';
        return false;
    }
    std::memcpy(pszDest, pSrc, cbSrc);
    pszDest[cbSrc] = '\0';
    return true;
}

bool LineValueEquals(const char* pValue, size_t cbValue, const char* pszExpected)
{
    return cbValue == std::strlen(pszExpected) && std::memcmp(pValue, pszExpected, cbValue) == 0;
}

// A value whose closing quote is missing runs to the line's end and takes
// its newline along; no setting holds a newline, and `Key=""` (whose value is
// that newline alone) is the empty value its writer meant.
size_t WithoutLineEnd(const char* pValue, size_t cbValue)
{
    return cbValue > 0 && pValue[cbValue - 1] == '\n' ? cbValue - 1 : cbValue;
}

// A piece that filled the whole line buffer without reaching a newline is only
// the start of its line; a value that runs to its end is cut short there.
bool IsCutAtPieceEnd(const char* pszLine, size_t cbLine, const char* pValue, size_t cbValue)
{
    return cbLine == kTemplateLineBytes - 1 && pszLine[cbLine - 1] != '\n' && pValue + cbValue == pszLine + cbLine;
}

// When the line holds a value, copies it into the field (it always fits: a
// piece is shorter than any field) and tells whether it was cut short.
void TakeValue(const char* pszLine, size_t cbLine, char* pszField, size_t cbField, bool* pbCut)
{
    const char* pValue = nullptr;
    size_t cbValue = 0;
    if (!GetQuotedValue(pszLine, &pValue, &cbValue))
        return;
    *pbCut = IsCutAtPieceEnd(pszLine, cbLine, pValue, cbValue);
    CopyValue(pszField, cbField, pValue, WithoutLineEnd(pValue, cbValue));
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// An address continues where a digit follows, or a dot and then a digit;
// a dot alone (the end of a sentence) does not continue it.
bool ContinuesAddressAfter(const char* pText, size_t cbText, size_t ib)
{
    if (ib >= cbText)
        return false;
    return IsDigit(pText[ib]) || (pText[ib] == '.' && ib + 1 < cbText && IsDigit(pText[ib + 1]));
}

bool ContinuesAddressBefore(const char* pText, size_t ib)
{
    if (ib == 0)
        return false;
    return IsDigit(pText[ib - 1]) || (pText[ib - 1] == '.' && ib >= 2 && IsDigit(pText[ib - 2]));
}

// The old address where it stands whole: not a part of a longer number or
// address ("10.0.0.1" is not replaced inside "10.0.0.12" or "110.0.0.1").
bool IsWholeAddressAt(const char* pData, size_t cbText, size_t ib, const char* pszOld, size_t cbOld)
{
    if (cbOld > cbText - ib || std::memcmp(pData + ib, pszOld, cbOld) != 0)
        return false;
    return !ContinuesAddressBefore(pData, ib) && !ContinuesAddressAfter(pData, cbText, ib + cbOld);
}

// Walks the bytes once; writes into pOut while there is room (pOut may be null
// to measure only). False when the size overflows.
bool Rewrite(const char* pData, size_t cbData, const char* pszOld, const char* pszNew, char* pOut, size_t cbOut,
             size_t* pcbTotal)
{
    size_t cbOld = std::strlen(pszOld);
    size_t cbNew = std::strlen(pszNew);
    size_t cbText = TemplateTextLength(pData, cbData);
    size_t cbTotal = 0;
    auto emit = [&](const char* p, size_t cb) {
        if (cbTotal > SIZE_MAX - cb)
            return false;
        if (pOut != nullptr && cbTotal + cb <= cbOut)
            std::memcpy(pOut + cbTotal, p, cb);
        cbTotal += cb;
        return true;
    };
    size_t ib = 0;
    while (ib < cbText) {
        if (IsWholeAddressAt(pData, cbText, ib, pszOld, cbOld)) {
            if (!emit(pszNew, cbNew))
                return false;
            ib += cbOld;
        } else {
            if (!emit(pData + ib, 1))
                return false;
            ++ib;
        }
    }
    if (!emit(pData + cbText, cbData - cbText))
        return false;
    *pcbTotal = cbTotal;
    return true;
}

} // namespace

bool IsDottedIPv4Address(const char* psz)
{
    for (int nPart = 0; nPart < 4; ++nPart) {
        if (nPart > 0 && *psz++ != '.')
            return false;
        unsigned nValue = 0;
        int cDigits = 0;
        while (IsDigit(*psz) && cDigits < 4) {
            nValue = nValue * 10 + static_cast<unsigned>(*psz++ - '0');
            ++cDigits;
        }
        if (cDigits == 0 || cDigits > 3 || nValue > 255)
            return false;
    }
    return *psz == '\0';
}

size_t TemplateTextLength(const char* pData, size_t cbData)
{
    const void* pCtrlZ = cbData > 0 ? std::memchr(pData, kCtrlZ, cbData) : nullptr;
    return pCtrlZ != nullptr ? static_cast<size_t>(static_cast<const char*>(pCtrlZ) - pData) : cbData;
}

TemplateTextReader::TemplateTextReader(const char* pData, size_t cbData)
    : m_pData(pData), m_cbText(TemplateTextLength(pData, cbData))
{
}

size_t TemplateTextReader::ReadLine(char* pszLine, size_t cbLine)
{
    if (cbLine == 0)
        return 0;
    size_t cb = 0;
    while (cb + 1 < cbLine && m_ibNext < m_cbText) {
        char c = m_pData[m_ibNext++];
        if (c == '\r' && m_ibNext < m_cbText && m_pData[m_ibNext] == '\n') {
            c = '\n';
            ++m_ibNext;
        }
        pszLine[cb++] = c;
        if (c == '\n')
            break;
    }
    pszLine[cb] = '\0';
    return cb;
}

bool GetQuotedValue(const char* pszLine, const char** ppValue, size_t* pcbValue)
{
    const char* p = pszLine;
    while (*p == '"')
        ++p;
    if (*p == '\0')
        return false;
    while (*p != '\0' && *p != '"')
        ++p;
    while (*p == '"')
        ++p;
    if (*p == '\0')
        return false;
    const char* pValue = p;
    while (*p != '\0' && *p != '"')
        ++p;
    *ppValue = pValue;
    *pcbValue = static_cast<size_t>(p - pValue);
    return true;
}

SettingsReadEnd ReadSendToFolderSettingsFromBytes(const char* pData, size_t cbData, SendToFolderSettings* pSettings)
{
    *pSettings = SendToFolderSettings{};
    TemplateTextReader reader(pData, cbData);
    char szLine[kTemplateLineBytes];
    while (size_t cbLine = reader.ReadLine(szLine, sizeof(szLine))) {
        // The first key found on a line decides; the others are not looked for.
        if (std::strstr(szLine, "PCFolderPath") != nullptr) {
            pSettings->bSendToFolder = true;
            TakeValue(szLine, cbLine, pSettings->szPCFolderPath, sizeof(pSettings->szPCFolderPath),
                      &pSettings->bFolderCut);
        } else if (std::strstr(szLine, "PCBaseFileName") != nullptr) {
            TakeValue(szLine, cbLine, pSettings->szPCBaseFileName, sizeof(pSettings->szPCBaseFileName),
                      &pSettings->bBaseNameCut);
        } else if (std::strstr(szLine, "PCPreview") != nullptr) {
            const char* pValue = nullptr;
            size_t cbValue = 0;
            if (!GetQuotedValue(szLine, &pValue, &cbValue))
                continue;
            cbValue = WithoutLineEnd(pValue, cbValue);
            CopyValue(pSettings->szPCPreview, sizeof(pSettings->szPCPreview), pValue, cbValue);
            if (LineValueEquals(pValue, cbValue, "ON")) {
                pSettings->bSendToFolder = false;
                return SettingsReadEnd::PreviewOn;
            }
        }
    }
    return SettingsReadEnd::EndOfText;
}

bool FindRepositoryValue(const char* pData, size_t cbData, char* pszValue, size_t cbValue)
{
    TemplateTextReader reader(pData, cbData);
    char szLine[kTemplateLineBytes];
    while (size_t cbLine = reader.ReadLine(szLine, sizeof(szLine))) {
        if (std::strstr(szLine, "RepositoryName") == nullptr)
            continue;
        const char* pValue = nullptr;
        size_t cb = 0;
        // A value cut short by the piece is no value: "10.0.0.1" may be the
        // start of "10.0.0.123".
        if (!GetQuotedValue(szLine, &pValue, &cb) || IsCutAtPieceEnd(szLine, cbLine, pValue, cb))
            continue;
        if (pValue[cb - 1] == '\n')
            --cb;
        if (cb == 0)
            continue;
        return CopyValue(pszValue, cbValue, pValue, cb);
    }
    return false;
}

bool MeasureRepositoryRewrite(const char* pData, size_t cbData, const char* pszOld, const char* pszNew,
                              size_t* pcbNew)
{
    if (!IsDottedIPv4Address(pszOld))
        return false;
    return Rewrite(pData, cbData, pszOld, pszNew, nullptr, 0, pcbNew);
}

bool WriteRepositoryRewrite(const char* pData, size_t cbData, const char* pszOld, const char* pszNew, char* pOut,
                            size_t cbOut, size_t* pcbWritten)
{
    size_t cbTotal = 0;
    if (!IsDottedIPv4Address(pszOld) || !Rewrite(pData, cbData, pszOld, pszNew, pOut, cbOut, &cbTotal))
        return false;
    if (cbTotal > cbOut)
        return false;
    *pcbWritten = cbTotal;
    return true;
}
