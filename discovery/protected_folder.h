#pragma once
// Folder creation under an access list that inherits nothing from the parent and
// grants access only to the user, the administrators, SYSTEM and the service group.
#include <windows.h>

HRESULT CreateProtectedFolder(const wchar_t* pwszPath);
HRESULT AppendAllowAce(PACL pAcl, PSID pSid, DWORD dwMask);
