// Template lookup, settings reading and the repository refresh on real files.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/owners.h"
#include "delivery/template_file.h"
#include "discovery/state.h"
#include "tests/reliability/fault_injection.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

std::string Template(const std::string& address)
{
    return "Name \"Scan\"\r\nRepositoryName \"" + address + "\"\r\nPCFolderPath \"C:\\Out\"\r\n";
}

std::wstring FirstMatch(const std::wstring& folder)
{
    WIN32_FIND_DATAW fd{};
    HANDLE h = FindFirstFileW((folder + L"\\*.ost").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return L"";
    FindClose(h);
    return fd.cFileName;
}

class TemplateFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_pDevice = std::make_unique<DeviceInfo>();
        m_templates = m_folder / L"Templates";
        MakeFolder(m_templates);
        wcscpy_s(m_pDevice->szTemplateFolder, m_templates.c_str());
        SetIPAddressText(L"192.168.1.20");
        m_nHandles = CountProcessHandles();
    }
    void TearDown() override { EXPECT_EQ(m_nHandles, CountProcessHandles()) << "a handle was not given back"; }

    std::wstring TemplatePath(const wchar_t* pszName = L"a.ost") const { return m_templates + L"\\" + pszName; }
    int Update() { return UpdateTemplateRepository(m_pDevice.get()); }

    ScratchFolder m_folder;
    TraceCapture m_traces;
    std::unique_ptr<DeviceInfo> m_pDevice;
    std::wstring m_templates;
    size_t m_nHandles = 0;
};

} // namespace

TEST_F(TemplateFiles, FindTemplateFile_FirstMatchOnlyWithTheSearchHeldByItsOwner)
{
    WriteFileBytes(TemplatePath(L"b.ost"), "");
    WriteFileBytes(TemplatePath(L"a.ost"), "");
    WriteFileBytes(TemplatePath(L"c.txt"), "");
    size_t nBefore = CountProcessHandles();
    wchar_t wszPath[kPathCapacity] = {};
    {
        bgt::UniqueFindHandle hSearch;
        ASSERT_TRUE(FindTemplateFile(m_templates.c_str(), hSearch, wszPath, ARRAYSIZE(wszPath)));
        EXPECT_TRUE(hSearch.valid());
        EXPECT_EQ(nBefore + 1, CountProcessHandles()) << "the search stays open for its owner";
    }
    EXPECT_EQ(nBefore, CountProcessHandles());
    std::wstring first = FirstMatch(m_templates);
    EXPECT_EQ(m_templates + L"\\" + first, wszPath);
    EXPECT_EQ(1u, m_traces.Count(L">  Template found is  " + first + L"\r\n"));
}

TEST_F(TemplateFiles, FindTemplateFile_NoneOrAPathThatWouldBeCutShort)
{
    bgt::UniqueFindHandle hSearch;
    wchar_t wszPath[kPathCapacity] = {};
    EXPECT_FALSE(FindTemplateFile(m_templates.c_str(), hSearch, wszPath, ARRAYSIZE(wszPath)));
    EXPECT_FALSE(hSearch.valid());

    WriteFileBytes(TemplatePath(L"long_template_name.ost"), "");
    wchar_t wszShort[10] = {};
    EXPECT_FALSE(FindTemplateFile(m_templates.c_str(), hSearch, wszShort, ARRAYSIZE(wszShort)));
    EXPECT_FALSE(hSearch.valid()) << "the search is closed when its result cannot be used";

    std::wstring tooLong = m_templates + L"\\" + std::wstring(260, L'x');
    EXPECT_FALSE(FindTemplateFile(tooLong.c_str(), hSearch, wszPath, ARRAYSIZE(wszPath)));

    // An empty folder (one that did not fit) is no folder, not the drive's root.
    std::wstring rootTemplate = m_templates.substr(0, 3) + L"bgt-root-probe.ost";
    WriteFileBytes(rootTemplate, "RepositoryName \"10.0.0.9\"\r\n");
    wchar_t wszOldDir[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, wszOldDir);
    SetCurrentDirectoryW(m_templates.c_str());
    EXPECT_FALSE(FindTemplateFile(L"", hSearch, wszPath, ARRAYSIZE(wszPath)));
    SetCurrentDirectoryW(wszOldDir);
    DeleteFileW(rootTemplate.c_str());
}

