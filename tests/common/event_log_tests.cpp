#include <windows.h>

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "common/event_log.h"
#include "common/event_reports.h"
#include "common/event_text.h"
#include "common/owners.h"
#include "tests/support/event_capture.h"

using testsupport::EventCapture;
using testsupport::WrittenEvent;

namespace {

// "*tail" matches a text ending in tail, "head*" one starting with head, anything else itself.
bool Matches(const std::wstring& text, const std::wstring& pattern)
{
    if (!pattern.empty() && pattern.front() == L'*')
        return text.size() > pattern.size() - 1 && text.ends_with(pattern.substr(1));
    if (!pattern.empty() && pattern.back() == L'*')
        return text.starts_with(pattern.substr(0, pattern.size() - 1));
    return text == pattern;
}

// The message table linked into this executable turns the event into text that
// carries every one of its strings.
std::wstring MessageText(DWORD dwEventId, const std::vector<std::wstring>& strings)
{
    std::vector<DWORD_PTR> args;
    for (const std::wstring& s : strings)
        args.push_back(reinterpret_cast<DWORD_PTR>(s.c_str()));
    wchar_t wszText[2048] = {};
    DWORD cch = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, dwEventId,
                               MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), wszText, ARRAYSIZE(wszText),
                               reinterpret_cast<va_list*>(args.data()));
    return std::wstring(wszText, cch);
}

// The event log's clock, moved by the case.
ULONGLONG g_ullClockMs = 0;
ULONGLONG WINAPI TestClock() { return g_ullClockMs; }

struct EventRow {
    const char* pszKind;
    std::function<void()> report;
    DWORD dwEventId;
    WORD wType;
    std::vector<std::wstring> strings;
};

} // namespace

