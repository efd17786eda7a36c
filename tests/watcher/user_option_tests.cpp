#include <gtest/gtest.h>

#include <string>

#include "discovery/state.h"
#include "tests/support/test_support.h"
#include "watcher/user_option.h"

using namespace testsupport;

namespace {

constexpr wchar_t kFolder[] = L"C:\\ProgramData"; // 14 characters

std::wstring Derive(const std::wstring& filingPath, bool* pbOk = nullptr)
{
    wchar_t wsz[kPathCapacity] = L"untouched";
    bool bOk = DeriveUserRegPath(filingPath.c_str(), kFolder, wsz, ARRAYSIZE(wsz));
    if (pbOk != nullptr)
        *pbOk = bOk;
    return bOk ? std::wstring(wsz) : std::wstring(L"<none>");
}

} // namespace

TEST(UserRegPath, TailBelowTheFolderGoesUnderSoftwareWithTheFamilyWord)
{
    EXPECT_EQ(L"Software\\A\\MarlstoneB", Derive(L"C:\\ProgramData\\A\\MSTB"));
    EXPECT_EQ(L"Software\\P\\MarlstoneQ\\R", Derive(L"C:\\ProgramData\\P\\MSTQ\\R"));
    // Only the first "MST", and case matters.
    EXPECT_EQ(L"Software\\mst\\MarlstoneX\\MST", Derive(L"C:\\ProgramData\\mst\\MSTX\\MST"));
    // The leading characters are not compared with the folder, only counted.
    EXPECT_EQ(L"Software\\A\\MarlstoneB", Derive(L"D:\\Elsewhere12\\A\\MSTB"));
}

TEST(UserRegPath, WithoutTheAbbreviationTheTextIsUsedAsItIs)
{
    EXPECT_EQ(L"Software\\A\\XYZB", Derive(L"C:\\ProgramData\\A\\XYZB"));
}

TEST(UserRegPath, FilingPathNotBelowTheFolderGivesNoKey)
{
    TraceCapture traces;
    bool bOk = true;
    Derive(L"C:\\Scans", &bOk);
    EXPECT_FALSE(bOk);
    Derive(L"C:\\ProgramData", &bOk); // nothing below the folder
    EXPECT_FALSE(bOk);
    EXPECT_EQ(2u,
              traces.Count(L"\t Filing path is not below the common application data folder, no user key \r\n"));
}

TEST(UserRegPath, KeyLongerThan259CharactersGivesNoKey)
{
    TraceCapture traces;
    // "Software" + 241 characters of tail + 6 for the widening: 255, fits.
    std::wstring tail = L"\\MST" + std::wstring(237, L'k');
    bool bOk = false;
    std::wstring key = Derive(kFolder + tail, &bOk);
    EXPECT_TRUE(bOk);
    EXPECT_EQ(255u, key.size());

    // A filing path of 260 characters: 254 before the widening, 260 after.
    tail = L"\\MST" + std::wstring(242, L'k');
    ASSERT_EQ(260u, (kFolder + tail).size());
    Derive(kFolder + tail, &bOk);
    EXPECT_FALSE(bOk);
    EXPECT_TRUE(traces.Contains(L"\t User key path too long, no user key \r\n"));

    // The same length without the abbreviation fits: 254 characters.
    tail = L"\\XYZ" + std::wstring(242, L'k');
    key = Derive(kFolder + tail, &bOk);
    EXPECT_TRUE(bOk);
    EXPECT_EQ(254u, key.size());
}

TEST(DeleteMarker, TagIsTheLastFourCharactersReversed)
{
    char sz[kPathCapacity] = {};
    ASSERT_TRUE(BuildDeleteMarkerPath(kFolder, L"Software\\A\\MarlstoneB", sz, ARRAYSIZE(sz)));
    EXPECT_STREQ("C:\\ProgramData\\Beno_obk.del", sz);
    ASSERT_TRUE(BuildDeleteMarkerPath(kFolder, L"Software\\WXYZ", sz, ARRAYSIZE(sz)));
    EXPECT_STREQ("C:\\ProgramData\\ZYXW_obk.del", sz);
}

