// Malformed and odd templates through every template reader, on real files:
// each case states the outcome the reading rules give, not merely that the
// reader survives.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "delivery/template_file.h"
#include "discovery/state.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

const std::string kAddress = "192.168.1.20";
const std::string kNone = "<none>";

// Literal bytes, embedded NULs included.
template <size_t N>
std::string B(const char (&a)[N])
{
    return std::string(a, N - 1);
}

std::string Run(size_t cb, char c) { return std::string(cb, c); }

// Every byte from 0x80 to 0xFF: none of them is a quote, a newline or a Ctrl-Z.
std::string HighBytes()
{
    std::string s;
    for (int c = 0x80; c <= 0xFF; ++c)
        s += static_cast<char>(c);
    return s;
}

const std::string kBom = "\xEF\xBB\xBF";
const std::string kBigLine = Run(64 * 1024, 'x');

class MalformedTemplates : public ::testing::Test {
protected:
    // The first SCOPED_TRACE of a thread makes GoogleTest start a thread that
    // watches it, and keep its handle: not ours to count.
    static void SetUpTestSuite() { SCOPED_TRACE("warm-up"); }
    void SetUp() override
    {
        m_templates = m_folder / L"Templates";
        MakeFolder(m_templates);
        m_pDevice = std::make_unique<DeviceInfo>();
        wcscpy_s(m_pDevice->szTemplateFolder, m_templates.c_str());
        m_nHandles = CountProcessHandles();
    }
    void TearDown() override
    {
        SetIPAddressText(L"");
        EXPECT_EQ(m_nHandles, CountProcessHandles()) << "a handle was not given back";
    }
    std::wstring TemplatePath() const { return m_templates + L"\\a.ost"; }

    ScratchFolder m_folder;
    TraceCapture m_traces;
    std::wstring m_templates;
    std::unique_ptr<DeviceInfo> m_pDevice;
    size_t m_nHandles = 0;
};

// --- The value rule, on the first piece of a real file -------------------------

struct ValueCase {
    const char* pszName;
    std::string bytes;
    std::string value;  // kNone: no value
};

const std::vector<ValueCase>& ValueCases()
{
    static const std::vector<ValueCase> cases = {
        {"empty file", "", kNone},
        {"no final newline", "key \"value\"", "value"},
        {"CR LF line end", "key \"value\"\r\nnext \"x\"\r\n", "value"},
        {"CR-only lines are one line", "key \"a\rb\"\rnext \"x\"\r", "a\rb"},
        {"lone quote at the end", "key \"", kNone},
        {"lone quote runs to the end", "key \"abc", "abc"},
        {"lone quote keeps the newline", "key \"abc\r\n", "abc\n"},
        {"two quotes only", "\"\"", kNone},
        {"three quotes only", "\"\"\"", kNone},
        {"one quoted word", "\"a\"", kNone},
        {"quoted words side by side", "\"a\"\"b\"", "b"},
        {"empty quotes take the text after", "key \"\"after\r\n", "after\n"},
        {"empty quotes then the newline", "key \"\"\r\n", "\n"},
        {"space between empty quotes", "key \"\" \"\"", " "},
        {"quoted key then the newline", "\"key\"\r\n", "\n"},
        {"NUL before the value", B("key\0 \"v\""), kNone},
        {"NUL inside the value", B("key \"ab\0cd\""), "ab"},
        {"NUL as the first byte", B("\0key \"v\""), kNone},
        {"Ctrl-Z before the value", "key \x1A\"v\"", kNone},
        {"Ctrl-Z as the first byte", "\x1Akey \"v\"", kNone},
        {"64 KB value: the first piece holds 506 bytes of it", "key \"" + kBigLine + "\"", Run(506, 'x')},
        {"64 KB line: the value lies beyond the first piece", kBigLine + " \"v\"", kNone},
        {"bytes 0x80-0xFF", "key \"" + HighBytes() + "\"", HighBytes()},
        {"UTF-8 BOM before the key", kBom + "key \"v\"", "v"},
        {"UTF-8 BOM as the first piece", kBom + "\"v\"", "v"},
        {"value of 31 characters", "key \"" + Run(31, '1') + "\"\r\n", Run(31, '1')},
        {"value of 32 characters", "key \"" + Run(32, '2') + "\"\r\n", Run(32, '2')},
        {"value of 300 characters", "key \"" + Run(300, '3') + "\"\r\n", Run(300, '3')},
        {"510 characters: the closing quote falls in the next piece", "\"" + Run(510, '5') + "\"", kNone},
        {"single quotes are no quotes", "key 'v'\r\n", kNone},
        {"tab inside the quotes", "key\t\"\t\"", "\t"},
        {"the first of two values", "key \"a\" \"b\"", "a"},
    };
    return cases;
}

