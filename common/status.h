#pragma once
// Status codes shared by every subsystem. Operations answer HRESULTs: negative
// means failure.
#include <windows.h>

#ifndef STRSAFE_E_INSUFFICIENT_BUFFER
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#endif

// Maps a Windows error code to an HRESULT: codes above 0 become
// 0x8007xxxx with the code's low 16 bits; 0 and anything already negative
// stay as they are.
constexpr HRESULT HResultFromWin32(DWORD dwError)
{
    return static_cast<LONG>(dwError) <= 0
               ? static_cast<HRESULT>(dwError)
               : static_cast<HRESULT>((dwError & 0x0000FFFFu) | 0x80070000u);
}
