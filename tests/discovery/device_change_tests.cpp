// The drivers' "DeviceChange" values, on a scratch HKEY_LOCAL_MACHINE: the
// answer of each call and what the registry holds after it. Each call is a tick
// that reads the keys only after the watch saw a change.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "discovery/device_change.h"
#include "discovery/state.h"
#include "tests/support/test_support.h"

using testsupport::ScratchRegistry;
using testsupport::TraceCapture;

namespace {

const std::wstring kTwain = L"SOFTWARE\\Orbek\\MarlstoneProTWAIN";
const std::wstring kWia = L"SOFTWARE\\Orbek\\MarlstoneProWIA";

DWORD ValueOf(const std::wstring& key)
{
    DWORD dw = 0xDEADBEEF;
    EXPECT_TRUE(ScratchRegistry::ReadDword(HKEY_LOCAL_MACHINE, key, L"DeviceChange", dw));
    return dw;
}

class DeviceChange : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessState(); }
    int CheckDeviceChange() { return ::CheckDeviceChange(m_watch); }
    ScratchRegistry m_registry;
    DeviceChangeWatch m_watch;
};

} // namespace

TEST_F(DeviceChange, NeitherKey_FirstCallOnlyThenNever)
{
    TraceCapture trace;
    EXPECT_EQ(1, CheckDeviceChange());
    EXPECT_EQ(0u, g_bFirstDeviceCheck);
    EXPECT_EQ(1u, g_bTwainDeviceChange);
    EXPECT_EQ(1u, g_bWiaDeviceChange);
    EXPECT_TRUE(trace.Contains(L"FAILED to open HKLM Key for TWAIN in READ MODE  2"));
    EXPECT_TRUE(trace.Contains(L"FAILED to open HKLM Key for WIA in READ MODE  2"));
    EXPECT_TRUE(trace.Contains(L"Failed to open HKLM reg key in WRITE MODE. 2"));
    EXPECT_TRUE(trace.Contains(L"Failed to open HKLM reg key for WIA in WRITE MODE. 2"));

    trace.Clear();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, CheckDeviceChange()) << "call " << i + 2;
    EXPECT_FALSE(trace.ContainsFragment(L"to open HKLM")) << "nothing changed: no key is opened";
    EXPECT_EQ(1u, g_bTwainDeviceChange);
    EXPECT_EQ(1u, g_bWiaDeviceChange);
    EXPECT_FALSE(ScratchRegistry::KeyExists(HKEY_LOCAL_MACHINE, kTwain)) << "nothing is created";
}

TEST_F(DeviceChange, OnlyTwainWritable_ResetAtFirstThenFollowsTheDriver)
{
    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, kTwain, L"DeviceChange", 7);

    EXPECT_EQ(1, CheckDeviceChange());
    EXPECT_EQ(0u, ValueOf(kTwain)) << "reset without being read first";
    EXPECT_EQ(1u, g_bFirstDeviceCheck) << "the TWAIN flag ended at 0";
    EXPECT_EQ(0u, g_bTwainDeviceChange);
    EXPECT_EQ(1u, g_bWiaDeviceChange);

    EXPECT_EQ(0, CheckDeviceChange());
    EXPECT_EQ(0, CheckDeviceChange());

    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, kTwain, L"DeviceChange", 1);
    EXPECT_EQ(1, CheckDeviceChange());
    EXPECT_EQ(0u, ValueOf(kTwain));
    EXPECT_EQ(0, CheckDeviceChange());
    EXPECT_EQ(1u, g_bFirstDeviceCheck);
    EXPECT_FALSE(ScratchRegistry::KeyExists(HKEY_LOCAL_MACHINE, kWia));
}

TEST_F(DeviceChange, BothWritable_DriverSetsFive_OnePassThenQuiet)
{
    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, kTwain, L"DeviceChange", 0);
    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, kWia, L"DeviceChange", 0);
    EXPECT_EQ(1, CheckDeviceChange()) << "first tick resets both";
    EXPECT_EQ(0, CheckDeviceChange());

    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, kWia, L"DeviceChange", 5);
    EXPECT_EQ(1, CheckDeviceChange());
    EXPECT_EQ(0u, ValueOf(kWia));
    EXPECT_EQ(0u, ValueOf(kTwain));
    EXPECT_EQ(0u, g_bWiaDeviceChange);
    EXPECT_EQ(0, CheckDeviceChange());
    g_bWiaDeviceChange = 1;
    EXPECT_EQ(0, CheckDeviceChange()) << "a quiet key is not opened, so its flag is not acted upon";
    g_bWiaDeviceChange = 0;

    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, kTwain, L"DeviceChange", 5);
    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, kWia, L"DeviceChange", 5);
    EXPECT_EQ(1, CheckDeviceChange());
    EXPECT_EQ(0u, ValueOf(kTwain));
    EXPECT_EQ(0u, ValueOf(kWia));
    EXPECT_EQ(0, CheckDeviceChange());
}

TEST_F(DeviceChange, WideValue_NeverReadAndLeftAsItIs)
{
    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, kTwain, L"DeviceChange", 0);
    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, kWia, L"DeviceChange", 0);
    ASSERT_EQ(1, CheckDeviceChange());

    const unsigned long long ullWide = 0x0000000500000005ULL;
    ScratchRegistry::SetBinary(HKEY_LOCAL_MACHINE, kTwain, L"DeviceChange", &ullWide, sizeof(ullWide));
    EXPECT_EQ(0, CheckDeviceChange());
    EXPECT_EQ(0, CheckDeviceChange());
    EXPECT_EQ(0u, g_bTwainDeviceChange);

    unsigned long long ullStored = 0;
    DWORD cb = sizeof(ullStored);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, kTwain.c_str(), L"DeviceChange", RRF_RT_ANY,
                                          nullptr, &ullStored, &cb));
    EXPECT_EQ(8u, cb);
    EXPECT_EQ(ullWide, ullStored) << "a value we cannot read is not reset either";
}

TEST_F(DeviceChange, KeyAppearingLater_IsResetAndAsksForAPass)
{
    EXPECT_EQ(1, CheckDeviceChange());
    EXPECT_EQ(0, CheckDeviceChange());
    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, kWia, L"DeviceChange", 3);
    EXPECT_EQ(1, CheckDeviceChange()) << "its flag stood set while the key was missing";
    EXPECT_EQ(0u, ValueOf(kWia));
    EXPECT_EQ(0, CheckDeviceChange());

    // A driver removed and installed again: its key is new, seen from the key above.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, kWia.c_str()));
    EXPECT_EQ(0, CheckDeviceChange());
    ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, kWia, L"DeviceChange", 2);
    EXPECT_EQ(1, CheckDeviceChange());
    EXPECT_EQ(0u, ValueOf(kWia));
}