TEST_F(MalformedTemplates, ValueRule_FirstPieceOfEachFile)
{
    ASSERT_GE(ValueCases().size(), 25u);
    for (const ValueCase& c : ValueCases()) {
        SCOPED_TRACE(c.pszName);
        WriteFileBytes(TemplatePath(), c.bytes);
        std::string bytes = ReadFileBytes(TemplatePath());
        ASSERT_EQ(c.bytes, bytes);
        TemplateTextReader reader(bytes.data(), bytes.size());
        char szLine[kTemplateLineBytes];
        std::string value = kNone;
        const char* pValue = nullptr;
        size_t cbValue = 0;
        if (reader.ReadLine(szLine, sizeof(szLine)) > 0 && GetQuotedValue(szLine, &pValue, &cbValue))
            value = std::string(pValue, cbValue);
        EXPECT_EQ(c.value, value);
    }
}

// --- ReadSendToFolderSettings ----------------------------------------------------

struct SettingsCase {
    const char* pszName;
    std::string bytes;
    bool bSendToFolder;
    std::string folder;
    std::string baseName;
    std::string preview;
    bool bPreviewOn;  // the read stopped at a "PCPreview" value "ON"
};

const std::vector<SettingsCase>& SettingsCases()
{
    static const std::vector<SettingsCase> cases = {
        {"empty file", "", false, "", "", "", false},
        {"no final newline", "PCFolderPath \"C:\\Out\"", true, "C:\\Out", "", "", false},
        {"CR-only lines are one line: the first key decides",
         "PCFolderPath \"C:\\Out\"\rPCBaseFileName \"b\"\r", true, "C:\\Out", "", "", false},
        {"CR-only lines: preview before the folder key counts as the folder",
         "PCPreview \"ON\"\rPCFolderPath \"x\"\r", true, "ON", "", "", false},
        {"lone quote: the newline alone is an empty value", "PCFolderPath \"\r\n", true, "", "", "", false},
        {"lone quote at the end of the file", "PCFolderPath \"", true, "", "", "", false},
        {"NUL inside the folder value", B("PCFolderPath \"C:\\A\0B\"\r\n"), true, "C:\\A", "", "", false},
        {"NUL before the key hides it", B("\0PCFolderPath \"x\""), false, "", "", "", false},
        {"NUL hides only the rest of its own line", B("Name\0junk\r\nPCFolderPath \"x\"\r\n"), true, "x", "", "",
         false},
        {"64 KB line before the settings", kBigLine + "\r\nPCFolderPath \"x\"\r\n", true, "x", "", "", false},
        {"64 KB folder value: 497 bytes of it", "PCFolderPath \"" + Run(64 * 1024, 'y') + "\"\r\n", true,
         Run(497, 'y'), "", "", false},
        {"600 byte folder value: cut at the piece", "PCFolderPath \"" + Run(600, 'z') + "\"", true, Run(497, 'z'),
         "", "", false},
        {"duplicate folder: the last wins", "PCFolderPath \"A\"\r\nPCFolderPath \"B\"\r\n", true, "B", "", "", false},
        {"duplicate base name without value keeps the first", "PCBaseFileName \"a\"\r\nPCBaseFileName\r\n", false,
         "", "a", "", false},
        {"duplicate preview: the later ON stops",
         "PCFolderPath \"A\"\r\nPCPreview \"OFF\"\r\nPCPreview \"ON\"\r\nPCBaseFileName \"late\"\r\n", false, "A", "",
         "ON", true},
        {"bytes 0x80-0xFF in the folder", "PCFolderPath \"C:\\" + HighBytes() + "\"\r\n", true,
         "C:\\" + HighBytes(), "", "", false},
        {"bytes 0x80-0xFF around the settings",
         "\xE9t\xE9 \"\xFF\"\r\nPCBaseFileName \"\xC4nderung\"\r\n\xFE\xFF", false, "", "\xC4nderung", "", false},
        {"UTF-8 BOM before the folder key", kBom + "PCFolderPath \"C:\\Out\"\r\n", true, "C:\\Out", "", "", false},
        {"UTF-8 BOM before preview ON", kBom + "PCPreview \"ON\"\r\nPCFolderPath \"x\"\r\n", false, "", "", "ON",
         true},
        {"folder of 31 characters", "PCFolderPath \"" + Run(31, 'a') + "\"\r\n", true, Run(31, 'a'), "", "",
         false},
        {"folder of 32 characters", "PCFolderPath \"" + Run(32, 'b') + "\"\r\n", true, Run(32, 'b'), "", "",
         false},
        {"base name of 300 characters", "PCBaseFileName \"" + Run(300, 'c') + "\"\r\n", false, "", Run(300, 'c'),
         "", false},
        {"Ctrl-Z before the settings", "Name\x1APCFolderPath \"x\"\r\n", false, "", "", "", false},
        {"Ctrl-Z hides a later preview ON", "PCFolderPath \"x\"\r\n\x1APCPreview \"ON\"\r\n", true, "x", "", "",
         false},
        {"Ctrl-Z inside the value ends it", "PCFolderPath \"ab\x1A" "cd\"", true, "ab", "", "", false},
        {"preview on in lower case", "PCFolderPath \"x\"\r\nPCPreview \"on\"\r\n", true, "x", "", "on", false},
        {"preview ON with a space", "PCFolderPath \"x\"\r\nPCPreview \" ON\"\r\n", true, "x", "", " ON", false},
        {"preview ON unclosed loses the newline and stops", "PCFolderPath \"x\"\r\nPCPreview \"ON\r\n", false, "x",
         "", "ON", true},
        {"preview ON without a folder", "PCPreview \"ON\"\r\n", false, "", "", "ON", true},
        {"preview key without a value", "PCFolderPath \"x\"\r\nPCPreview\r\n", true, "x", "", "", false},
        {"lower-case keys are not keys", "pcfolderpath \"x\"\r\npcpreview \"ON\"\r\n", false, "", "", "", false},
        {"quotes only", "\"\"\"\"\r\n", false, "", "", "", false},
        {"a key inside a value", "PCBaseFileName \"PCPreview\"\r\n", false, "", "PCPreview", "", false},
        {"CR CR LF line end", "PCFolderPath \"x\"\r\r\n", true, "x", "", "", false},
        {"empty quotes take the text after", "PCFolderPath \"\"C:\\After\r\n", true, "C:\\After", "", "", false},
        {"empty quotes: an empty base name", "PCBaseFileName \"b\"\r\nPCBaseFileName=\"\"\r\n", false, "", "", "",
         false},
        {"empty quotes: an empty folder that still switches delivery on", "PCFolderPath=\"\"\r\n", true, "", "", "",
         false},
        {"value closed at the 511-byte edge", Run(480, ' ') + "PCFolderPath \"" + Run(16, 'e') + "\"\r\n", true,
         Run(16, 'e'), "", "", false},
    };
    return cases;
}

