// The printf-style formatter of the bounded string operations: flags, width,
// precision and length modifiers as the Windows forms read them, written
// through the bounded writer so that the text is cut, never overrun.
#include <cstdint>
#include <string>

#include "common/bounded_writer.h"

namespace bgt {
namespace {

using bounded::BoundedLength;
using bounded::BoundedWriter;
using bounded::IsValidCapacity;

// ---- formatting ---------------------------------------------------------

struct Conversion {
    bool bLeft = false, bPlus = false, bSpace = false, bAlt = false, bZero = false;
    int nWidth = 0;
    int nPrecision = -1;
    enum class Len { None, Short, Long, LongLong } len = Len::None;
};

std::wstring Widen(const char* psz, int cch)
{
    if (cch <= 0)
        return {};
    int n = MultiByteToWideChar(CP_ACP, 0, psz, cch, nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, psz, cch, w.data(), n);
    return w;
}

std::string Narrow(const wchar_t* psz, int cch)
{
    if (cch <= 0)
        return {};
    int n = WideCharToMultiByte(CP_ACP, 0, psz, cch, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, psz, cch, s.data(), n, nullptr, nullptr);
    return s;
}

template <class Ch>
void EmitPadded(BoundedWriter<Ch>& out, const Conversion& cs, const Ch* pBody, size_t cchBody,
                const char* pszPrefix = "", size_t cchZeros = 0)
{
    size_t cchPrefix = 0;
    while (pszPrefix[cchPrefix] != '\0')
        ++cchPrefix;
    size_t total = cchPrefix + cchZeros + cchBody;
    size_t pad = cs.nWidth > 0 && static_cast<size_t>(cs.nWidth) > total
                     ? static_cast<size_t>(cs.nWidth) - total
                     : 0;
    bool bZeroPad = cs.bZero && !cs.bLeft;
    if (!cs.bLeft && !bZeroPad)
        out.Repeat(Ch(' '), pad);
    for (size_t i = 0; i < cchPrefix; ++i)
        out.Put(static_cast<Ch>(pszPrefix[i]));
    if (bZeroPad)
        out.Repeat(Ch('0'), pad);
    out.Repeat(Ch('0'), cchZeros);
    for (size_t i = 0; i < cchBody; ++i)
        out.Put(pBody[i]);
    if (cs.bLeft)
        out.Repeat(Ch(' '), pad);
}

template <class Ch>
void EmitInteger(BoundedWriter<Ch>& out, Conversion cs, uint64_t magnitude, bool bNegative, unsigned base,
                 bool bUpper)
{
    Ch digits[32];
    size_t n = 0;
    const char* pszDigits = bUpper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[n++] = static_cast<Ch>(pszDigits[magnitude % base]);
        magnitude /= base;
    } while (magnitude != 0);
    if (cs.nPrecision == 0 && n == 1 && digits[0] == Ch('0'))
        n = 0;
    for (size_t i = 0; i < n / 2; ++i) {
        Ch t = digits[i];
        digits[i] = digits[n - 1 - i];
        digits[n - 1 - i] = t;
    }
    const char* pszPrefix = bNegative ? "-" : cs.bPlus ? "+" : cs.bSpace ? " " : "";
    if (cs.bAlt && base == 16 && n > 0)
        pszPrefix = bUpper ? "0X" : "0x";
    size_t cchZeros = 0;
    if (cs.nPrecision >= 0) {
        cs.bZero = false;
        if (static_cast<size_t>(cs.nPrecision) > n)
            cchZeros = static_cast<size_t>(cs.nPrecision) - n;
    }
    EmitPadded(out, cs, digits, n, pszPrefix, cchZeros);
}

template <class Ch, class SrcCh>
void EmitText(BoundedWriter<Ch>& out, const Conversion& cs, const SrcCh* psz)
{
    if (psz == nullptr) {
        static const Ch kNull[] = {'(', 'n', 'u', 'l', 'l', ')'};
        EmitPadded(out, cs, kNull, 6);
        return;
    }
    size_t cch = BoundedLength(psz, cs.nPrecision >= 0 ? static_cast<size_t>(cs.nPrecision) : kMaxCch);
    if constexpr (sizeof(Ch) == sizeof(SrcCh)) {
        EmitPadded(out, cs, reinterpret_cast<const Ch*>(psz), cch);
    } else if constexpr (sizeof(Ch) == sizeof(wchar_t)) {
        std::wstring w = Widen(psz, static_cast<int>(cch));
        EmitPadded(out, cs, w.c_str(), w.size());
    } else {
        std::string s = Narrow(psz, static_cast<int>(cch));
        EmitPadded(out, cs, s.c_str(), s.size());
    }
}

template <class Ch>
HRESULT FormatBounded(Ch* pszDest, size_t cchDest, const Ch* pszFormat, va_list args)
{
    if (pszDest == nullptr || !IsValidCapacity(cchDest))
        return E_INVALIDARG;
    BoundedWriter<Ch> out(pszDest, cchDest);
    if (pszFormat == nullptr)
        return out.Finish();
    constexpr bool kWide = sizeof(Ch) == sizeof(wchar_t);

    for (const Ch* p = pszFormat; *p != Ch(0); ++p) {
        if (*p != Ch('%')) {
            out.Put(*p);
            continue;
        }
        const Ch* pStart = p++;
        Conversion cs;
        for (;; ++p) {
            if (*p == Ch('-')) cs.bLeft = true;
            else if (*p == Ch('+')) cs.bPlus = true;
            else if (*p == Ch(' ')) cs.bSpace = true;
            else if (*p == Ch('#')) cs.bAlt = true;
            else if (*p == Ch('0')) cs.bZero = true;
            else break;
        }
        if (*p == Ch('*')) {
            cs.nWidth = va_arg(args, int);
            if (cs.nWidth < 0) {
                cs.bLeft = true;
                cs.nWidth = -cs.nWidth;
            }
            ++p;
        } else {
            while (*p >= Ch('0') && *p <= Ch('9'))
                cs.nWidth = cs.nWidth * 10 + static_cast<int>(*p++ - Ch('0'));
        }
        if (*p == Ch('.')) {
            ++p;
            cs.nPrecision = 0;
            if (*p == Ch('*')) {
                cs.nPrecision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= Ch('0') && *p <= Ch('9'))
                    cs.nPrecision = cs.nPrecision * 10 + static_cast<int>(*p++ - Ch('0'));
            }
        }
        bool bWideArg = false, bNarrowArg = false;
        if (*p == Ch('h')) {
            cs.len = Conversion::Len::Short;
            bNarrowArg = true;
            ++p;
            if (*p == Ch('h'))
                ++p;
        } else if (*p == Ch('l') || *p == Ch('w')) {
            cs.len = Conversion::Len::Long;
            bWideArg = true;
            ++p;
            if (*p == Ch('l')) {
                cs.len = Conversion::Len::LongLong;
                ++p;
            }
        } else if (*p == Ch('I') && p[1] == Ch('6') && p[2] == Ch('4')) {
            cs.len = Conversion::Len::LongLong;
            p += 3;
        } else if (*p == Ch('z') || *p == Ch('j') || *p == Ch('t')) {
            cs.len = Conversion::Len::LongLong;
            ++p;
        }

        Ch conv = *p;
        switch (conv) {
        case Ch('d'):
        case Ch('i'): {
            int64_t v = cs.len == Conversion::Len::LongLong ? va_arg(args, long long)
                        : cs.len == Conversion::Len::Long   ? va_arg(args, long)
                                                        : va_arg(args, int);
            if (cs.len == Conversion::Len::Short)
                v = static_cast<short>(v);
            uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            EmitInteger(out, cs, mag, v < 0, 10, false);
            break;
        }
        case Ch('u'):
        case Ch('x'):
        case Ch('X'):
        case Ch('o'): {
            uint64_t v = cs.len == Conversion::Len::LongLong ? va_arg(args, unsigned long long)
                         : cs.len == Conversion::Len::Long   ? va_arg(args, unsigned long)
                                                         : va_arg(args, unsigned int);
            if (cs.len == Conversion::Len::Short)
                v = static_cast<unsigned short>(v);
            unsigned base = conv == Ch('u') ? 10 : conv == Ch('o') ? 8 : 16;
            EmitInteger(out, cs, v, false, base, conv == Ch('X'));
            break;
        }
        case Ch('p'): {
            Conversion ps = cs;
            ps.nPrecision = static_cast<int>(sizeof(void*) * 2);
            EmitInteger(out, ps, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, 16, true);
            break;
        }
        case Ch('c'):
        case Ch('C'): {
            int v = va_arg(args, int);
            bool bArgWide = conv == Ch('c') ? (kWide ? !bNarrowArg : bWideArg) : (kWide ? bWideArg : !bNarrowArg);
            Ch ch;
            if (bArgWide == kWide) {
                ch = static_cast<Ch>(v);
            } else if constexpr (kWide) {
                char c = static_cast<char>(v);
                std::wstring w = Widen(&c, 1);
                ch = w.empty() ? Ch('?') : static_cast<Ch>(w[0]);
            } else {
                wchar_t c = static_cast<wchar_t>(v);
                std::string s = Narrow(&c, 1);
                ch = s.empty() ? Ch('?') : static_cast<Ch>(s[0]);
            }
            EmitPadded(out, cs, &ch, 1);
            break;
        }
        case Ch('s'):
        case Ch('S'): {
            bool bArgWide = conv == Ch('s') ? (kWide ? !bNarrowArg : bWideArg) : (kWide ? bWideArg : !bNarrowArg);
            if (bArgWide) // NOLINT(bugprone-branch-clone): the branches read arguments of different types
                EmitText(out, cs, va_arg(args, const wchar_t*));
            else
                EmitText(out, cs, va_arg(args, const char*));
            break;
        }
        case Ch('%'):
            out.Put(Ch('%'));
            break;
        default:
            // Unknown or incomplete conversion: emit it as it stands.
            for (const Ch* q = pStart; q <= p && *q != Ch(0); ++q)
                out.Put(*q);
            if (*p == Ch(0))
                --p;
            break;
        }
    }
    return out.Finish();
}

} // namespace

HRESULT StringCchVPrintfW(wchar_t* pszDest, size_t cchDest, const wchar_t* pszFormat, va_list args)
{
    return FormatBounded(pszDest, cchDest, pszFormat, args);
}

HRESULT StringCchVPrintfA(char* pszDest, size_t cchDest, const char* pszFormat, va_list args)
{
    return FormatBounded(pszDest, cchDest, pszFormat, args);
}

} // namespace bgt
