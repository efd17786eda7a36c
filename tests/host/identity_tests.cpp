#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include "common/event_log.h"
#include "common/event_reports.h"
#include "discovery/identity.h"
#include "discovery/state.h"
#include "tests/support/event_capture.h"

TEST(Identity, RealTokenFillsNamesAndSidText)
{
    g_wszUserName[0] = g_wszDomainName[0] = L'\0';
    DiscardUserSidText();
    ASSERT_EQ(S_OK, InitUserIdentity());
    std::wstring sid;
    ASSERT_TRUE(CopyUserSidText(sid));
    EXPECT_EQ(0u, sid.rfind(L"S-1-", 0)) << "standard string form";
    EXPECT_NE(L'\0', g_wszUserName[0]);
    EXPECT_NE(L'\0', g_wszDomainName[0]);

    wchar_t wszUser[256] = {};
    DWORD cch = ARRAYSIZE(wszUser);
    GetUserNameW(wszUser, &cch);
    EXPECT_STREQ(wszUser, g_wszUserName);
}

TEST(Identity, SidWithoutAccountKeepsTheTextAndLeavesNamesEmpty)
{
    g_wszUserName[0] = g_wszDomainName[0] = L'\0';
    DiscardUserSidText();
    PSID pSid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-424242", &pSid));
    EXPECT_EQ(E_FAIL, ResolveUserFromSid(pSid));
    LocalFree(pSid);

    std::wstring sid;
    ASSERT_TRUE(CopyUserSidText(sid));
    EXPECT_EQ(L"S-1-5-21-1-2-3-424242", sid);
    EXPECT_STREQ(L"", g_wszUserName);
    EXPECT_STREQ(L"", g_wszDomainName);
}

TEST(Identity, DiscardedSidTextStaysAbsent)
{
    ASSERT_EQ(S_OK, InitUserIdentity());
    DiscardUserSidText();
    std::wstring sid = L"stale";
    EXPECT_FALSE(CopyUserSidText(sid));
    EXPECT_TRUE(sid.empty());
    DiscardUserSidText(); // twice is harmless
    EXPECT_FALSE(CopyUserSidText(sid));
}

// The user's events name the user: once the identity is read, an event carries
// the process user's SID.
TEST(Identity, EventsCarryTheProcessUsersSid)
{
    testsupport::EventCapture capture;
    SetEventUserSid(nullptr);
    ASSERT_EQ(S_OK, InitUserIdentity());
    std::wstring sid;
    ASSERT_TRUE(CopyUserSidText(sid));
    ReportWatchEnded(L"C:\\T", ERROR_PATH_NOT_FOUND);
    std::vector<testsupport::WrittenEvent> events = testsupport::EventCapture::Take();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(sid, events[0].sid);
}
