// The watcher thread's start-up: the events of the folder watch, the address
// check with its retries, the template refresh and republish, and the per-user
// option. Then the thread becomes the watch of the temporary folder.
#include "watcher/watcher.h"

#include "common/event_reports.h"
#include "common/hooks.h"
#include "common/owners.h"
#include "common/trace.h"
#include "delivery/template_file.h"
#include "discovery/folder_check.h"
#include "discovery/state.h"
#include "templates/template_passes.h"
#include "watcher/lookupip.h"
#include "watcher/template_refresh.h"
#include "watcher/user_option.h"
#include "watcher/watch_loop.h"

namespace {

constexpr int kLoopbackRetries = 5;
constexpr DWORD kLoopbackPauseMs = 5000;
constexpr DWORD kLinkLocalPauseMs = 18000;

// The PC may still be coming up: without a network it has only the loopback
// address, and before its DHCP lease a link-local one. Only the first answer
// picks the rule; a retry that answers the other status is not retried again.
HRESULT CheckAddressWithRetries()
{
    HRESULT hr = lookupip();
    if (hr == E_ABORT) {
        int nBudget = kLoopbackRetries;
        while (--nBudget >= 0 && hr == E_ABORT) {
            g_hooks.pfnSleep(kLoopbackPauseMs);
            hr = lookupip();
        }
    } else if (hr == E_UNEXPECTED) {
        g_hooks.pfnSleep(kLinkLocalPauseMs);
        hr = lookupip();
        if (hr == E_UNEXPECTED) {
            g_hooks.pfnSleep(kLinkLocalPauseMs);
            hr = lookupip();
        }
    }
    return hr;
}

void WarnNoNetwork()
{
    g_hooks.pfnMessageBoxW(nullptr,
                           L"Unable to republish the templates due to network issues. Please verify the IPaddress",
                           L"ORBEK SCANNER", MB_OK | MB_ICONWARNING);
}

// Answers true when the republish says this thread must end; the thread then
// ends with the failure's last error, taken before anything else can change it.
bool RepublishUnderLock(const DeviceInfo* pDeviceInfo, DWORD& dwExitCode)
{
    bool bEndThread = false;
    EnterCriticalSection(&g_csTemplateLock);
    TraceMsg(L"  Getting the republish thread. IsWIA %d\r\n", pDeviceInfo->IsWIA);
    RePublishAllTemplates(pDeviceInfo, &bEndThread);
    dwExitCode = GetLastError();
    LeaveCriticalSection(&g_csTemplateLock);
    return bEndThread;
}

// Answers true when the thread must end before its watch.
bool CheckAddressAndRepublish(const DeviceInfo* pDeviceInfo, DWORD& dwExitCode)
{
    HRESULT hrAddress = CheckAddressWithRetries();
    if (hrAddress != S_OK) {
        ReportNoUsableAddress(GetIPAddressText().c_str(), hrAddress);
        WarnNoNetwork();
        return false;
    }
    if (UpdateTemplateRepository(pDeviceInfo) != 0) {
        OweTemplateRewrite(pDeviceInfo);
        return false;
    }
    return RepublishUnderLock(pDeviceInfo, dwExitCode);
}

bgt::UniqueHandle CreatePauseEvent()
{
    // Named: every watcher of this log-on shares the one object.
    bgt::UniqueHandle hWaitEvent(CreateEventW(nullptr, TRUE, FALSE, L"WaitEvent"));
    if (!hWaitEvent)
        TraceMsg(L" Cannot Create Event : %d\r\n", GetLastError());
    return hWaitEvent;
}

} // namespace

DWORD WINAPI WatchTempFolder(LPVOID pvDeviceInfo)
{
    auto* pDeviceInfo = static_cast<DeviceInfo*>(pvDeviceInfo);
    TraceMsg(L"  > Entering WatchTempFolder  \r\n");

    bgt::UniqueHandle hWaitEvent = CreatePauseEvent();
    HANDLE hCreated = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (hCreated == INVALID_HANDLE_VALUE)
        hCreated = nullptr;
    bgt::UniqueHandle hCompletionEvent(hCreated);
    if (!hCompletionEvent) {
        DebugOut(L"  > CreateEvent failed\r\n");
        TraceMsg(L"  > CreateEvent failed  \r\n");
        return 0;
    }
    DWORD dwExitCode = 0;
    CheckUserFoldersNow(pDeviceInfo);
    if (CheckAddressAndRepublish(pDeviceInfo, dwExitCode))
        return dwExitCode;
    RecordDeleteImageOption(pDeviceInfo);

    WatchFolder(pDeviceInfo, hWaitEvent.release(), hCompletionEvent.release());
    return 0;
}
