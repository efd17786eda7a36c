// The byte-level template rules, on bytes in memory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delivery/template_bytes.h"

namespace {

// Literal bytes, embedded NULs included.
template <size_t N>
std::string Bytes(const char (&a)[N])
{
    return std::string(a, N - 1);
}

std::string ValueOf(const char* pszLine)
{
    const char* pValue = nullptr;
    size_t cb = 0;
    if (!GetQuotedValue(pszLine, &pValue, &cb))
        return "<none>";
    return std::string(pValue, cb);
}

std::vector<std::string> Pieces(const std::string& bytes, size_t cbLine = kTemplateLineBytes)
{
    TemplateTextReader reader(bytes.data(), bytes.size());
    std::vector<std::string> pieces;
    std::vector<char> line(cbLine);
    while (size_t cb = reader.ReadLine(line.data(), line.size())) {
        EXPECT_EQ('\0', line[cb]);
        pieces.emplace_back(line.data(), cb);
    }
    return pieces;
}

SendToFolderSettings Settings(const std::string& bytes, SettingsReadEnd* pEnd = nullptr)
{
    SendToFolderSettings settings;
    memset(&settings, 0x5A, sizeof(settings)); // the reader must clear it
    SettingsReadEnd end = ReadSendToFolderSettingsFromBytes(bytes.data(), bytes.size(), &settings);
    if (pEnd != nullptr)
        *pEnd = end;
    return settings;
}

std::string Repository(const std::string& bytes)
{
    char sz[kTemplateLineBytes];
    if (!FindRepositoryValue(bytes.data(), bytes.size(), sz, sizeof(sz)))
        return "<none>";
    return sz;
}

std::string Rewritten(const std::string& bytes, const char* pszOld, const char* pszNew)
{
    size_t cb = 0;
    if (!MeasureRepositoryRewrite(bytes.data(), bytes.size(), pszOld, pszNew, &cb))
        return "<refused>";
    std::string out(cb + 8, '#');
    size_t cbWritten = 0;
    EXPECT_TRUE(WriteRepositoryRewrite(bytes.data(), bytes.size(), pszOld, pszNew, out.data(), cb, &cbWritten));
    EXPECT_EQ(cb, cbWritten);
    EXPECT_EQ(std::string(8, '#'), out.substr(cb)) << "written past the measured size";
    out.resize(cbWritten);
    return out;
}

} // namespace

TEST(QuotedValue, SecondPieceBetweenQuotesIsTheValue)
{
    EXPECT_EQ("C:\\Scans", ValueOf("PCFolderPath \"C:\\Scans\"\n"));
    EXPECT_EQ("10.0.0.9", ValueOf("<RepositoryName=\"10.0.0.9\" x=\"y\">\n"));
    // A quote at the very start gives no empty first piece.
    EXPECT_EQ(" ", ValueOf("\"PCFolderPath\" \"C:\\Scans\"\n"));
    // Consecutive quotes are one separator.
    EXPECT_EQ("v", ValueOf("key\"\"\"v\"\"tail"));
}

TEST(QuotedValue, TwoQuotesWithNothingBetween_TakeTheTextAfterThem)
{
    EXPECT_EQ("after\n", ValueOf("PCFolderPath \"\"after\n"));
    EXPECT_EQ("after ", ValueOf("PCFolderPath \"\"after \"more\"\n"));
}

TEST(QuotedValue, MissingClosingQuoteRunsToTheEndWithTheNewline)
{
    EXPECT_EQ("C:\\Scans\n", ValueOf("PCFolderPath \"C:\\Scans\n"));
}

TEST(QuotedValue, FewerThanTwoPiecesHaveNoValue)
{
    EXPECT_EQ("<none>", ValueOf("PCFolderPath\n"));
    EXPECT_EQ("<none>", ValueOf("PCFolderPath \"\""));
    EXPECT_EQ("\n", ValueOf("PCFolderPath \"\"\n")) << "the newline is the second piece";
    EXPECT_EQ("<none>", ValueOf("\"PCFolderPath\""));
    EXPECT_EQ("<none>", ValueOf("\"\"\"\""));
    EXPECT_EQ("<none>", ValueOf(""));
}

TEST(QuotedValue, KeepsNoStateBetweenLines)
{
    const char* pszA = "a \"one\" b \"two\"";
    const char* pszB = "c \"three\"";
    EXPECT_EQ("one", ValueOf(pszA));
    EXPECT_EQ("three", ValueOf(pszB));
    EXPECT_EQ("one", ValueOf(pszA));
}

