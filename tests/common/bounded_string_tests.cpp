#include <gtest/gtest.h>

#include "common/bounded_string.h"
#include "common/status.h"

using namespace bgt;

TEST(BoundedString, CapacityOutsideOneToMaxIsInvalid)
{
    wchar_t w[4] = {L'x', L'x', L'x', 0};
    char a[4] = "xx";
    EXPECT_EQ(E_INVALIDARG, StringCchCopyW(w, 0, L"a"));
    EXPECT_EQ(E_INVALIDARG, StringCchCopyW(w, 0x80000000u, L"a"));
    EXPECT_EQ(E_INVALIDARG, StringCchCatW(w, 0, L"a"));
    EXPECT_EQ(E_INVALIDARG, StringCchPrintfW(w, 0, L"a"));
    EXPECT_EQ(E_INVALIDARG, StringCchCopyA(a, 0, "a"));
    EXPECT_EQ(E_INVALIDARG, StringCchPrintfA(a, 0, "a"));
    // One byte is less than one wide character.
    EXPECT_EQ(E_INVALIDARG, StringCbCopyW(w, 1, L"a"));
    EXPECT_EQ(E_INVALIDARG, StringCbPrintfW(w, 1, L"a"));
    EXPECT_EQ(L'x', w[0]) << "an invalid capacity must leave the buffer alone";
}

TEST(BoundedString, CopyFitsExactlyOrTruncatesAndTerminates)
{
    wchar_t w[4];
    EXPECT_EQ(S_OK, StringCchCopyW(w, 4, L"abc"));
    EXPECT_STREQ(L"abc", w);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchCopyW(w, 4, L"abcd"));
    EXPECT_STREQ(L"abc", w);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchCopyW(w, 1, L"a"));
    EXPECT_STREQ(L"", w);
    EXPECT_EQ(S_OK, StringCchCopyW(w, 1, L""));

    char a[3];
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchCopyA(a, 3, "xyz"));
    EXPECT_STREQ("xy", a);
}

TEST(BoundedString, CopyNStopsAtCountOrTerminator)
{
    wchar_t w[8];
    EXPECT_EQ(S_OK, StringCchCopyNW(w, 8, L"abcdef", 3));
    EXPECT_STREQ(L"abc", w);
    EXPECT_EQ(S_OK, StringCchCopyNW(w, 8, L"ab", 5));
    EXPECT_STREQ(L"ab", w);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchCopyNW(w, 3, L"abcdef", 5));
    EXPECT_STREQ(L"ab", w);
    // A count that fills the buffer to the last character is not a truncation.
    EXPECT_EQ(S_OK, StringCchCopyNW(w, 3, L"abcdef", 2));
    EXPECT_STREQ(L"ab", w);
}

TEST(BoundedString, CatAppendsWithinTheWholeCapacity)
{
    wchar_t w[6] = L"ab";
    EXPECT_EQ(S_OK, StringCchCatW(w, 6, L"cde"));
    EXPECT_STREQ(L"abcde", w);
    wcscpy(w, L"ab");
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchCatW(w, 6, L"cdefg"));
    EXPECT_STREQ(L"abcde", w);
    wchar_t full[3] = {L'a', L'b', L'c'}; // not terminated within its capacity
    EXPECT_EQ(E_INVALIDARG, StringCchCatW(full, 3, L"x"));
    // Byte-count form: 522 bytes is the whole 261-character path buffer.
    wchar_t path[261] = L"C:\\";
    std::wstring tail(300, L'x');
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCbCatW(path, sizeof(path), tail.c_str()));
    EXPECT_EQ(260u, wcslen(path));
}

TEST(BoundedString, LengthFailsWithoutTerminatorWithinMaximum)
{
    size_t cch = 99;
    EXPECT_EQ(S_OK, StringCchLengthW(L"abc", 4, &cch));
    EXPECT_EQ(3u, cch);
    cch = 99;
    EXPECT_EQ(E_INVALIDARG, StringCchLengthW(L"abc", 3, &cch));
    EXPECT_EQ(0u, cch);
    EXPECT_EQ(E_INVALIDARG, StringCchLengthW(nullptr, 3, &cch));
    EXPECT_EQ(E_INVALIDARG, StringCchLengthW(L"a", 0x80000000u, &cch));
    EXPECT_EQ(S_OK, StringCchLengthW(L"", 1, &cch));
    EXPECT_EQ(0u, cch);
}