TEST(EventLog, EachKindCarriesItsIdTypeUserAndFactsAndTwentyAMinuteAreWritten)
{
    EventCapture capture;
    constexpr wchar_t kUserSid[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
    PSID pSid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(kUserSid, &pSid));
    bgt::UniqueLocalMem sidOwner(pSid);
    SetEventUserSid(pSid);

    const std::vector<EventRow> rows = {
        {"start", [] { ReportTaskStarted(3); }, BGT_EVENT_TASK_STARTED, EVENTLOG_INFORMATION_TYPE,
         {L"(unknown version)", L"3"}},
        {"refused", [] { ReportDeliveryRefused(L"C:\\Docs\\Job_1", L"scans\\in", L"a\\b", L"not fully qualified"); },
         BGT_EVENT_DELIVERY_REFUSED, EVENTLOG_WARNING_TYPE,
         {L"C:\\Docs\\Job_1", L"scans\\in", L"a\\b", L"not fully qualified"}},
        {"delivery failed", [] { ReportDeliveryFailed(L"C:\\Docs\\Job_2", L"\\\\srv\\share\\s.pdf", ERROR_BAD_NETPATH); },
         BGT_EVENT_DELIVERY_FAILED, EVENTLOG_WARNING_TYPE, {L"C:\\Docs\\Job_2", L"\\\\srv\\share\\s.pdf", L"*. (error 53)"}},
        {"filing failed", [] { ReportFilingFailed(L"C:\\Tmp\\s1.pdf, C:\\Tmp\\s1.txt", ERROR_DISK_FULL); },
         BGT_EVENT_FILING_FAILED, EVENTLOG_WARNING_TYPE, {L"C:\\Tmp\\s1.pdf, C:\\Tmp\\s1.txt", L"*. (error 112)"}},
        {"filed later", [] { ReportFiledLater(L"s1.pdf", L"C:\\Docs\\Job_3"); }, BGT_EVENT_FILED_LATER,
         EVENTLOG_INFORMATION_TYPE, {L"s1.pdf", L"C:\\Docs\\Job_3"}},
        {"templates kept", [] { ReportTemplatesKept(L"Orbek Chromhold 6402", HRESULT_FROM_WIN32(ERROR_NOT_READY)); },
         BGT_EVENT_TEMPLATES_KEPT, EVENTLOG_ERROR_TYPE, {L"Orbek Chromhold 6402", L"0x80070015 (*"}},
        {"republish failed", [] { ReportRepublishFailed(L"Orbek Marlstone/Pro WIA", static_cast<HRESULT>(0x80210005)); },
         BGT_EVENT_REPUBLISH_FAILED, EVENTLOG_WARNING_TYPE, {L"Orbek Marlstone/Pro WIA", L"0x80210005*"}},
        {"loopback only", [] { ReportNoUsableAddress(L"127.0.0.1", E_ABORT); }, BGT_EVENT_NO_USABLE_ADDRESS,
         EVENTLOG_WARNING_TYPE, {L"127.0.0.1", L"0x80004004*"}},
        {"no address", [] { ReportNoUsableAddress(L"127.0.0.1", E_FAIL); }, BGT_EVENT_NO_USABLE_ADDRESS, EVENTLOG_WARNING_TYPE,
         {L"(none)", L"0x80004005*"}},
        {"link-local only", [] { ReportNoUsableAddress(L"169.254.12.34", E_UNEXPECTED); }, BGT_EVENT_NO_USABLE_ADDRESS,
         EVENTLOG_WARNING_TYPE, {L"169.254.12.34", L"0x8000FFFF*"}},
        {"watch ended", [] { ReportWatchEnded(L"C:\\Users\\u\\TempImage", ERROR_FILE_NOT_FOUND); },
         BGT_EVENT_WATCH_ENDED, EVENTLOG_WARNING_TYPE, {L"C:\\Users\\u\\TempImage", L"*. (error 2)"}},
    };
    for (const EventRow& row : rows) {
        SCOPED_TRACE(row.pszKind);
        SetLastError(ERROR_SHARING_VIOLATION);
        row.report();
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError()) << "the caller's last error is kept";
        std::vector<WrittenEvent> events = EventCapture::Take();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(row.dwEventId, events[0].dwEventId);
        EXPECT_EQ(row.wType, events[0].wType);
        EXPECT_EQ(kUserSid, events[0].sid);
        ASSERT_EQ(row.strings.size(), events[0].strings.size());
        for (size_t i = 0; i < row.strings.size(); ++i)
            EXPECT_TRUE(Matches(events[0].strings[i], row.strings[i])) << "string " << i + 1;
        std::wstring text = MessageText(row.dwEventId, events[0].strings);
        for (const std::wstring& s : events[0].strings)
            EXPECT_NE(std::wstring::npos, text.find(s)) << "the message shows string " << testing::PrintToString(s);
    }

    // A failing event log is left at that, and the bound still counts the event.
    EventCapture::SetWritesFail(true);
    SetLastError(ERROR_SHARING_VIOLATION);
    ReportWatchEnded(L"C:\\T", ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EventCapture::SetWritesFail(false);
    EventCapture::Take();

    // The rows and the failed write opened this minute's window; a burst of 25
    // more warnings fills it to 20 (the error row has a slot of its own), and
    // the rest are counted into one event.
    const size_t nAlready =
        std::count_if(rows.begin(), rows.end(), [](const EventRow& row) { return row.wType != EVENTLOG_ERROR_TYPE; }) + 1;
    for (int i = 0; i < 25; ++i)
        ReportWatchEnded(L"C:\\T", ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(kEventsPerMinute - nAlready, EventCapture::Take().size());
    WriteEventsLeftOut();
    std::vector<WrittenEvent> leftOut = EventCapture::Take();
    ASSERT_EQ(1u, leftOut.size());
    EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_EVENTS_LEFT_OUT), leftOut[0].dwEventId);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, leftOut[0].wType);
    EXPECT_EQ(kUserSid, leftOut[0].sid) << "the count written at the end names the user too";
    EXPECT_EQ(std::vector<std::wstring>{std::to_wstring(25 - (kEventsPerMinute - nAlready))}, leftOut[0].strings);
    WriteEventsLeftOut();
    EXPECT_TRUE(EventCapture::Take().empty()) << "the count is written once";
    SetEventUserSid(nullptr);

    // The window itself, followed with given times: the count left out is
    // handed over by the first event after the minute, which opens the next.
    EventRateBound bound;
    DWORD dwLeftOut = 0;
    int nAdmitted = 0;
    for (int i = 0; i < 26; ++i)
        nAdmitted += bound.Admit(5000, EVENTLOG_WARNING_TYPE, dwLeftOut) ? 1 : 0;
    EXPECT_EQ(20, nAdmitted);
    EXPECT_FALSE(bound.Admit(5000 + kEventWindowMs - 1, EVENTLOG_WARNING_TYPE, dwLeftOut));
    EXPECT_EQ(0u, dwLeftOut);
    EXPECT_TRUE(bound.Admit(5000 + kEventWindowMs, EVENTLOG_WARNING_TYPE, dwLeftOut));
    EXPECT_EQ(7u, dwLeftOut);
    EXPECT_TRUE(bound.Admit(5000 + kEventWindowMs + 1, EVENTLOG_WARNING_TYPE, dwLeftOut));
    EXPECT_EQ(0u, dwLeftOut);
}