TEST(TemplateText, CrLfReadsAsOneNewlineAndLoneCrStays)
{
    EXPECT_EQ((std::vector<std::string>{"a\n", "b\rc\n", "d\r\r\n", "e\r"}), Pieces("a\r\nb\rc\r\nd\r\r\r\ne\r"));
    EXPECT_EQ((std::vector<std::string>{"a\n", "\n", "b"}), Pieces("a\n\nb"));
}

TEST(TemplateText, CtrlZEndsTheText)
{
    EXPECT_EQ((std::vector<std::string>{"a\n", "b"}), Pieces("a\r\nb\x1A" "c\r\nPCFolderPath \"x\"\r\n"));
    EXPECT_TRUE(Pieces("\x1A" "a").empty());
    EXPECT_EQ(3u, TemplateTextLength("abc\x1A\x1A", 5));
    EXPECT_EQ(3u, TemplateTextLength("abc", 3));
}

TEST(TemplateText, LongLinesAreReadIn511BytePieces)
{
    std::string longLine(1100, 'x');
    std::vector<std::string> pieces = Pieces(longLine + "\r\nend");
    ASSERT_EQ(4u, pieces.size());
    EXPECT_EQ(std::string(511, 'x'), pieces[0]);
    EXPECT_EQ(std::string(511, 'x'), pieces[1]);
    EXPECT_EQ(std::string(78, 'x') + "\n", pieces[2]);
    EXPECT_EQ("end", pieces[3]);
    // A newline that is the 512th byte starts a piece of its own.
    pieces = Pieces(std::string(511, 'y') + "\r\n");
    EXPECT_EQ((std::vector<std::string>{std::string(511, 'y'), "\n"}), pieces);
    // A too small buffer reads nothing.
    EXPECT_TRUE(Pieces("abc", 1).empty());
}

TEST(SendToFolderSettingsBytes, ReadsTheThreeSettings)
{
    SettingsReadEnd end{};
    SendToFolderSettings s = Settings("Name \"Scan\"\r\nPCFolderPath \"C:\\Out\"\r\nPCBaseFileName \"scan\"\r\n"
                                      "PCPreview \"OFF\"\r\n",
                                      &end);
    EXPECT_EQ(SettingsReadEnd::EndOfText, end);
    EXPECT_TRUE(s.bSendToFolder);
    EXPECT_STREQ("C:\\Out", s.szPCFolderPath);
    EXPECT_STREQ("scan", s.szPCBaseFileName);
    EXPECT_STREQ("OFF", s.szPCPreview);
}

TEST(SendToFolderSettingsBytes, EmptyTextGivesEmptySettings)
{
    SendToFolderSettings s = Settings("");
    EXPECT_FALSE(s.bSendToFolder);
    EXPECT_STREQ("", s.szPCFolderPath);
    EXPECT_STREQ("", s.szPCBaseFileName);
    EXPECT_STREQ("", s.szPCPreview);
}

TEST(SendToFolderSettingsBytes, OnlyUpperCaseOnSwitchesDeliveryOff)
{
    for (const char* pszValue : {"on", "On", "oN", "ON "}) {
        SendToFolderSettings s = Settings(std::string("PCFolderPath \"C:\\Out\"\nPCPreview \"") + pszValue + "\"\n");
        EXPECT_TRUE(s.bSendToFolder) << pszValue;
        EXPECT_STREQ(pszValue, s.szPCPreview);
    }
    SettingsReadEnd end{};
    SendToFolderSettings s = Settings("PCFolderPath \"C:\\Out\"\nPCPreview \"ON\"\nPCBaseFileName \"late\"\n", &end);
    EXPECT_EQ(SettingsReadEnd::PreviewOn, end);
    EXPECT_FALSE(s.bSendToFolder);
    EXPECT_STREQ("C:\\Out", s.szPCFolderPath);
    EXPECT_STREQ("", s.szPCBaseFileName) << "the read stops at the preview line";
}

TEST(SendToFolderSettingsBytes, PreviewOnBeforeTheFolderStopsTheRead)
{
    SettingsReadEnd end{};
    SendToFolderSettings s = Settings("PCPreview \"ON\"\r\nPCFolderPath \"C:\\Out\"\r\n", &end);
    EXPECT_EQ(SettingsReadEnd::PreviewOn, end);
    EXPECT_FALSE(s.bSendToFolder);
    EXPECT_STREQ("", s.szPCFolderPath);
    EXPECT_STREQ("ON", s.szPCPreview);
}