TEST_F(MalformedTemplates, ReadSendToFolderSettings_EachFile)
{
    ASSERT_GE(SettingsCases().size(), 25u);
    const std::wstring kPreviewTrace = L">  SendToFolder-> Preview value is ON.  \r\n";
    for (const SettingsCase& c : SettingsCases()) {
        SCOPED_TRACE(c.pszName);
        WriteFileBytes(TemplatePath(), c.bytes);
        m_traces.Clear();
        SendToFolderSettings s = ReadSendToFolderSettings(TemplatePath().c_str());
        EXPECT_EQ(c.bSendToFolder, s.bSendToFolder);
        EXPECT_EQ(c.folder, s.szPCFolderPath);
        EXPECT_EQ(c.baseName, s.szPCBaseFileName);
        EXPECT_EQ(c.preview, s.szPCPreview);
        EXPECT_EQ(c.bPreviewOn ? 1u : 0u, m_traces.Count(kPreviewTrace));
        EXPECT_EQ(c.bytes, ReadFileBytes(TemplatePath())) << "reading changed the template";
    }
}

TEST_F(MalformedTemplates, ReadSendToFolderSettings_AFolderInPlaceOfTheTemplateGivesEmptySettings)
{
    MakeFolder(m_templates + L"\\folder.ost");
    SendToFolderSettings s = ReadSendToFolderSettings((m_templates + L"\\folder.ost").c_str());
    EXPECT_FALSE(s.bSendToFolder);
    EXPECT_STREQ("", s.szPCFolderPath);
    EXPECT_STREQ("", s.szPCBaseFileName);
    EXPECT_STREQ("", s.szPCPreview);
}