TEST_F(TemplateFiles, ReadSettings_FromATemplateFile)
{
    WriteFileBytes(TemplatePath(), "PCFolderPath \"C:\\Out\"\r\nPCBaseFileName \"scan\"\r\nPCPreview \"ON\"\r\n");
    SendToFolderSettings s = ReadSendToFolderSettings(TemplatePath().c_str());
    EXPECT_FALSE(s.bSendToFolder);
    EXPECT_STREQ("C:\\Out", s.szPCFolderPath);
    EXPECT_STREQ("scan", s.szPCBaseFileName);
    EXPECT_TRUE(m_traces.Contains(L">  SendToFolder-> Preview value is ON.  \r\n"));

    s = ReadSendToFolderSettings(TemplatePath(L"missing.ost").c_str());
    EXPECT_FALSE(s.bSendToFolder);
    EXPECT_STREQ("", s.szPCFolderPath);

    // Past 1 MiB a file is no template and is not read.
    std::string big = "PCFolderPath \"C:\\Out\"\r\n";
    WriteFileBytes(TemplatePath(L"big.ost"), big + std::string(1024 * 1024 + 1 - big.size(), ' '));
    EXPECT_FALSE(ReadSendToFolderSettings(TemplatePath(L"big.ost").c_str()).bSendToFolder);
    WriteFileBytes(TemplatePath(L"big.ost"), big + std::string(1024 * 1024 - big.size(), ' '));
    EXPECT_TRUE(ReadSendToFolderSettings(TemplatePath(L"big.ost").c_str()).bSendToFolder);
}

TEST_F(TemplateFiles, Update_EmptyFolderAnswersZero)
{
    EXPECT_EQ(0, Update());
    EXPECT_TRUE(ListFolder(m_templates).empty());
}

TEST_F(TemplateFiles, Update_EqualAddressLeavesTheFileAsItIs)
{
    WriteFileBytes(TemplatePath(), Template("192.168.1.20"));
    EXPECT_EQ(0, Update());
    EXPECT_EQ(Template("192.168.1.20"), ReadFileBytes(TemplatePath()));
    EXPECT_TRUE(m_traces.Contains(L">  IPs match!!  \r\n"));
    EXPECT_EQ((std::vector<std::wstring>{L"a.ost"}), ListFolder(m_templates));
}

TEST_F(TemplateFiles, Update_DifferentAddressRewritesEveryOccurrenceWithCrLfAndNoBytesAdded)
{
    std::string before = "Name \"Scan\"\r\nRepositoryName \"10.0.0.9\"\r\nBackup \"10.0.0.9\"\r\nEnd";
    WriteFileBytes(TemplatePath(), before);
    EXPECT_EQ(0, Update());
    EXPECT_EQ("Name \"Scan\"\r\nRepositoryName \"192.168.1.20\"\r\nBackup \"192.168.1.20\"\r\nEnd",
              ReadFileBytes(TemplatePath()));
    EXPECT_FALSE(m_traces.Contains(L">  IPs match!!  \r\n"));
    EXPECT_EQ((std::vector<std::wstring>{L"a.ost"}), ListFolder(m_templates)) << "nothing left beside it";
    // A second check now finds the address.
    EXPECT_EQ(0, Update());
    EXPECT_TRUE(m_traces.Contains(L">  IPs match!!  \r\n"));
}

