// The republish pass a watcher runs at its start: the family scanners of the
// watcher's driver kind are asked to republish all of the user's templates.
#include <atomic>

#include "common/event_reports.h"
#include "common/hooks.h"
#include "common/os_version.h"
#include "common/owners.h"
#include "common/trace.h"
#include "discovery/state.h"
#include "templates/driver_requests.h"
#include "templates/sti_scanner.h"
#include "templates/template_passes.h"

namespace {

std::atomic<LONG> g_lSessionEnds{0};

// Signalled while a session end holds: what a republish's pauses wait on.
HANDLE SessionEndBegan()
{
    static const bgt::UniqueHandle s_hBegan(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return s_hBegan.get();
}

// The count the pass under way started under, -1 outside a pass. Touched only
// by the holder of g_csTemplateLock.
LONG s_lPassStartedUnder = -1;

void VisitTwainDevice(DWORD dwIndex, HRESULT& hrLast)
{
    hrLast = CSTIScanner::CreateDevice(dwIndex);
    if (FAILED(hrLast)) {
        TraceMsg(L"\tCreateTWAINDevice failed for %s \r\n", CSTIScanner::DeviceDescription(dwIndex));
        ReportRepublishFailed(CSTIScanner::DeviceDescription(dwIndex), hrLast);
        return;
    }
    HRESULT hrRequest = RepublishAllTWAINTemplateFromDevice();
    if (FAILED(hrRequest)) {
        TraceMsg(L"\t\tRepublishAll failed for %s \r\n", CSTIScanner::DeviceDescription(dwIndex));
        ReportRepublishFailed(CSTIScanner::DeviceDescription(dwIndex), hrRequest);
    }
    CSTIScanner::ReleaseStiDevice();
    ++CSTIScanner::m_nDevicesFound;
}

void VisitWiaDevice(DWORD dwIndex, bool* pbEndThread)
{
    HRESULT hrRequest = IsVistaOrLater() ? RePublishAllWIA2TemplateFromDevice(dwIndex, pbEndThread)
                                         : RePublishAllWIATemplateFromDevice(dwIndex, pbEndThread);
    // A request a session end called off failed for no fault of the scanner's.
    if (FAILED(hrRequest) && !RepublishCalledOff())
        ReportRepublishFailed(CSTIScanner::DeviceDescription(dwIndex), hrRequest);
    if (*pbEndThread)
        return;
    if (FAILED(hrRequest))
        TraceMsg(L"\t\tRePublishAllTemplates failed for %s \r\n", CSTIScanner::DeviceDescription(dwIndex));
    ++CSTIScanner::m_nDevicesFound;
}

// Everything of the pass for a watcher of driver kind nKind (0 TWAIN, 1 WIA,
// anything else serves none). Answers the last status.
HRESULT RunRepublishPass(int nKind, bool* pbEndThread)
{
    HRESULT hr = CSTIScanner::InitializeSTI();
    if (FAILED(hr))
        return hr;
    DWORD dwCount = 0;
    hr = CSTIScanner::ListStiDevices(ListingTexts::RepublishPass, &dwCount);
    if (FAILED(hr)) {
        CSTIScanner::ReleaseSTI(false);
        return hr;
    }
    for (DWORD dwIndex = 0; dwIndex < dwCount; ++dwIndex) {
        if (RepublishCalledOff()) {
            TraceMsg(L"  Republish stopped: a session end began\r\n");
            break;
        }
        // Exactly one branch per record: a TWAIN watcher never makes the WIA test.
        if (CSTIScanner::IsTwainFamily(dwIndex) && nKind == 0) {
            VisitTwainDevice(dwIndex, hr);
        } else if (CSTIScanner::IsWiaFamily(dwIndex) && nKind == 1) {
            VisitWiaDevice(dwIndex, pbEndThread);
            if (*pbEndThread) {
                CSTIScanner::ReleaseSTI(false);
                return hr;
            }
        }
    }
    CSTIScanner::TraceDevicesFound();
    return CSTIScanner::ReleaseSTI(false);
}

} // namespace

HRESULT RePublishAllTemplates(const DeviceInfo* pDeviceInfo, bool* pbEndThread)
{
    *pbEndThread = false;
    TraceMsg(L"  >  RePublishAllTemplates Enter\r\n");
    HRESULT hr = S_FALSE;
    s_lPassStartedUnder = g_lSessionEnds.load();
    // Waiting for the lock behind a delete pass: what it left stands.
    if ((s_lPassStartedUnder & 1) != 0)
        TraceMsg(L"  Republish dropped: a session end holds\r\n");
    else
        hr = RunRepublishPass(pDeviceInfo != nullptr ? pDeviceInfo->IsWIA : -1, pbEndThread);
    s_lPassStartedUnder = -1;
    TraceMsg(L"  >  RePublishAllTemplates Exit\r\n");
    return hr;
}

void BeginSessionEnd()
{
    LONG lNow = g_lSessionEnds.load();
    if ((lNow & 1) == 0)
        g_lSessionEnds.store(lNow + 1);
    SetEvent(SessionEndBegan());
}

void EndSessionEnd()
{
    LONG lNow = g_lSessionEnds.load();
    if ((lNow & 1) != 0)
        g_lSessionEnds.store(lNow + 1);
    ResetEvent(SessionEndBegan());
}

bool SessionEndHolds() { return (g_lSessionEnds.load() & 1) != 0; }

LONG SessionEndCount() { return g_lSessionEnds.load(); }

bool RepublishCalledOff() { return s_lPassStartedUnder >= 0 && g_lSessionEnds.load() != s_lPassStartedUnder; }

void PauseBeforeRootItemRetry(DWORD dwMilliseconds)
{
    // The last error stays the failed try's: a thread that ends on it exits with it.
    DWORD dwError = GetLastError();
    // Without its event the pause is still a pause; the check after it stops the pass.
    HANDLE hBegan = s_lPassStartedUnder >= 0 ? SessionEndBegan() : nullptr;
    if (hBegan == nullptr)
        g_hooks.pfnSleep(dwMilliseconds);
    else
        g_hooks.pfnWaitForSingleObject(hBegan, dwMilliseconds);
    SetLastError(dwError);
}
