#pragma once
// The interactive user: account name, domain and SID text, found once at start-up.
#include <windows.h>

// Fills g_wszUserName, g_wszDomainName and the SID text from the process token.
// S_OK, or E_FAIL on any failure (values not yet filled stay as they were).
HRESULT InitUserIdentity();

// The part of it that works from a SID: stores its text, then looks the account
// up on the local system. S_OK, or E_FAIL when either step fails.
HRESULT ResolveUserFromSid(PSID pSid);

// The SID text alone, found again from the process token (after a delete pass
// gave it back and the session end did not happen). The names stay as they are,
// since watchers may be reading them. S_OK or E_FAIL.
HRESULT IdentifyUserSidAgain();
