#include "discovery/protected_folder.h"

#include <sddl.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "common/status.h"
#include "common/trace.h"
#include "discovery/state.h"

namespace {

constexpr BYTE kInheritToChildren = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr DWORD kAceHeaderBytes = 8;
constexpr DWORD kSidBufferBytes = 260;
constexpr DWORD kDomainChars = 260;

// S-1-5-32-544, built rather than looked up: its name differs by language.
HRESULT AppendAdministrators(PACL pAcl)
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID pSid = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                  0, 0, 0, &pSid))
        return E_FAIL;
    HRESULT hr = AppendAllowAce(pAcl, pSid, kOtherFolderMask);
    FreeSid(pSid);
    return hr;
}

// Left out, not a failure, when the account cannot be found.
HRESULT AppendSystemAccount(PACL pAcl)
{
    BYTE sidBuffer[kSidBufferBytes] = {};
    wchar_t wszDomain[kDomainChars] = {};
    DWORD cbSid = sizeof(sidBuffer);
    DWORD cchDomain = ARRAYSIZE(wszDomain);
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, L"SYSTEM", sidBuffer, &cbSid, wszDomain, &cchDomain, &use))
        return S_OK;
    return AppendAllowAce(pAcl, sidBuffer, kOtherFolderMask);
}

// Left out, not a failure, when the well-known SID cannot be built.
HRESULT AppendServiceGroup(PACL pAcl)
{
    BYTE sidBuffer[kSidBufferBytes] = {};
    DWORD cbSid = sizeof(sidBuffer);
    BOOL bCreated = CreateWellKnownSid(WinServiceSid, nullptr, sidBuffer, &cbSid);
    TraceMsg(L"Value of WinServiceSid:  %d", static_cast<int>(WinServiceSid));
    if (!bCreated)
        return S_OK;
    return AppendAllowAce(pAcl, sidBuffer, kOtherFolderMask);
}

HRESULT FillProtectedAcl(PACL pAcl, PSID pUserSid)
{
    if (!InitializeAcl(pAcl, kProtectedAclBytes, ACL_REVISION_DS)) {
        TraceMsg(L"InitializeAcl failed: %d", GetLastError());
        return E_FAIL;
    }
    if (FAILED(AppendAllowAce(pAcl, pUserSid, kUserFolderMask)))
        return E_FAIL;
    if (FAILED(AppendAdministrators(pAcl)))
        return E_FAIL;
    if (FAILED(AppendSystemAccount(pAcl)))
        return E_FAIL;
    return AppendServiceGroup(pAcl);
}

// Each missing folder of the path is made by this call, under the
// descriptor, from the top down. A name that exists when it is made (made by
// someone else since it was found missing, or the folder itself) is a failure:
// a folder someone else made first keeps its owner, and is not ours to use.
HRESULT CreateFolderChain(const std::wstring& wstrPath, SECURITY_ATTRIBUTES* pSa)
{
    if (CreateDirectoryW(wstrPath.c_str(), pSa))
        return S_OK;
    DWORD dwError = GetLastError();
    size_t cchParent = wstrPath.find_last_of(L'\\');
    if (dwError == ERROR_PATH_NOT_FOUND && cchParent != std::wstring::npos && cchParent > 0) {
        HRESULT hr = CreateFolderChain(wstrPath.substr(0, cchParent), pSa);
        if (FAILED(hr))
            return hr;
        if (CreateDirectoryW(wstrPath.c_str(), pSa))
            return S_OK;
        dwError = GetLastError();
    }
    TraceMsg(L"CreateDirectoryW failed: %d", dwError);
    return dwError == ERROR_ALREADY_EXISTS ? HResultFromWin32(dwError) : E_FAIL;
}

} // namespace

HRESULT AppendAllowAce(PACL pAcl, PSID pSid, DWORD dwMask)
{
    if (pAcl == nullptr || pSid == nullptr || !IsValidSid(pSid))
        return E_FAIL;
    const DWORD cbSid = GetLengthSid(pSid);
    const DWORD cbAce = kAceHeaderBytes + cbSid;
    bgt::UniqueHeapMem pAce(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbAce));
    if (!pAce)
        return E_FAIL;

    // Laid out by hand: type, flags, 16-bit size, 32-bit mask, then the SID.
    auto* pb = static_cast<BYTE*>(pAce.get());
    const WORD wAceSize = static_cast<WORD>(cbAce);
    pb[0] = ACCESS_ALLOWED_ACE_TYPE;
    pb[1] = kInheritToChildren;
    std::memcpy(pb + 2, &wAceSize, sizeof(wAceSize));
    std::memcpy(pb + 4, &dwMask, sizeof(dwMask));
    std::memcpy(pb + kAceHeaderBytes, pSid, cbSid);

    if (!AddAce(pAcl, ACL_REVISION, MAXDWORD, pb, cbAce)) {
        TraceMsg(L"AddAce failed: %d", GetLastError());
        return E_FAIL;
    }
    return S_OK;
}

HRESULT BuildProtectedDescriptor(PSID pUserSid, ProtectedDescriptor& desc)
{
    if (!InitializeSecurityDescriptor(&desc.sd, SECURITY_DESCRIPTOR_REVISION)) {
        TraceMsg(L"InitializeSecurityDescriptor failed: %d", GetLastError());
        return E_FAIL;
    }
    if (!SetSecurityDescriptorControl(&desc.sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        TraceMsg(L"SetSecurityDescriptorControl failed: %d", GetLastError());
        return E_FAIL;
    }
    desc.pAcl.reset(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kProtectedAclBytes));
    if (!desc.pAcl)
        return E_FAIL;
    auto* pAcl = static_cast<PACL>(desc.pAcl.get());
    if (FAILED(FillProtectedAcl(pAcl, pUserSid)))
        return E_FAIL;
    if (!SetSecurityDescriptorDacl(&desc.sd, TRUE, pAcl, FALSE)) {
        TraceMsg(L"SetSecurityDescriptorDacl failed: %d", GetLastError());
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CreateFolderUnderDescriptor(const wchar_t* pwszPath, PSECURITY_DESCRIPTOR pSd)
{
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = pSd;
    sa.bInheritHandle = FALSE;
    std::wstring wstrPath = pwszPath;
    while (wstrPath.size() > 1 && wstrPath.back() == L'\\')
        wstrPath.pop_back();
    return CreateFolderChain(wstrPath, &sa);
}

HRESULT CreateProtectedFolder(const wchar_t* pwszPath)
{
    // A copy, so that a session end giving the text back cannot free it under us;
    // an absent text fails as its conversion would.
    std::wstring wstrSid;
    if (!CopyUserSidText(wstrSid))
        return HResultFromWin32(ERROR_INVALID_PARAMETER);
    PSID pUserSid = nullptr;
    if (!ConvertStringSidToSidW(wstrSid.c_str(), &pUserSid))
        return HResultFromWin32(GetLastError());
    bgt::UniqueLocalMem userSid(pUserSid);

    ProtectedDescriptor desc;
    if (FAILED(BuildProtectedDescriptor(pUserSid, desc)))
        return E_FAIL;
    return CreateFolderUnderDescriptor(pwszPath, &desc.sd);
}