TEST(DeleteMarker, PathThatWouldBeCutShortIsRefused)
{
    TraceCapture traces;
    std::wstring folder = L"C:\\" + std::wstring(244, L'f'); // 247 + "\\" + 4 + "_obk.del" = 260
    char sz[kPathCapacity] = {};
    EXPECT_FALSE(BuildDeleteMarkerPath(folder.c_str(), L"Software\\WXYZ", sz, ARRAYSIZE(sz)));
    EXPECT_TRUE(traces.Contains(L"\t Marker path too long, no marker \r\n"));
    folder.pop_back();
    EXPECT_TRUE(BuildDeleteMarkerPath(folder.c_str(), L"Software\\WXYZ", sz, ARRAYSIZE(sz)));
    EXPECT_EQ(259u, strlen(sz));
}

class DeleteImageOption : public ::testing::Test {
protected:
    void SetUp() override { wcscpy_s(g_wszUserName, L"tester"); }
    ScratchRegistry m_registry;
    TraceCapture m_traces;
};

TEST_F(DeleteImageOption, WritesTheAccountsValueAsDword)
{
    EXPECT_EQ(S_OK, CObkCplUI::RegWriteDeleteImageOption(1, L"Software\\A\\MarlstoneB"));
    DWORD dw = 0;
    ASSERT_TRUE(ScratchRegistry::ReadDword(HKEY_CURRENT_USER, L"Software\\A\\MarlstoneB",
                                           L"tester_DeleteImageOnScan", dw));
    EXPECT_EQ(1u, dw);
    EXPECT_EQ(1u, m_traces.Count(L"RegWriteDeleteImageOption Enter \r\n"));
    EXPECT_EQ(1u, m_traces.Count(L"CObkCplUI::RegWriteDeleteImageOption Exit \r\n"));

    // An existing value is overwritten.
    EXPECT_EQ(S_OK, CObkCplUI::RegWriteDeleteImageOption(7, L"Software\\A\\MarlstoneB"));
    ASSERT_TRUE(ScratchRegistry::ReadDword(HKEY_CURRENT_USER, L"Software\\A\\MarlstoneB",
                                           L"tester_DeleteImageOnScan", dw));
    EXPECT_EQ(7u, dw);
}

TEST_F(DeleteImageOption, EmptyOrUnterminatedPathIsAnInvalidArgument)
{
    const std::wstring invalid = L"\tRegWriteDeleteImageOption - Invalid Argument: m_obkDevProps.szUserRegPath  \r\n";
    EXPECT_EQ(E_INVALIDARG, CObkCplUI::RegWriteDeleteImageOption(1, L""));
    std::wstring tooLong(260, L'k');
    EXPECT_EQ(E_INVALIDARG, CObkCplUI::RegWriteDeleteImageOption(1, tooLong.c_str()));
    EXPECT_EQ(2u, m_traces.Count(invalid));
    EXPECT_FALSE(m_traces.Contains(L"CObkCplUI::RegWriteDeleteImageOption Exit \r\n"));
    EXPECT_FALSE(ScratchRegistry::KeyExists(HKEY_CURRENT_USER, tooLong.substr(0, 255)));
}

TEST_F(DeleteImageOption, KeyThatCannotBeCreatedFails)
{
    // A lasting key cannot be made below a volatile one.
    HKEY hVolatile = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Volatile", 0, nullptr,
                                             REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &hVolatile, nullptr));
    RegCloseKey(hVolatile);
    std::wstring path = L"Software\\Volatile\\Child";
    EXPECT_EQ(E_FAIL, CObkCplUI::RegWriteDeleteImageOption(1, path.c_str()));
    EXPECT_TRUE(m_traces.Contains(L"\tRegWriteDeleteImageOption - RegCreateKeyEx failed\r\n"));
    EXPECT_TRUE(m_traces.Contains(L"CObkCplUI::RegWriteDeleteImageOption Exit \r\n"));
}
