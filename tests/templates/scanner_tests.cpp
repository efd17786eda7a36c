// The still-image session: opening the service, listing, the family tables,
// opening a device, giving everything back.
#include "tests/templates/template_fixture.h"

#include "templates/driver_requests.h"
#include "templates/sti_scanner.h"

using namespace tmpltest;

namespace {

class ScannerSessionTest : public TemplatePassTest {
protected:
    void TearDown() override
    {
        CSTIScanner::ReleaseStiDevice();
        CSTIScanner::ReleaseSTI(false);
        TemplatePassTest::TearDown();
    }

    // Opens the service and lists the configured devices; answers the count.
    DWORD OpenAndList()
    {
        EXPECT_EQ(S_OK, CSTIScanner::InitializeSTI());
        DWORD dwCount = 0;
        EXPECT_EQ(S_OK, CSTIScanner::ListStiDevices(ListingTexts::DeletePass, &dwCount));
        return dwCount;
    }

    // Family answers for one description: {TWAIN, WIA}.
    std::pair<bool, bool> FamilyOf(const std::wstring& wstrDesc)
    {
        stisim::SetStiDevices({Twain(L"dev0", wstrDesc)});
        EXPECT_EQ(1u, OpenAndList());
        std::pair<bool, bool> result{CSTIScanner::IsTwainFamily(0), CSTIScanner::IsWiaFamily(0)};
        CSTIScanner::ReleaseSTI(false);
        return result;
    }
};

} // namespace

TEST_F(ScannerSessionTest, OpensTheUnicodeServiceVersion2AndListsEveryDevice)
{
    stisim::SetStiDevices({Twain(L"dev0"), Wia(L"dev1")});
    EXPECT_EQ(2u, OpenAndList());
    auto vecCreate = stisim::JournalOf(L"", L"StiCreateInstance");
    ASSERT_EQ(1u, vecCreate.size());
    EXPECT_EQ(0x01000002u, vecCreate[0].dwCode);
    auto vecList = stisim::JournalOf(L"", L"GetDeviceList");
    ASSERT_EQ(1u, vecList.size());
    EXPECT_EQ(0u, vecList[0].dwCode) << "every type of device";
    EXPECT_EQ(0u, vecList[0].dwExtra) << "attached or not";
    EXPECT_EQ(0u, CSTIScanner::m_nDevicesFound);
}

TEST_F(ScannerSessionTest, ServiceThatCannotBeCreatedFailsWithATrace)
{
    stisim::SetStiCreateResult(REGDB_E_CLASSNOTREG);
    EXPECT_EQ(E_FAIL, CSTIScanner::InitializeSTI());
    EXPECT_TRUE(m_trace.Contains(L"\t\tStiCreateInstance FAILED\r\n"));
    DWORD dwCount = 7;
    EXPECT_EQ(E_FAIL, CSTIScanner::ListStiDevices(ListingTexts::DeletePass, &dwCount));
    EXPECT_EQ(0u, dwCount);
    EXPECT_TRUE(m_trace.Contains(L"\t\t Invalid IStillImage ptr\r\n"));
    EXPECT_EQ(0, CSTIScanner::ReleaseSTI(false)) << "no service open: nothing to release";
}

TEST_F(ScannerSessionTest, EmptyOrFailedListingEndsThePassWithThePassOwnTexts)
{
    ASSERT_EQ(S_OK, CSTIScanner::InitializeSTI());
    DWORD dwCount = 0;
    EXPECT_EQ(E_FAIL, CSTIScanner::ListStiDevices(ListingTexts::DeletePass, &dwCount));
    EXPECT_TRUE(m_trace.Contains(L"\t\t IStillImage::GetDeviceList FAILED. No Devices Found\r\n"));
    stisim::SetDeviceListResult(E_NOTIMPL);
    EXPECT_EQ(E_NOTIMPL, CSTIScanner::ListStiDevices(ListingTexts::RepublishPass, &dwCount));
    EXPECT_EQ(0u, dwCount);
    EXPECT_TRUE(
        m_trace.Contains(L"\t\t RePublishAllTemplates IStillImage::GetDeviceList FAILED. No Devices Found\r\n"));
}

TEST_F(ScannerSessionTest, NewListingGivesBackThePreviousArrayFirst)
{
    // A large array lives on pages of its own, so its release is visible.
    stisim::SetDeviceListPadding(4 * 1024 * 1024);
    stisim::SetStiDevices({Twain(L"dev0")});
    ASSERT_EQ(1u, OpenAndList());
    const void* pvFirst = stisim::LastDeviceList();
    ASSERT_NE(nullptr, pvFirst);
    MEMORY_BASIC_INFORMATION mbi = {};
    ASSERT_NE(0u, VirtualQuery(pvFirst, &mbi, sizeof(mbi)));
    EXPECT_EQ(static_cast<DWORD>(MEM_COMMIT), mbi.State);

    stisim::SetStiDevices({Twain(L"dev0"), Twain(L"dev1", kTwainDesc2)});
    DWORD dwCount = 0;
    ASSERT_EQ(S_OK, CSTIScanner::ListStiDevices(ListingTexts::DeletePass, &dwCount));
    EXPECT_EQ(2u, dwCount);
    ASSERT_NE(pvFirst, stisim::LastDeviceList());
    ASSERT_NE(0u, VirtualQuery(pvFirst, &mbi, sizeof(mbi)));
    EXPECT_NE(static_cast<DWORD>(MEM_COMMIT), mbi.State) << "the first listing's array was not given back";
    EXPECT_STREQ(kTwainDesc2, CSTIScanner::DeviceDescription(1)) << "the new array is the one in use";

    const void* pvSecond = stisim::LastDeviceList();
    CSTIScanner::ReleaseSTI(false);
    ASSERT_NE(0u, VirtualQuery(pvSecond, &mbi, sizeof(mbi)));
    EXPECT_NE(static_cast<DWORD>(MEM_COMMIT), mbi.State) << "the release gives the last array back";
}

