#pragma once
// Captures the events written through the hook table's ReportEventW while it
// lives, with a fresh rate bound, so that a case sees exactly its own events.
#include <windows.h>

#include <sddl.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/event_log.h"
#include "common/hooks.h"
#include "common/owners.h"
#include "tests/support/test_support.h"

namespace testsupport {

struct WrittenEvent {
    WORD wType;
    DWORD dwEventId;
    std::wstring sid; // as text; empty when the event carries no user
    std::vector<std::wstring> strings;
};

class EventCapture {
public:
    EventCapture()
    {
        Take();
        ResetEventRateBound();
        g_hooks.pfnReportEventW = Capture;
    }
    ~EventCapture()
    {
        SetWritesFail(false);
        ResetEventRateBound();
    }
    EventCapture(const EventCapture&) = delete;
    EventCapture& operator=(const EventCapture&) = delete;

    // The events written since the last call.
    static std::vector<WrittenEvent> Take()
    {
        std::lock_guard<std::mutex> lock(Mutex());
        return std::exchange(Events(), {});
    }
    // The events of one id written since the last Take (which they are not taken from).
    static std::vector<WrittenEvent> Of(DWORD dwEventId)
    {
        std::lock_guard<std::mutex> lock(Mutex());
        std::vector<WrittenEvent> found;
        for (const WrittenEvent& event : Events())
            if (event.dwEventId == dwEventId)
                found.push_back(event);
        return found;
    }
    // From now on ReportEventW records the event and then fails, as a full or
    // stopped event log would.
    static void SetWritesFail(bool bFail) { Failing() = bFail; }

private:
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<WrittenEvent>& Events()
    {
        static std::vector<WrittenEvent> events;
        return events;
    }
    static std::atomic<bool>& Failing()
    {
        static std::atomic<bool> bFailing{false};
        return bFailing;
    }
    static std::wstring SidText(PSID pSid)
    {
        LPWSTR pwsz = nullptr;
        if (pSid == nullptr || !ConvertSidToStringSidW(pSid, &pwsz))
            return L"";
        bgt::UniqueLocalMem owner(pwsz);
        return pwsz;
    }
    static BOOL WINAPI Capture(HANDLE hEventLog, WORD wType, WORD, DWORD dwEventID, PSID pUserSid, WORD wNumStrings,
                               DWORD, LPCWSTR* ppStrings, LPVOID)
    {
        WrittenEvent event{wType, dwEventID, SidText(pUserSid), {}};
        for (WORD i = 0; i < wNumStrings; ++i)
            event.strings.emplace_back(ppStrings[i]);
        std::lock_guard<std::mutex> lock(Mutex());
        if (hEventLog != nullptr)
            Events().push_back(std::move(event));
        if (!Failing())
            return TRUE;
        SetLastError(ERROR_LOG_FILE_FULL);
        return FALSE;
    }

    HookGuard m_guard;
};

} // namespace testsupport
