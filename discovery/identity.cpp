#include "discovery/identity.h"

#include <sddl.h>

#include "common/event_log.h"
#include "common/owners.h"
#include "discovery/state.h"

HRESULT ResolveUserFromSid(PSID pSid)
{
    LPWSTR pwszSid = nullptr;
    if (!ConvertSidToStringSidW(pSid, &pwszSid) || pwszSid == nullptr)
        return E_FAIL;
    SetUserSidText(pwszSid);
    // The user's events carry the SID even after a session end gives the text back.
    SetEventUserSid(pSid);

    DWORD cchName = ARRAYSIZE(g_wszUserName);
    DWORD cchDomain = ARRAYSIZE(g_wszDomainName);
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, pSid, g_wszUserName, &cchName, g_wszDomainName, &cchDomain, &use))
        return E_FAIL;
    return S_OK;
}

namespace {

// The process token's user, in a buffer of the process heap.
HRESULT ReadTokenUser(bgt::UniqueHeapMem& pBuffer)
{
    bgt::UniqueHandle hProcess(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId()));
    if (!hProcess)
        return E_FAIL;
    bgt::UniqueHandle hToken;
    if (!OpenProcessToken(hProcess.get(), TOKEN_QUERY | TOKEN_QUERY_SOURCE, hToken.put()))
        return E_FAIL;

    DWORD cbNeeded = 0;
    if (GetTokenInformation(hToken.get(), TokenUser, nullptr, 0, &cbNeeded) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return E_FAIL;
    pBuffer.reset(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbNeeded));
    if (!pBuffer)
        return E_FAIL;
    if (!GetTokenInformation(hToken.get(), TokenUser, pBuffer.get(), cbNeeded, &cbNeeded))
        return E_FAIL;
    return S_OK;
}

} // namespace

HRESULT InitUserIdentity()
{
    bgt::UniqueHeapMem pBuffer;
    if (FAILED(ReadTokenUser(pBuffer)))
        return E_FAIL;
    const auto* pTokenUser = static_cast<const TOKEN_USER*>(pBuffer.get());
    return ResolveUserFromSid(pTokenUser->User.Sid);
}

HRESULT IdentifyUserSidAgain()
{
    bgt::UniqueHeapMem pBuffer;
    if (FAILED(ReadTokenUser(pBuffer)))
        return E_FAIL;
    LPWSTR pwszSid = nullptr;
    const auto* pTokenUser = static_cast<const TOKEN_USER*>(pBuffer.get());
    if (!ConvertSidToStringSidW(pTokenUser->User.Sid, &pwszSid) || pwszSid == nullptr)
        return E_FAIL;
    SetUserSidText(pwszSid);
    return S_OK;
}
