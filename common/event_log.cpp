#include "common/event_log.h"

#include <utility>

#include "common/bounded_string.h"
#include "common/event_text.h"
#include "common/hooks.h"
#include "common/owners.h"
#include "common/trace.h"

namespace {

constexpr size_t kMaxEventStrings = 8;

// The event log's share of the process-wide state: the bound and the user's
// SID, under a lock of their own (delivery threads, watchers and the main
// thread all write events). SRW locks need no initialisation.
struct EventLogState {
    SRWLOCK srwLock = SRWLOCK_INIT;
    EventRateBound bound;
    BYTE rgbUserSid[SECURITY_MAX_SID_SIZE] = {};
    bool bUserSid = false;
};

EventLogState g_eventLog;

// What one event needs of the shared state, copied out under the lock.
struct EventTicket {
    bool bAdmitted = false;
    DWORD dwLeftOut = 0;
    BYTE rgbUserSid[SECURITY_MAX_SID_SIZE] = {};
    bool bUserSid = false;

    PSID UserSid() { return bUserSid ? static_cast<PSID>(rgbUserSid) : nullptr; }
};

void CopyUserSid(EventTicket& ticket)
{
    ticket.bUserSid = g_eventLog.bUserSid;
    if (ticket.bUserSid)
        CopyMemory(ticket.rgbUserSid, g_eventLog.rgbUserSid, sizeof(ticket.rgbUserSid));
}

EventTicket TakeTicket(WORD wType)
{
    EventTicket ticket;
    AcquireSRWLockExclusive(&g_eventLog.srwLock);
    ticket.bAdmitted = g_eventLog.bound.Admit(g_hooks.pfnGetTickCount64(), wType, ticket.dwLeftOut);
    CopyUserSid(ticket);
    ReleaseSRWLockExclusive(&g_eventLog.srwLock);
    return ticket;
}

// Opened for each event: at most a few a minute, and nothing is held between.
void ReportNow(DWORD dwEventId, WORD wType, PSID pUserSid, LPCWSTR* ppStrings, WORD nStrings)
{
    bgt::UniqueEventSource hSource(RegisterEventSourceW(nullptr, kEventSourceName));
    if (!hSource) {
        TraceMsg(L"Event log: RegisterEventSourceW failed: %d", GetLastError());
        return;
    }
    if (!g_hooks.pfnReportEventW(hSource.get(), wType, 0, dwEventId, pUserSid, nStrings, 0, ppStrings, nullptr))
        TraceMsg(L"Event log: ReportEventW failed for event %u: %d", dwEventId, GetLastError());
}

void ReportLeftOut(DWORD dwLeftOut, PSID pUserSid)
{
    wchar_t wszCount[16] = {};
    bgt::StringCchPrintfW(wszCount, ARRAYSIZE(wszCount), L"%u", dwLeftOut);
    LPCWSTR rgStrings[] = {wszCount};
    ReportNow(BGT_EVENT_EVENTS_LEFT_OUT, EVENTLOG_WARNING_TYPE, pUserSid, rgStrings, 1);
}

// The system's text for a message id, without its closing line break; empty
// when it has none.
std::wstring SystemText(DWORD dwMessageId)
{
    wchar_t wszText[512] = {};
    DWORD cch = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwMessageId, 0,
                               wszText, ARRAYSIZE(wszText), nullptr);
    while (cch > 0 && (wszText[cch - 1] == L'\n' || wszText[cch - 1] == L'\r' || wszText[cch - 1] == L' '))
        --cch;
    return std::wstring(wszText, cch);
}

} // namespace

bool EventRateBound::Admit(ULONGLONG ullNowMs, WORD wType, DWORD& dwLeftOut)
{
    dwLeftOut = 0;
    if (m_bWindowOpen && ullNowMs - m_ullWindowStart >= kEventWindowMs) {
        dwLeftOut = std::exchange(m_nLeftOut, 0);
        m_bWindowOpen = false;
    }
    if (!m_bWindowOpen) {
        m_bWindowOpen = true;
        m_ullWindowStart = ullNowMs;
        m_nWritten = 0;
        m_nErrorsWritten = 0;
    }
    const bool bError = wType == EVENTLOG_ERROR_TYPE;
    DWORD& nWritten = bError ? m_nErrorsWritten : m_nWritten;
    if (nWritten >= (bError ? kErrorEventsPerMinute : kEventsPerMinute)) {
        ++m_nLeftOut;
        return false;
    }
    ++nWritten;
    return true;
}

DWORD EventRateBound::TakeLeftOut() { return std::exchange(m_nLeftOut, 0); }

void SetEventUserSid(PSID pSid)
{
    AcquireSRWLockExclusive(&g_eventLog.srwLock);
    g_eventLog.bUserSid = pSid != nullptr && IsValidSid(pSid) &&
                          CopySid(sizeof(g_eventLog.rgbUserSid), g_eventLog.rgbUserSid, pSid);
    ReleaseSRWLockExclusive(&g_eventLog.srwLock);
}

void WriteTaskEvent(DWORD dwEventId, WORD wType, std::initializer_list<const wchar_t*> strings)
{
    const DWORD dwLastError = GetLastError();
    EventTicket ticket = TakeTicket(wType);
    if (ticket.dwLeftOut != 0)
        ReportLeftOut(ticket.dwLeftOut, ticket.UserSid());
    if (ticket.bAdmitted) {
        std::wstring rgCleaned[kMaxEventStrings];
        LPCWSTR rgStrings[kMaxEventStrings] = {};
        WORD nStrings = 0;
        for (const wchar_t* pwsz : strings) {
            if (nStrings == kMaxEventStrings)
                break;
            rgCleaned[nStrings] = CleanEventText(pwsz);
            rgStrings[nStrings] = rgCleaned[nStrings].c_str();
            ++nStrings;
        }
        ReportNow(dwEventId, wType, ticket.UserSid(), rgStrings, nStrings);
    }
    SetLastError(dwLastError);
}

void WriteEventsLeftOut()
{
    const DWORD dwLastError = GetLastError();
    EventTicket ticket;
    AcquireSRWLockExclusive(&g_eventLog.srwLock);
    ticket.dwLeftOut = g_eventLog.bound.TakeLeftOut();
    CopyUserSid(ticket);
    ReleaseSRWLockExclusive(&g_eventLog.srwLock);
    if (ticket.dwLeftOut != 0)
        ReportLeftOut(ticket.dwLeftOut, ticket.UserSid());
    SetLastError(dwLastError);
}

void ResetEventRateBound()
{
    AcquireSRWLockExclusive(&g_eventLog.srwLock);
    g_eventLog.bound = EventRateBound{};
    ReleaseSRWLockExclusive(&g_eventLog.srwLock);
}

std::wstring DescribeSystemError(DWORD dwError)
{
    wchar_t wszNumber[32] = {};
    bgt::StringCchPrintfW(wszNumber, ARRAYSIZE(wszNumber), L"error %u", dwError);
    std::wstring text = SystemText(dwError);
    return text.empty() ? std::wstring(wszNumber) : text + L" (" + wszNumber + L")";
}

std::wstring DescribeStatus(HRESULT hrStatus)
{
    wchar_t wszHex[16] = {};
    bgt::StringCchPrintfW(wszHex, ARRAYSIZE(wszHex), L"0x%08X", static_cast<unsigned>(hrStatus));
    std::wstring text = SystemText(static_cast<DWORD>(hrStatus));
    return text.empty() ? std::wstring(wszHex) : std::wstring(wszHex) + L" (" + text + L")";
}