// --- UpdateTemplateRepository ----------------------------------------------------

struct RepositoryCase {
    const char* pszName;
    std::string bytes;
    int nResult;
    std::string after;         // the template afterwards
    std::string address = kAddress;  // the PC's address for this case
};

const std::vector<RepositoryCase>& RepositoryCases()
{
    const std::string a = kAddress;
    const std::string seven = Run(64 * 1024, '7');
    static const std::vector<RepositoryCase> cases = {
        {"empty file", "", 1, ""},
        {"no final newline", "RepositoryName \"10.0.0.9\"", 0, "RepositoryName \"" + a + "\""},
        {"CR-only lines: the value is the line's first quoted text",
         "RepositoryName \"10.0.0.9\"\rName \"s\"\r", 0, "RepositoryName \"" + a + "\"\rName \"s\"\r"},
        {"CR-only lines: an earlier quoted text is no address, nothing is replaced",
         "Name \"s\"\rRepositoryName \"10.0.0.9\"\r", 1, "Name \"s\"\rRepositoryName \"10.0.0.9\"\r"},
        {"lone quote: a value of only the newline is passed over", "RepositoryName \"\r\n", 1,
         "RepositoryName \"\r\n"},
        {"lone quote, then a line with a value", "RepositoryName \"\r\nRepositoryName \"10.0.0.9\"\r\n", 0,
         "RepositoryName \"\r\nRepositoryName \"" + a + "\"\r\n"},
        {"unclosed value keeps its line end", "RepositoryName \"10.0.0.9\r\nx\r\n", 0,
         "RepositoryName \"" + a + "\r\nx\r\n"},
        {"NUL before the key hides it", B("\0RepositoryName \"10.0.0.9\""), 1,
         B("\0RepositoryName \"10.0.0.9\"")},
        {"NUL inside the value ends it: no address", B("RepositoryName \"10.0\0.0.9\"\r\n"), 1,
         B("RepositoryName \"10.0\0.0.9\"\r\n")},
        {"NUL after a whole address", B("RepositoryName \"10.0.0.9\0x\"\r\n"), 0,
         "RepositoryName \"" + a + B("\0x\"\r\n")},
        {"NUL in an earlier line is kept", B("a\0b\r\nRepositoryName \"10.0.0.9\"\r\n"), 0,
         B("a\0b\r\nRepositoryName \"") + a + "\"\r\n"},
        {"64 KB line before the key", kBigLine + "\r\nRepositoryName \"10.0.0.9\"\r\n", 0,
         kBigLine + "\r\nRepositoryName \"" + a + "\"\r\n"},
        {"64 KB value: no address", "RepositoryName \"" + seven + "\"\r\n", 1,
         "RepositoryName \"" + seven + "\"\r\n"},
        {"duplicate keys: the first decides", "RepositoryName \"10.0.0.9\"\r\nRepositoryName \"10.0.0.7\"\r\n", 0,
         "RepositoryName \"" + a + "\"\r\nRepositoryName \"10.0.0.7\"\r\n"},
        {"duplicate keys: the first already matches",
         "RepositoryName \"" + a + "\"\r\nRepositoryName \"10.0.0.7\"\r\n", 0,
         "RepositoryName \"" + a + "\"\r\nRepositoryName \"10.0.0.7\"\r\n"},
        {"bytes 0x80-0xFF as the value", "RepositoryName \"" + HighBytes() + "\"\r\n", 1,
         "RepositoryName \"" + HighBytes() + "\"\r\n"},
        {"bytes 0x80-0xFF around the value are kept",
         "\xE9t\xE9 \"x\"\r\nRepositoryName \"10.0.0.9\"\r\n\xFF\xFE", 0,
         "\xE9t\xE9 \"x\"\r\nRepositoryName \"" + a + "\"\r\n\xFF\xFE"},
        {"UTF-8 BOM is kept", kBom + "RepositoryName \"10.0.0.9\"\r\n", 0,
         kBom + "RepositoryName \"" + a + "\"\r\n"},
        {"value of 31 characters", "RepositoryName \"" + Run(31, '1') + "\"\r\n", 1,
         "RepositoryName \"" + Run(31, '1') + "\"\r\n"},
        {"value of 300 characters", "RepositoryName \"" + Run(300, '3') + "\"\r\n", 1,
         "RepositoryName \"" + Run(300, '3') + "\"\r\n"},
        {"empty quotes before other attributes: no address", "<Server RepositoryName=\"\" Port=\"21\" Mode=\"ftp\">\r\n",
         1, "<Server RepositoryName=\"\" Port=\"21\" Mode=\"ftp\">\r\n"},
        {"an address standing inside longer ones stays there",
         "RepositoryName=\"10.0.0.1\"\r\nMirror=\"10.0.0.12\"\r\nGate=\"110.0.0.1\"\r\nAlt=\"10.0.0.1\"\r\n", 0,
         "RepositoryName=\"" + a + "\"\r\nMirror=\"10.0.0.12\"\r\nGate=\"110.0.0.1\"\r\nAlt=\"" + a + "\"\r\n"},
        {"a number-like value that is no address", "RepositoryName \"10.0.0\"\r\nPort \"10.0.0.21\"\r\n", 1,
         "RepositoryName \"10.0.0\"\r\nPort \"10.0.0.21\"\r\n"},
        {"value that extends the address", "RepositoryName \"192.168.1.200\"\r\n", 0,
         "RepositoryName \"" + a + "\"\r\n"},
        {"value that begins the address", "RepositoryName \"192.168.1.2\"\r\nMirror 192.168.1.2\r\n", 0,
         "RepositoryName \"" + a + "\"\r\nMirror " + a + "\r\n"},
        {"Ctrl-Z before the key", "Name\x1ARepositoryName \"10.0.0.9\"", 1, "Name\x1ARepositoryName \"10.0.0.9\""},
        {"Ctrl-Z after the value: the rest stays as it is", "RepositoryName \"10.0.0.9\"\x1A" "10.0.0.9", 0,
         "RepositoryName \"" + a + "\"\x1A" "10.0.0.9"},
        {"Ctrl-Z inside the value ends it: no address", "RepositoryName \"10.0\x1A.0.9\"", 1,
         "RepositoryName \"10.0\x1A.0.9\""},
        {"the key without quotes", "RepositoryName 10.0.0.9\r\n", 1, "RepositoryName 10.0.0.9\r\n"},
        {"the key in lower case", "repositoryname \"10.0.0.9\"\r\n", 1, "repositoryname \"10.0.0.9\"\r\n"},
        {"CR CR LF line end", "RepositoryName \"10.0.0.9\"\r\r\n", 0, "RepositoryName \"" + a + "\"\r\r\n"},
        {"empty quotes, then the value", "RepositoryName \"\"10.0.0.9\r\n", 0, "RepositoryName \"\"" + a + "\r\n"},
        {"value ending in a lone CR: no address", "RepositoryName \"10.0.0.9\r\"\r\n", 1,
         "RepositoryName \"10.0.0.9\r\"\r\n"},
        {"unclosed value before CR CR LF: no address", "RepositoryName \"10.0.0.9\r\r\n", 1,
         "RepositoryName \"10.0.0.9\r\r\n"},
        {"key cut by the piece boundary", Run(505, ' ') + "RepositoryName \"10.0.0.9\"", 1,
         Run(505, ' ') + "RepositoryName \"10.0.0.9\""},
        {"a value that is part of the key: no address, the key stays", "RepositoryName \"Name\"\r\n", 1,
         "RepositoryName \"Name\"\r\n"},
        {"the longest address", "RepositoryName \"10.0.0.9\"\r\n", 0, "RepositoryName \"255.255.255.255\"\r\n",
         "255.255.255.255"},
        {"an address only one character long", "RepositoryName \"10.0.0.9\"\r\n", 0, "RepositoryName \"1\"\r\n",
         "1"},
        {"no PC address", "RepositoryName \"10.0.0.9\"\r\n", 0, "RepositoryName \"10.0.0.9\"\r\n", ""},
    };
    return cases;
}

TEST_F(MalformedTemplates, UpdateTemplateRepository_EachFile)
{
    ASSERT_GE(RepositoryCases().size(), 25u);
    for (const RepositoryCase& c : RepositoryCases()) {
        SCOPED_TRACE(c.pszName);
        WriteFileBytes(TemplatePath(), c.bytes);
        SetIPAddressText(std::wstring(c.address.begin(), c.address.end()).c_str());
        EXPECT_EQ(c.nResult, UpdateTemplateRepository(m_pDevice.get()));
        EXPECT_EQ(c.after, ReadFileBytes(TemplatePath()));
        EXPECT_EQ((std::vector<std::wstring>{L"a.ost"}), ListFolder(m_templates)) << "something left beside it";
    }
}

} // namespace