TEST(SendToFolderSettingsBytes, FolderLineWithoutValueSwitchesDeliveryOn)
{
    SendToFolderSettings s = Settings("PCFolderPath\r\n");
    EXPECT_TRUE(s.bSendToFolder);
    EXPECT_STREQ("", s.szPCFolderPath);
}

TEST(SendToFolderSettingsBytes, KeyWithoutValueKeepsTheEarlierValue)
{
    SendToFolderSettings s = Settings("PCBaseFileName \"first\"\nPCBaseFileName\nPCFolderPath \"A\"\n"
                                      "PCFolderPath \"B\"\nPCFolderPath no value\n");
    EXPECT_STREQ("first", s.szPCBaseFileName);
    EXPECT_STREQ("B", s.szPCFolderPath);
}

TEST(SendToFolderSettingsBytes, KeyInsideALongerWordCountsAndTheFirstKeyDecides)
{
    SendToFolderSettings s = Settings("MyPCFolderPathX \"C:\\In\"\nPCBaseFileName PCFolderPath \"both\"\n");
    EXPECT_TRUE(s.bSendToFolder);
    EXPECT_STREQ("both", s.szPCFolderPath) << "PCFolderPath is tested first";
    EXPECT_STREQ("", s.szPCBaseFileName);
    // Case matters for keys.
    s = Settings("pcfolderpath \"C:\\In\"\n");
    EXPECT_FALSE(s.bSendToFolder);
}

TEST(SendToFolderSettingsBytes, TwoQuotesWithNothingBetween_TakeTheTextAfter)
{
    SendToFolderSettings s = Settings("PCFolderPath \"\"C:\\After\r\n");
    EXPECT_STREQ("C:\\After", s.szPCFolderPath) << "the line's newline is no part of a value";
}

TEST(SendToFolderSettingsBytes, ValueOfOnlyTheNewlineIsEmpty)
{
    // `Key=""`: the value rule gives the newline after the quotes.
    SendToFolderSettings s = Settings("PCFolderPath=\"C:\\Out\"\nPCBaseFileName=\"old\"\nPCBaseFileName=\"\"\n"
                                      "PCPreview=\"\"\n");
    EXPECT_TRUE(s.bSendToFolder);
    EXPECT_STREQ("C:\\Out", s.szPCFolderPath);
    EXPECT_STREQ("", s.szPCBaseFileName) << "an empty value replaces the earlier one";
    EXPECT_STREQ("", s.szPCPreview);
    s = Settings("PCFolderPath=\"C:\\Out\"\r\nPCFolderPath=\"\"\r\n");
    EXPECT_TRUE(s.bSendToFolder);
    EXPECT_STREQ("", s.szPCFolderPath);
    // An unclosed value loses its newline too, "ON" included.
    SettingsReadEnd end{};
    s = Settings("PCFolderPath \"C:\\Out\nPCPreview \"ON\n", &end);
    EXPECT_EQ(SettingsReadEnd::PreviewOn, end);
    EXPECT_STREQ("C:\\Out", s.szPCFolderPath);
    // A newline inside the line (a lone CR) is no line end and stays.
    s = Settings("PCBaseFileName \"a\rb\r\n");
    EXPECT_STREQ("a\rb", s.szPCBaseFileName);
}

TEST(SendToFolderSettingsBytes, KeyCutByThePieceBoundaryIsNotFound)
{
    // 505 bytes, then the key: the first piece ends after "PCFold".
    std::string line = std::string(505, ' ') + "PCFolderPath \"C:\\Out\"\r\n";
    SendToFolderSettings s = Settings(line);
    EXPECT_FALSE(s.bSendToFolder);
    // Whole in the second piece, it is found.
    s = Settings(std::string(511, ' ') + "PCFolderPath \"C:\\Out\"\r\n");
    EXPECT_TRUE(s.bSendToFolder);
    EXPECT_STREQ("C:\\Out", s.szPCFolderPath);
}

TEST(SendToFolderSettingsBytes, NothingAfterCtrlZOrNulIsRead)
{
    SendToFolderSettings s = Settings(std::string("Name\x1APCFolderPath \"C:\\Out\"\n"));
    EXPECT_FALSE(s.bSendToFolder);
    s = Settings(Bytes("Name \0 PCFolderPath \"C:\\Out\"\n"));
    EXPECT_FALSE(s.bSendToFolder);
}