TEST(BoundedString, PrintfUsesWindowsConventionsForText)
{
    wchar_t w[64];
    EXPECT_EQ(S_OK, StringCchPrintfW(w, 64, L"%s\\%s", L"C:\\Scans", L"jdoe_PC01"));
    EXPECT_STREQ(L"C:\\Scans\\jdoe_PC01", w);
    EXPECT_EQ(S_OK, StringCchPrintfW(w, 64, L"[%S|%hs|%ls]", "narrow", "also", L"wide"));
    EXPECT_STREQ(L"[narrow|also|wide]", w);
    char a[64];
    EXPECT_EQ(S_OK, StringCchPrintfA(a, 64, "%s\\%s_%s", "C:\\Data", "ZYXW", "obk.del"));
    EXPECT_STREQ("C:\\Data\\ZYXW_obk.del", a);
    EXPECT_EQ(S_OK, StringCchPrintfA(a, 64, "%S", L"wide"));
    EXPECT_STREQ("wide", a);
}

TEST(BoundedString, PrintfNumbersAndFlags)
{
    wchar_t w[64];
    StringCchPrintfW(w, 64, L"%d-%d-%d_%d-%d-%d", 2026, 12, 7, 3, 9, 1);
    EXPECT_STREQ(L"2026-12-7_3-9-1", w);
    StringCchPrintfW(w, 64, L"%xh %X %08x %u %ld", 0x80070057u, 0xabcu, 0x1fu, 4294967295u, -5L);
    EXPECT_STREQ(L"80070057h ABC 0000001f 4294967295 -5", w);
    StringCchPrintfW(w, 64, L"%5d|%-5d|%+d|%%|%c", 42, 42, 7, L'Z');
    EXPECT_STREQ(L"   42|42   |+7|%|Z", w);
    StringCchPrintfW(w, 64, L"%.3s|%5s|%s", L"abcdef", L"ab", static_cast<const wchar_t*>(nullptr));
    EXPECT_STREQ(L"abc|   ab|(null)", w);
    StringCchPrintfW(w, 64, L"%I64d %lld %zu", -9000000000LL, 9000000000LL, static_cast<size_t>(12));
    EXPECT_STREQ(L"-9000000000 9000000000 12", w);
    // Zero is one digit (a time stamp at midnight is 2026-12-7_0-0-0); only an
    // explicit precision of 0 prints nothing.
    EXPECT_EQ(S_OK, StringCchPrintfW(w, 64, L"%d|%i|%u|%x|%ld|%I64d|%3d|%-2d|%.0d|", 0, 0, 0u, 0u, 0L, 0LL, 0, 0, 0));
    EXPECT_STREQ(L"0|0|0|0|0|0|  0|0 ||", w);
    char a[16];
    EXPECT_EQ(S_OK, StringCchPrintfA(a, 16, "%d-%d", 0, 0));
    EXPECT_STREQ("0-0", a);
}

TEST(BoundedString, PrintfTruncatesAndTerminates)
{
    wchar_t w[5];
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchPrintfW(w, 5, L"%s", L"abcdef"));
    EXPECT_STREQ(L"abcd", w);
    wchar_t path[261];
    std::wstring longName(300, L'n');
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCbPrintfW(path, sizeof(path), L"%s", longName.c_str()));
    EXPECT_EQ(260u, wcslen(path));
    EXPECT_EQ(S_OK, StringCbPrintfW(path, sizeof(path), L"%s", longName.substr(0, 260).c_str()));
    char a[4];
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchPrintfA(a, 4, "%d", 12345));
    EXPECT_STREQ("123", a);
}

TEST(Status, HResultFromWin32FollowsTheMappingRule)
{
    EXPECT_EQ(static_cast<HRESULT>(0x80070057), HResultFromWin32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(static_cast<HRESULT>(0x800700B7), HResultFromWin32(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(S_OK, HResultFromWin32(0));
    EXPECT_EQ(static_cast<HRESULT>(0x80004005), HResultFromWin32(0x80004005));
    EXPECT_EQ(static_cast<HRESULT>(0x80072345), HResultFromWin32(0x00012345)) << "only the low 16 bits are kept";
}
