#pragma once
// The Application event log, source "BgndTask": what an administrator must be
// able to find when a scan does not arrive. The task is hidden and its traces
// go nowhere in the shipped build, so the failures a user would notice are
// written here as well (common/event_reports.h has one function per kind).
//
// Writing is best effort: an event log that cannot be opened or written to is
// traced and otherwise ignored, and the caller's last error is kept, so the
// event log never changes what the task does. At most kEventsPerMinute events
// warnings and information are written in a minute, and kErrorEventsPerMinute
// errors beside them, so that a burst of warnings never crowds out an error; the
// rest are counted, and the count is written in one event of its own when the
// next event comes after that minute.
#include <windows.h>

#include <initializer_list>
#include <string>

#include "common/event_messages.h"

constexpr wchar_t kEventSourceName[] = L"BgndTask";
constexpr DWORD kEventsPerMinute = 20;
constexpr DWORD kErrorEventsPerMinute = 10;
constexpr ULONGLONG kEventWindowMs = 60000;

// The bound itself, apart from the clock and the lock, so that its windows can
// be followed with given times. A window opens with the first event after the
// previous one closed and lasts kEventWindowMs.
class EventRateBound {
public:
    // Whether an event of wType at ullNowMs may be written. dwLeftOut receives
    // how many were left out in a window that this event finds closed (0 when
    // none): that count is to be written first.
    bool Admit(ULONGLONG ullNowMs, WORD wType, DWORD& dwLeftOut);
    // Hands over the count left out so far and forgets it (for the task's end).
    DWORD TakeLeftOut();

private:
    bool m_bWindowOpen = false;
    ULONGLONG m_ullWindowStart = 0;
    DWORD m_nWritten = 0;
    DWORD m_nErrorsWritten = 0;
    DWORD m_nLeftOut = 0;
};

// The user whose events these are: a copy of the SID is kept (null forgets it).
// Events written while none is set carry no user.
void SetEventUserSid(PSID pSid);

// Writes one event of the message table through the hook table's ReportEventW,
// within the bound. wType is EVENTLOG_INFORMATION_TYPE, _WARNING_TYPE or
// _ERROR_TYPE. Safe on any thread.
void WriteTaskEvent(DWORD dwEventId, WORD wType, std::initializer_list<const wchar_t*> strings);

// Writes the count of events left out so far, if any (the task calls it as it
// ends, when no later event would carry it).
void WriteEventsLeftOut();

// Forgets the window and its count. The task never calls it; a test process
// that checks the events of many cases starts each afresh.
void ResetEventRateBound();

// "Access is denied. (error 5)": the system's text for a Win32 error and its
// number; the number alone when the system has no text for it.
std::wstring DescribeSystemError(DWORD dwError);
// "0x80070005 (Access is denied.)": a status in hexadecimal, with the system's
// text when it has one.
std::wstring DescribeStatus(HRESULT hrStatus);