TEST(RepositoryValue, FirstKeyWithAValueDecides)
{
    EXPECT_EQ("10.0.0.9", Repository("RepositoryName\r\nRepositoryName \"10.0.0.9\"\r\nRepositoryName \"1.1.1.1\"\r\n"));
    EXPECT_EQ("<none>", Repository("Name \"x\"\r\nRepositoryName\r\n"));
    EXPECT_EQ("<none>", Repository(""));
    EXPECT_EQ("10.0.0.9", Repository("XRepositoryNameY \"10.0.0.9\""));
}

TEST(RepositoryValue, NewlineOfAnUnclosedValueIsNotPartOfIt)
{
    EXPECT_EQ("10.0.0.9", Repository("RepositoryName \"10.0.0.9\r\nNext \"x\"\r\n"));
    // A value that is only the newline does not count.
    EXPECT_EQ("10.0.0.7", Repository("\"RepositoryName\"\r\nRepositoryName \"10.0.0.7\"\r\n"));
}

TEST(RepositoryValue, LongValueIsKeptWhole)
{
    std::string value(40, '7');
    EXPECT_EQ(value, Repository("RepositoryName \"" + value + "\"\n"));
    char szSmall[8];
    std::string bytes = "RepositoryName \"" + value + "\"\n";
    EXPECT_FALSE(FindRepositoryValue(bytes.data(), bytes.size(), szSmall, sizeof(szSmall)));
}

TEST(RepositoryRewrite, OnlyDottedIPv4AddressesAreRewritten)
{
    for (const char* psz : {"0.0.0.0", "10.0.0.9", "255.255.255.255", "192.168.001.020"})
        EXPECT_TRUE(IsDottedIPv4Address(psz)) << psz;
    for (const char* psz : {"", " Port=", "10.0.0", "10.0.0.9.", ".10.0.0.9", "10..0.9", "256.0.0.1", "1.2.3.4444",
                            "10.0.0.9 ", " 10.0.0.9", "10.0.0.9\r", "a.b.c.d", "1.2.3.-4", "0x1.2.3.4", "10.0.0.1:21",
                            "1.2.3.4.5", "host.example"})
        EXPECT_FALSE(IsDottedIPv4Address(psz)) << psz;
    // The rewrite refuses anything else; the file then stays as it is.
    EXPECT_EQ("<refused>", Rewritten("<Server RepositoryName=\"\" Port=\"21\">", " Port=", "10.0.0.9"));
    EXPECT_EQ("<refused>", Rewritten("R \"Name\"", "Name", "10.0.0.9"));
}

TEST(RepositoryValue, ValueThatExactlyFillsItsFieldIsTakenAndOneMoreIsRefused)
{
    // The field is followed by guard bytes that nothing may touch.
    struct {
        char szField[kAddressFieldBytes];
        char guard[8];
    } out;
    const std::string full(kAddressFieldBytes - 1, '8');
    std::string bytes = "RepositoryName \"" + full + "\"\n";
    memset(&out, '#', sizeof(out));
    ASSERT_TRUE(FindRepositoryValue(bytes.data(), bytes.size(), out.szField, sizeof(out.szField)));
    EXPECT_EQ(full, std::string(out.szField)) << "terminator in the field's last byte";
    EXPECT_EQ(std::string(8, '#'), std::string(out.guard, 8));

    bytes = "RepositoryName \"" + full + "9\"\n";
    memset(&out, '#', sizeof(out));
    EXPECT_FALSE(FindRepositoryValue(bytes.data(), bytes.size(), out.szField, sizeof(out.szField)));
    EXPECT_EQ(std::string(8, '#'), std::string(out.guard, 8)) << "written past the field";
}

