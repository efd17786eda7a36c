#pragma once
// Bounded string operations with the semantics of the Windows StringCch/StringCb
// family, written here so that they behave identically under every compiler:
//  - a capacity (in characters; in bytes halved to characters for the Cb forms)
//    counts the terminator and must lie in 1..0x7FFFFFFF, else E_INVALIDARG;
//  - copy, concatenate and format truncate to capacity - 1, always terminate,
//    and answer STRSAFE_E_INSUFFICIENT_BUFFER when they truncated;
//  - the length operation answers E_INVALIDARG and a length of 0 when the text
//    has no terminator within its maximum.
// Formats follow the Windows conventions: in the wide forms %s is wide text and
// %S narrow; in the narrow forms %s is narrow and %S wide (%ls, %hs as usual).
#include <cstdarg>
#include <cstddef>
#include <windows.h>

namespace bgt {

constexpr size_t kMaxCch = 0x7FFFFFFF;

HRESULT StringCchCopyW(wchar_t* pszDest, size_t cchDest, const wchar_t* pszSrc);
HRESULT StringCchCopyNW(wchar_t* pszDest, size_t cchDest, const wchar_t* pszSrc, size_t cchToCopy);
HRESULT StringCchCatW(wchar_t* pszDest, size_t cchDest, const wchar_t* pszSrc);
HRESULT StringCchPrintfW(wchar_t* pszDest, size_t cchDest, const wchar_t* pszFormat, ...);
HRESULT StringCchVPrintfW(wchar_t* pszDest, size_t cchDest, const wchar_t* pszFormat, va_list args);
HRESULT StringCchLengthW(const wchar_t* psz, size_t cchMax, size_t* pcchLength);

HRESULT StringCbCopyW(wchar_t* pszDest, size_t cbDest, const wchar_t* pszSrc);
HRESULT StringCbCatW(wchar_t* pszDest, size_t cbDest, const wchar_t* pszSrc);
HRESULT StringCbPrintfW(wchar_t* pszDest, size_t cbDest, const wchar_t* pszFormat, ...);

HRESULT StringCchCopyA(char* pszDest, size_t cchDest, const char* pszSrc);
HRESULT StringCchPrintfA(char* pszDest, size_t cchDest, const char* pszFormat, ...);
HRESULT StringCchVPrintfA(char* pszDest, size_t cchDest, const char* pszFormat, va_list args);

} // namespace bgt
