// Stand-in until protected folders land.
#include "discovery/protected_folder.h"

HRESULT CreateProtectedFolder(const wchar_t*) { return E_NOTIMPL; }
HRESULT AppendAllowAce(PACL, PSID, DWORD) { return E_NOTIMPL; }