TEST_F(TemplateFiles, Update_OnlyTheFirstTemplateIsExamined)
{
    WriteFileBytes(TemplatePath(L"a.ost"), Template("10.0.0.9"));
    WriteFileBytes(TemplatePath(L"b.ost"), Template("10.0.0.9"));
    WriteFileBytes(TemplatePath(L"c.ost"), Template("10.0.0.9"));
    std::wstring first = FirstMatch(m_templates);
    EXPECT_EQ(0, Update());
    for (const wchar_t* pszName : {L"a.ost", L"b.ost", L"c.ost"}) {
        std::string expected = first == pszName ? Template("192.168.1.20") : Template("10.0.0.9");
        EXPECT_EQ(expected, ReadFileBytes(TemplatePath(pszName))) << std::string(first.begin(), first.end());
    }
}

TEST_F(TemplateFiles, Update_KeyWithoutValueIsPassedOver)
{
    WriteFileBytes(TemplatePath(), "RepositoryName\r\nRepositoryName \"10.0.0.9\"\r\n");
    EXPECT_EQ(0, Update());
    EXPECT_EQ("RepositoryName\r\nRepositoryName \"192.168.1.20\"\r\n", ReadFileBytes(TemplatePath()));
}

TEST_F(TemplateFiles, Update_NoRepositoryValueAnswersOneAndTouchesNothing)
{
    WriteFileBytes(TemplatePath(), "Name \"Scan\"\r\nRepositoryName\r\n");
    EXPECT_EQ(1, Update());
    EXPECT_EQ("Name \"Scan\"\r\nRepositoryName\r\n", ReadFileBytes(TemplatePath()));
}

TEST_F(TemplateFiles, Update_EmptyPcAddressLeavesTheValueAndAnswersZero)
{
    SetIPAddressText(L"");
    WriteFileBytes(TemplatePath(), Template("10.0.0.9"));
    EXPECT_EQ(0, Update());
    EXPECT_EQ(Template("10.0.0.9"), ReadFileBytes(TemplatePath()));
}

TEST_F(TemplateFiles, Update_ValueThatIsNoAddressLeavesTheFileAndAnswersOne)
{
    // Longer than any address, an address with more after it, or no address at all.
    for (std::string value : {std::string("10.0.0.9.and.a.lot.more.text.than.fits"), "10.0.0.9" + std::string(40, 'z'),
                              std::string(" Port="), std::string("scanhost")}) {
        WriteFileBytes(TemplatePath(), Template(value));
        m_traces.Clear();
        EXPECT_EQ(1, Update()) << value;
        EXPECT_EQ(Template(value), ReadFileBytes(TemplatePath()));
        EXPECT_TRUE(m_traces.Contains(
            L"\tThe RepositoryName value is not an address, the template is left as it is\r\n"))
            << value;
        EXPECT_EQ((std::vector<std::wstring>{L"a.ost"}), ListFolder(m_templates));
    }
}

TEST_F(TemplateFiles, Update_UnclosedValueKeepsItsLineBreak)
{
    WriteFileBytes(TemplatePath(), "RepositoryName \"10.0.0.9\r\nNext \"x\"\r\n");
    EXPECT_EQ(0, Update());
    EXPECT_EQ("RepositoryName \"192.168.1.20\r\nNext \"x\"\r\n", ReadFileBytes(TemplatePath()));
}

TEST_F(TemplateFiles, Update_BytesAfterCtrlZSurviveTheRewrite)
{
    std::string tail = std::string("\x1A", 1) + "RepositoryName \"10.0.0.9\"\r\n";
    WriteFileBytes(TemplatePath(), Template("10.0.0.9") + tail);
    EXPECT_EQ(0, Update());
    EXPECT_EQ(Template("192.168.1.20") + tail, ReadFileBytes(TemplatePath()));
}

