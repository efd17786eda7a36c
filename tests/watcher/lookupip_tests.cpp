#include <gtest/gtest.h>

#include "discovery/state.h"
#include "fake_resolver.h"
#include "tests/support/test_support.h"
#include "watcher/lookupip.h"

using namespace testsupport;

namespace {

class LookupIp : public ::testing::Test {
protected:
    void SetUp() override { SetIPAddressText(L"1.2.3.4"); }
    TraceCapture m_traces;
};

} // namespace

TEST_F(LookupIp, LoopbackOnly_AbortsAndRecordsLoopback)
{
    FakeResolver resolver({Addresses({"127.0.0.1"})});
    EXPECT_EQ(E_ABORT, lookupip());
    EXPECT_EQ(L"127.0.0.1", GetIPAddressText());
    EXPECT_TRUE(m_traces.Contains(L"Entered the lookupip function\r\n"));
    EXPECT_TRUE(m_traces.Contains(L"\n\nIP Addr: 127.0.0.1\n\r\n"));
    EXPECT_TRUE(m_traces.Contains(L"Entered the lookupip address\r\n"));
}

TEST_F(LookupIp, LinkLocalFirst_IsUnexpectedEvenWithAUsableSecondAddress)
{
    {
        FakeResolver resolver({Addresses({"169.254.12.34"})});
        EXPECT_EQ(E_UNEXPECTED, lookupip());
        EXPECT_EQ(L"169.254.12.34", GetIPAddressText());
    }
    {
        FakeResolver resolver({Addresses({"169.254.12.34", "192.168.1.20"})});
        EXPECT_EQ(E_UNEXPECTED, lookupip());
        EXPECT_EQ(L"169.254.12.34", GetIPAddressText());
    }
    EXPECT_EQ(2u, m_traces.Count(
                      L"Most likely not a valid IP address and PC did connect with DHCP server correctly yet\r\n"));
}

TEST_F(LookupIp, UsableFirstAddress_IsOkAndOnlyThePrefixIsCompared)
{
    {
        FakeResolver resolver({Addresses({"10.169.254.1", "169.254.1.1"})});
        EXPECT_EQ(S_OK, lookupip());
        EXPECT_EQ(L"10.169.254.1", GetIPAddressText());
    }
    {
        FakeResolver resolver({Addresses({"192.168.1.20", "127.0.0.1"})});
        EXPECT_EQ(S_OK, lookupip());
        EXPECT_EQ(L"192.168.1.20", GetIPAddressText());
    }
    {
        // 15 characters, the longest dotted text.
        FakeResolver resolver({Addresses({"255.255.255.254"})});
        EXPECT_EQ(S_OK, lookupip());
        EXPECT_EQ(L"255.255.255.254", GetIPAddressText());
    }
    EXPECT_FALSE(m_traces.Contains(L"Entered the lookupip address\r\n"));
}

TEST_F(LookupIp, ResolvesThePcsOwnHostName)
{
    char szHostName[260] = {};
    WSADATA wsaData{};
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsaData));
    gethostname(szHostName, sizeof(szHostName));
    WSACleanup();
    FakeResolver resolver({Addresses({"192.168.1.20"})});
    lookupip();
    EXPECT_EQ(std::string(szHostName), resolver.LastName());
    EXPECT_NE("", resolver.LastName());
}

TEST_F(LookupIp, LookupFailures_LeaveTheAddressTextUnchanged)
{
    struct Case {
        int nError;
        HRESULT hrExpected;
        const wchar_t* pszTrace;
    };
    const Case cases[] = {
        {WSAHOST_NOT_FOUND, E_FAIL, L"Host not found\n"},
        {WSANO_DATA, E_FAIL, L"No data record found\n"},
        {WSATRY_AGAIN, E_FAIL, L"Function failed with error: 11002\n"},
        {0, S_OK, nullptr},
    };
    for (const Case& c : cases) {
        m_traces.Clear();
        FakeResolver resolver({Failure(c.nError)});
        EXPECT_EQ(c.hrExpected, lookupip()) << c.nError;
        EXPECT_EQ(L"1.2.3.4", GetIPAddressText()) << c.nError;
        if (c.pszTrace != nullptr) {
            EXPECT_TRUE(m_traces.Contains(c.pszTrace)) << c.nError;
        }
        EXPECT_FALSE(m_traces.ContainsFragment(L"IP Addr")) << c.nError;
    }
}
