#include "common/event_text.h"

#include <cwchar>
#include <string>

namespace {

bool IsControl(wchar_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Marks that change the order or direction in which text is shown.
bool IsBidiControl(wchar_t c)
{
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void AppendEscaped(std::wstring& wstrOut, wchar_t c)
{
    if (c == L'\r') {
        wstrOut += L"\\r";
        return;
    }
    if (c == L'\n') {
        wstrOut += L"\\n";
        return;
    }
    static const wchar_t s_wszDigits[] = L"0123456789ABCDEF";
    wstrOut += L"\\u";
    for (int nShift = 12; nShift >= 0; nShift -= 4)
        wstrOut += s_wszDigits[(static_cast<unsigned>(c) >> nShift) & 0xF];
}

} // namespace

std::wstring CleanEventText(const wchar_t* pwszText)
{
    std::wstring wstrOut;
    if (pwszText == nullptr)
        return wstrOut;
    size_t cch = wcslen(pwszText);
    size_t cchKept = cch;
    if (cch > kEventTextMaxChars) {
        cchKept = kEventTextMaxChars;
        // A surrogate pair is never cut in two.
        if (pwszText[cchKept - 1] >= 0xD800 && pwszText[cchKept - 1] <= 0xDBFF)
            --cchKept;
    }
    for (size_t i = 0; i < cchKept; ++i) {
        wchar_t c = pwszText[i];
        if (IsControl(c) || IsBidiControl(c) || (c == L'%' && i > 0 && pwszText[i - 1] == L'%'))
            AppendEscaped(wstrOut, c);
        else
            wstrOut += c;
    }
    if (cchKept < cch)
        wstrOut += L" ... and " + std::to_wstring(cch - cchKept) + L" more characters";
    return wstrOut;
}