TEST_F(TemplateFiles, Update_ReadOnlyTemplateAnswersOneAndStaysAsItIs)
{
    WriteFileBytes(TemplatePath(), Template("10.0.0.9"));
    ASSERT_TRUE(SetFileAttributesW(TemplatePath().c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(1, Update());
    EXPECT_EQ(Template("10.0.0.9"), ReadFileBytes(TemplatePath()));
    EXPECT_EQ((std::vector<std::wstring>{L"a.ost"}), ListFolder(m_templates));
    SetFileAttributesW(TemplatePath().c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(TemplateFiles, Update_TemplateHeldOpenWithoutSharingAnswersOne)
{
    WriteFileBytes(TemplatePath(), Template("10.0.0.9"));
    bgt::UniqueFileHandle hHeld(
        CreateFileW(TemplatePath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(hHeld);
    EXPECT_EQ(1, Update());
    hHeld.reset();
    EXPECT_EQ(Template("10.0.0.9"), ReadFileBytes(TemplatePath()));
}

TEST_F(TemplateFiles, Update_RewriteGoesThroughWhileAnotherReaderHoldsTheTemplate)
{
    // Another watcher sharing the folder reads the template at the same moment.
    WriteFileBytes(TemplatePath(), Template("10.0.0.9"));
    bgt::UniqueFileHandle hReader(CreateFileW(TemplatePath().c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(hReader);
    EXPECT_EQ(0, Update());
    char buf[128] = {};
    DWORD cb = 0;
    ASSERT_TRUE(ReadFile(hReader.get(), buf, sizeof(buf), &cb, nullptr));
    EXPECT_EQ(Template("10.0.0.9"), std::string(buf, cb)) << "the reader still sees the whole old template";
    hReader.reset();
    EXPECT_EQ(Template("192.168.1.20"), ReadFileBytes(TemplatePath()));
}

// The swap failing half way, as ReplaceFileW can (the injector leaves the files
// as Windows documents for each error), and the rename that stands in for it
// failing at each of its call points too: the old text or the new one is
// under the template's name afterwards, and nothing else is left beside it.
TEST_F(TemplateFiles, Update_SwapFailingHalfWay_OldOrNewTextStandsUnderTheName)
{
    const std::string kOld = Template("10.0.0.9");
    const std::string kNew = Template("192.168.1.20");
    struct Case {
        DWORD dwReplaceError;
        unsigned nMoveFailAt;  // 0: no move fails
        unsigned nMoveRepeat;
        bool bNew;             // the new text stands afterwards
    };
    const Case cases[] = {
        {ERROR_UNABLE_TO_REMOVE_REPLACED, 0, 1, true},
        {ERROR_UNABLE_TO_REMOVE_REPLACED, 1, 1, false},
        {ERROR_UNABLE_TO_MOVE_REPLACEMENT, 0, 1, true},
        {ERROR_UNABLE_TO_MOVE_REPLACEMENT, 1, 1, false},
        {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 0, 1, true},
        {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 1, 1, false},  // the old text renamed back
        {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 2, 1, true},   // only the put-back would have failed
        {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 1, 1000, false},  // no rename works: a second name for the old text
        {ERROR_ACCESS_DENIED, 0, 1, false},  // nothing half done: nothing to mend, no fallback runs
    };
    faults::FaultInjector injector;
    ASSERT_TRUE(faults::FaultInjector::Patched(faults::Kind::FileReplace));
    for (const Case& c : cases) {
        WriteFileBytes(TemplatePath(), kOld);
        injector.Arm(faults::Kind::FileReplace, 1, static_cast<LONG>(c.dwReplaceError));
        injector.Arm(faults::Kind::Move, c.nMoveFailAt, ERROR_SHARING_VIOLATION, c.nMoveRepeat);
        int nResult = Update();
        injector.DisarmAll();
        std::string label = "error " + std::to_string(c.dwReplaceError) + ", move failing at " +
                            std::to_string(c.nMoveFailAt) + " x" + std::to_string(c.nMoveRepeat);
        EXPECT_EQ(1u, injector.Failed(faults::Kind::FileReplace)) << label;
        EXPECT_EQ(c.bNew ? kNew : kOld, ReadFileBytes(TemplatePath())) << label;
        EXPECT_EQ(c.bNew ? 0 : 1, nResult) << label;
        EXPECT_EQ((std::vector<std::wstring>{L"a.ost"}), ListFolder(m_templates)) << label;
    }
}
