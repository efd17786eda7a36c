// The public bounded string operations: copy, concatenate, length, and the
// byte-counted and variadic forms over the formatter (common/bounded_format.cpp).
#include "common/bounded_writer.h"

namespace bgt {

using bounded::BoundedLength;
using bounded::CopyBounded;
using bounded::IsValidCapacity;

HRESULT StringCchCopyW(wchar_t* pszDest, size_t cchDest, const wchar_t* pszSrc)
{
    return CopyBounded(pszDest, cchDest, pszSrc, kMaxCch);
}

HRESULT StringCchCopyNW(wchar_t* pszDest, size_t cchDest, const wchar_t* pszSrc, size_t cchToCopy)
{
    if (cchToCopy > kMaxCch) {
        if (pszDest != nullptr && IsValidCapacity(cchDest))
            pszDest[0] = L'\0';
        return E_INVALIDARG;
    }
    return CopyBounded(pszDest, cchDest, pszSrc, cchToCopy);
}

HRESULT StringCchCatW(wchar_t* pszDest, size_t cchDest, const wchar_t* pszSrc)
{
    if (pszDest == nullptr || !IsValidCapacity(cchDest))
        return E_INVALIDARG;
    size_t cchExisting = BoundedLength(pszDest, cchDest);
    if (cchExisting == cchDest)
        return E_INVALIDARG; // the destination itself is not terminated
    return CopyBounded(pszDest + cchExisting, cchDest - cchExisting, pszSrc, kMaxCch);
}

HRESULT StringCchPrintfW(wchar_t* pszDest, size_t cchDest, const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}

HRESULT StringCchLengthW(const wchar_t* psz, size_t cchMax, size_t* pcchLength)
{
    HRESULT hr = S_OK;
    size_t cch = 0;
    if (psz == nullptr || cchMax > kMaxCch) {
        hr = E_INVALIDARG;
    } else {
        cch = BoundedLength(psz, cchMax);
        if (cch == cchMax) {
            hr = E_INVALIDARG;
            cch = 0;
        }
    }
    if (pcchLength != nullptr)
        *pcchLength = cch;
    return hr;
}

HRESULT StringCbCopyW(wchar_t* pszDest, size_t cbDest, const wchar_t* pszSrc)
{
    return StringCchCopyW(pszDest, cbDest / sizeof(wchar_t), pszSrc);
}

HRESULT StringCbCatW(wchar_t* pszDest, size_t cbDest, const wchar_t* pszSrc)
{
    return StringCchCatW(pszDest, cbDest / sizeof(wchar_t), pszSrc);
}

HRESULT StringCbPrintfW(wchar_t* pszDest, size_t cbDest, const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfW(pszDest, cbDest / sizeof(wchar_t), pszFormat, args);
    va_end(args);
    return hr;
}

HRESULT StringCchCopyA(char* pszDest, size_t cchDest, const char* pszSrc)
{
    return CopyBounded(pszDest, cchDest, pszSrc, kMaxCch);
}

HRESULT StringCchPrintfA(char* pszDest, size_t cchDest, const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfA(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}

} // namespace bgt