TEST_F(ScannerSessionTest, FamilyTablesMatchBySubstringRegardlessOfCase)
{
    EXPECT_EQ(std::make_pair(false, true), FamilyOf(L"orbek chromhold wia scanner"));
    EXPECT_EQ(std::make_pair(false, true), FamilyOf(L"Orbek Chromhold 6401/6402/6403 WIA Scanner"));
    EXPECT_EQ(std::make_pair(false, false), FamilyOf(L"Orbek Chromhold 6501/6502 WIA Scanner"))
        << "other model numbers stand between the family word and \"WIA Scanner\"";
    EXPECT_EQ(std::make_pair(false, false), FamilyOf(L"Orbek Chromhold 6501/6502 TWAIN Scanner"));
    EXPECT_EQ(std::make_pair(true, false), FamilyOf(L"Orbek Tividal 8812MFP TWAIN Scanner Driver (USB)"));
    EXPECT_EQ(std::make_pair(true, false), FamilyOf(L"Network: ORBEK MARLSTONE/PRO TWAIN SCANNER #2"));
    EXPECT_EQ(std::make_pair(false, false), FamilyOf(L"Contoso Flatbed 3000"));
    EXPECT_EQ(std::make_pair(false, false), FamilyOf(L""));
    // A description that names both drivers belongs to both families.
    EXPECT_EQ(std::make_pair(true, true), FamilyOf(L"Orbek Chromhold TWAIN Scanner + Orbek Chromhold WIA Scanner"));
}

TEST_F(ScannerSessionTest, CreateDeviceOpensTheRecordByItsInternalNameInStatusMode)
{
    stisim::StiDeviceConfig broken = Twain(L"dev1");
    broken.hrCreate = STIERR_DEVICE_NOTREADY;
    stisim::SetStiDevices({Twain(L"dev0"), broken});
    ASSERT_EQ(2u, OpenAndList());
    EXPECT_EQ(S_OK, CSTIScanner::CreateDevice(0));
    EXPECT_NE(nullptr, CSTIScanner::m_pStiDevice);
    auto vecCreate = stisim::JournalOf(L"dev0", L"CreateDevice");
    ASSERT_EQ(1u, vecCreate.size());
    EXPECT_EQ(static_cast<DWORD>(STI_DEVICE_CREATE_STATUS), vecCreate[0].dwCode);
    CSTIScanner::ReleaseStiDevice();
    EXPECT_EQ(nullptr, CSTIScanner::m_pStiDevice);

    EXPECT_EQ(E_FAIL, CSTIScanner::CreateDevice(1));
    EXPECT_EQ(nullptr, CSTIScanner::m_pStiDevice);
    EXPECT_TRUE(m_trace.Contains(L"\t\tIStillImage::CreateDevice failed\r\n"));
    EXPECT_EQ(E_FAIL, CSTIScanner::CreateDevice(2)) << "an index past the list opens nothing";
}

TEST_F(ScannerSessionTest, ReleaseGivesBackListServiceAndOnRequestTheSidText)
{
    stisim::SetStiDevices({Twain(L"dev0")});
    ASSERT_EQ(1u, OpenAndList());
    std::wstring wstrSid;
    CSTIScanner::ReleaseSTI(false);
    EXPECT_EQ(0, stisim::LiveObjects());
    EXPECT_TRUE(CopyUserSidText(wstrSid));
    EXPECT_EQ(kUserSid, wstrSid);

    ASSERT_EQ(1u, OpenAndList());
    CSTIScanner::ReleaseSTI(true);
    EXPECT_FALSE(CopyUserSidText(wstrSid));
    EXPECT_EQ(E_FAIL, CSTIScanner::CreateDevice(0)) << "no list after the release";
}

TEST_F(ScannerSessionTest, FatalStatusSetsAreComparedUnsigned)
{
    EXPECT_TRUE(IsRpcFatalStatus(static_cast<HRESULT>(0x80010001)));
    EXPECT_TRUE(IsRpcFatalStatus(static_cast<HRESULT>(0x80010108)));
    EXPECT_TRUE(IsRpcFatalStatus(static_cast<HRESULT>(0x80010122)));
    EXPECT_TRUE(IsRpcFatalStatus(static_cast<HRESULT>(0x8001FFFF)));
    EXPECT_FALSE(IsRpcFatalStatus(static_cast<HRESULT>(0x80010123)));
    EXPECT_FALSE(IsRpcFatalStatus(static_cast<HRESULT>(0x80010000)));
    EXPECT_FALSE(IsRpcFatalStatus(E_FAIL));
    EXPECT_FALSE(IsRpcFatalStatus(S_OK));
    EXPECT_FALSE(IsRpcFatalStatus(static_cast<HRESULT>(0x00010108)));
    EXPECT_TRUE(IsWiaFatalStatus(static_cast<HRESULT>(0x80210001)));
    EXPECT_TRUE(IsWiaFatalStatus(static_cast<HRESULT>(0x8021000F)));
    EXPECT_FALSE(IsWiaFatalStatus(static_cast<HRESULT>(0x80210010)));
    EXPECT_FALSE(IsWiaFatalStatus(static_cast<HRESULT>(0x80210000)));
    EXPECT_FALSE(IsWiaFatalStatus(static_cast<HRESULT>(0x00210005)));
}