// With the clock in the case's hands: a burst of warnings fills the minute and
// leaves the errors their own slots; the first event after the minute writes
// the count left out before itself.
TEST(EventLog, ControlledClock_ErrorsKeepTheirSlotsAndTheNextMinuteWritesTheCountFirst)
{
    EventCapture capture;
    g_hooks.pfnGetTickCount64 = TestClock;
    g_ullClockMs = 5000;
    for (int i = 0; i < 25; ++i)
        ReportWatchEnded(L"C:\\T", ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(kEventsPerMinute, EventCapture::Take().size());
    for (DWORD i = 0; i <= kErrorEventsPerMinute; ++i)
        ReportTemplatesKept(L"S", E_FAIL);
    EXPECT_EQ(kErrorEventsPerMinute, EventCapture::Of(BGT_EVENT_TEMPLATES_KEPT).size());
    EventCapture::Take();

    g_ullClockMs += kEventWindowMs - 1;
    ReportWatchEnded(L"C:\\T", ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(EventCapture::Take().empty()) << "still the same minute";
    g_ullClockMs += 1;
    ReportWatchEnded(L"C:\\Next", ERROR_PATH_NOT_FOUND);
    std::vector<WrittenEvent> next = EventCapture::Take();
    ASSERT_EQ(2u, next.size());
    EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_EVENTS_LEFT_OUT), next[0].dwEventId);
    EXPECT_EQ(std::vector<std::wstring>{L"7"}, next[0].strings) << "5 warnings, 1 error and the late warning";
    EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_WATCH_ENDED), next[1].dwEventId);
    EXPECT_EQ(L"C:\\Next", next[1].strings.at(0));
}

// What a template or a file name puts into an event is shown as it is, on the
// event's own lines, and a long list is cut with its count.
TEST(EventLog, StringsShownEscapedWithoutInsertsAndCapped)
{
    const struct {
        std::wstring in;
        std::wstring out;
    } rows[] = {
        {L"C:\\Scans\\A.tif", L"C:\\Scans\\A.tif"},
        {L"a\rFake line\nb\tc", L"a\\rFake line\\nb\\u0009c"},
        {L"gpj.\x202Etxt", L"gpj.\\u202Etxt"},
        {L"\x2066x\x2069\x200F\x061C", L"\\u2066x\\u2069\\u200F\\u061C"},
        {L"%%1 and 100%% and %1", L"%\\u00251 and 100%\\u0025 and %1"},
        {L"\x7F\x85", L"\\u007F\\u0085"},
        {std::wstring(2000, L'x'), std::wstring(2000, L'x')},
        {std::wstring(2005, L'y'), std::wstring(2000, L'y') + L" ... and 5 more characters"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.out, CleanEventText(row.in.c_str()));
    std::wstring pair = std::wstring(1999, L'z') + L"\xD83D\xDE00" + L"tail";
    EXPECT_EQ(std::wstring(1999, L'z') + L" ... and 6 more characters", CleanEventText(pair.c_str()))
        << "a surrogate pair is never cut in two";

    // Every string written goes through it.
    EventCapture events;
    ReportFiledLater(L"A\r\nB", std::wstring(3000, L'j').c_str());
    std::vector<WrittenEvent> written = EventCapture::Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(L"A\\r\\nB", written[0].strings.at(0));
    EXPECT_EQ(std::wstring(2000, L'j') + L" ... and 1000 more characters", written[0].strings.at(1));
}