TEST(RepositoryRewrite, ReplacesEveryWholeAddressAndKeepsEveryOtherByte)
{
    std::string before = "Name \"Scan\"\r\nRepositoryName \"10.0.0.9\"\r\nBackup \"10.0.0.9\"\r\n"
                         "Note 10.0.0.99 and 110.0.0.9, 10.0.0.9.5 and 7.10.0.0.9 stay; 10.0.0.9. (10.0.0.9)\r\n";
    std::string after = "Name \"Scan\"\r\nRepositoryName \"192.168.1.20\"\r\nBackup \"192.168.1.20\"\r\n"
                        "Note 10.0.0.99 and 110.0.0.9, 10.0.0.9.5 and 7.10.0.0.9 stay; 192.168.1.20. (192.168.1.20)\r\n";
    EXPECT_EQ(after, Rewritten(before, "10.0.0.9", "192.168.1.20"));
    // The case from the field: the old address begins another line's address.
    EXPECT_EQ("R=\"10.0.0.7\"\nM=\"10.0.0.12\"\nX=\"110.0.0.1\"\nY=10.0.0.7",
              Rewritten("R=\"10.0.0.1\"\nM=\"10.0.0.12\"\nX=\"110.0.0.1\"\nY=10.0.0.1", "10.0.0.1", "10.0.0.7"));
    // At the very start and end of the text, and against a Ctrl-Z.
    EXPECT_EQ("2.2.2.2", Rewritten("1.1.1.1", "1.1.1.1", "2.2.2.2"));
    EXPECT_EQ(std::string("2.2.2.2\x1A" "5"), Rewritten(std::string("1.1.1.1\x1A" "5"), "1.1.1.1", "2.2.2.2"));

    // A digit continues an address on either side, and so does a dot with a
    // digit beyond it; anything else, a lone dot included, ends it.
    const std::pair<const char*, const char*> rows[] = {
        {"1.2.3.4 x", "5.6.7.8 x"},           // at the start of the text
        {"x 1.2.3.4", "x 5.6.7.8"},           // at its end
        {"91.2.3.4", "91.2.3.4"},             // a digit before
        {"1.2.3.49", "1.2.3.49"},             // a digit after
        {"91.2.3.49", "91.2.3.49"},           // inside a longer number on both sides
        {"9.1.2.3.4", "9.1.2.3.4"},           // a dot with a digit before it
        {"1.2.3.4.9", "1.2.3.4.9"},           // a dot with a digit after it
        {"1.2.3.4.1.2.3.4", "1.2.3.4.1.2.3.4"}, // two addresses joined by a dot
        {"x.1.2.3.4", "x.5.6.7.8"},           // a dot after a letter
        {".1.2.3.4", ".5.6.7.8"},             // a dot at the start of the text
        {"1.2.3.4.", "5.6.7.8."},             // a dot at its end
        {"1.2.3.4.x", "5.6.7.8.x"},           // a dot before a letter
        {"1.2.3.4:21", "5.6.7.8:21"},
        {"a1.2.3.4b", "a5.6.7.8b"},           // letters do not continue a number
        {"\"1.2.3.4\"", "\"5.6.7.8\""},
        {"1.2.3.4\r\n1.2.3.4", "5.6.7.8\r\n5.6.7.8"},
        {"1.2.3.4 1.2.3.4", "5.6.7.8 5.6.7.8"},
    };
    for (const auto& [pszBefore, pszAfter] : rows)
        EXPECT_EQ(pszAfter, Rewritten(pszBefore, "1.2.3.4", "5.6.7.8")) << pszBefore;
}

TEST(RepositoryRewrite, KeepsEachLineEndAndAddsNoBytes)
{
    EXPECT_EQ("a\r\nR \"2.2.2.2\"\r\nb\nc\rd", Rewritten("a\r\nR \"1.1.1.1\"\r\nb\nc\rd", "1.1.1.1", "2.2.2.2"));
    EXPECT_EQ("R \"2.2.2.2\"", Rewritten("R \"1.1.1.1\"", "1.1.1.1", "2.2.2.2"));
    EXPECT_EQ("", Rewritten("", "1.1.1.1", "2.2.2.2"));
}

TEST(RepositoryRewrite, BytesFromCtrlZOnAreKeptAsTheyStand)
{
    std::string before = Bytes("R \"1.1.1.1\"\r\n\x1A" "1.1.1.1\r\n\x00\xFF");
    std::string after = Bytes("R \"2.2.2.2\"\r\n\x1A" "1.1.1.1\r\n\x00\xFF");
    EXPECT_EQ(after, Rewritten(before, "1.1.1.1", "2.2.2.2"));
}

TEST(RepositoryRewrite, UnusableOldValueOrShortBufferIsRefused)
{
    EXPECT_EQ("<refused>", Rewritten("abc", "", "X"));
    EXPECT_EQ("<refused>", Rewritten("a\nb", "a\n", "X"));
    std::string bytes = "R \"1.1.1.1\"";
    char out[8];
    memset(out, '#', sizeof(out));
    size_t cbWritten = 99;
    EXPECT_FALSE(WriteRepositoryRewrite(bytes.data(), bytes.size(), "1.1.1.1", "22.22.22.22", out, 4, &cbWritten));
    EXPECT_EQ(99u, cbWritten);
    EXPECT_EQ(std::string(4, '#'), std::string(out + 4, 4)) << "written past the buffer";
}
