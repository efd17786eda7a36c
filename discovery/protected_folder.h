#pragma once
// Folder creation under an access list that inherits nothing from the parent and
// grants access only to the user, the administrators, SYSTEM and the service group.
// The list is given at creation, never put on a folder that exists already.
#include <windows.h>

#include "common/owners.h"

HRESULT CreateProtectedFolder(const wchar_t* pwszPath);
HRESULT AppendAllowAce(PACL pAcl, PSID pSid, DWORD dwMask);

constexpr DWORD kProtectedAclBytes = 2000;
constexpr DWORD kUserFolderMask = 0xC0000060;  // read, write, traverse, delete child
constexpr DWORD kOtherFolderMask = 0xC0010040; // read, write, delete, delete child

// The absolute descriptor of one call and the access list it points into.
struct ProtectedDescriptor {
    SECURITY_DESCRIPTOR sd = {};
    bgt::UniqueHeapMem pAcl;
};

// Builds the protected descriptor for the given user: S_OK or E_FAIL.
HRESULT BuildProtectedDescriptor(PSID pUserSid, ProtectedDescriptor& desc);

// Creates the folder and any missing parents under the descriptor, each only if
// it did not exist: S_OK; HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) when the
// folder, or a parent found missing, exists by the time it is made; E_FAIL for
// any other failure. A folder that existed before is never taken for a new one.
HRESULT CreateFolderUnderDescriptor(const wchar_t* pwszPath, PSECURITY_DESCRIPTOR pSd);
