// The delete pass at a session end: every family scanner is asked to delete all
// of the user's templates, then the held-open session end is let go.
#include "common/event_reports.h"
#include "common/os_version.h"
#include "common/trace.h"
#include "discovery/state.h"
#include "templates/driver_requests.h"
#include "templates/sti_scanner.h"
#include "templates/template_passes.h"

namespace {

// A request that was sent and failed leaves the user's templates on the
// scanner. Without the SID text nothing was published either (or a delete pass
// already gave it back), so that one says nothing.
void NoteTemplatesKept(DWORD dwIndex, HRESULT hrRequest)
{
    if (FAILED(hrRequest) && hrRequest != kNoUserSidStatus)
        ReportTemplatesKept(CSTIScanner::DeviceDescription(dwIndex), hrRequest);
}

void VisitTwainDevice(DWORD dwIndex, HRESULT& hrLast)
{
    hrLast = CSTIScanner::CreateDevice(dwIndex);
    if (FAILED(hrLast)) {
        NoteTemplatesKept(dwIndex, hrLast);
        return;
    }
    HRESULT hrRequest = DeleteAllTWAINTemplateFromDevice();
    if (FAILED(hrRequest)) {
        TraceMsg(L"\t\tDeleteAll failed for %s \r\n", CSTIScanner::DeviceDescription(dwIndex));
        NoteTemplatesKept(dwIndex, hrRequest);
    }
    CSTIScanner::ReleaseStiDevice();
    ++CSTIScanner::m_nDevicesFound;
}

void VisitWiaDevice(DWORD dwIndex, bool* pbEndThread)
{
    HRESULT hrRequest = IsVistaOrLater() ? DeleteAllWIA2Template(dwIndex, pbEndThread)
                                         : DeleteAllWIATemplate(dwIndex, pbEndThread);
    if (*pbEndThread) {
        NoteTemplatesKept(dwIndex, hrRequest);
        return;
    }
    if (FAILED(hrRequest)) {
        TraceMsg(L"\t\tDeleteAll failed for %s \r\n", CSTIScanner::DeviceDescription(dwIndex));
        NoteTemplatesKept(dwIndex, hrRequest);
    }
    ++CSTIScanner::m_nDevicesFound;
}

// Everything of the pass but the final message. Answers the last status.
HRESULT RunDeletePass(bool* pbEndThread)
{
    HRESULT hr = CSTIScanner::InitializeSTI();
    if (FAILED(hr))
        return hr;
    DWORD dwCount = 0;
    hr = CSTIScanner::ListStiDevices(ListingTexts::DeletePass, &dwCount);
    if (FAILED(hr)) {
        // Nothing to visit; the service opened above is still given back.
        CSTIScanner::ReleaseSTI(false);
        return hr;
    }
    for (DWORD dwIndex = 0; dwIndex < dwCount; ++dwIndex) {
        // A record may name both drivers; each test is made on its own.
        if (CSTIScanner::IsTwainFamily(dwIndex))
            VisitTwainDevice(dwIndex, hr);
        if (CSTIScanner::IsWiaFamily(dwIndex)) {
            VisitWiaDevice(dwIndex, pbEndThread);
            if (*pbEndThread) {
                // The WIA service gave up on this thread: the remaining devices
                // are not visited, and the user's SID text stays for a later pass.
                CSTIScanner::ReleaseSTI(false);
                return hr;
            }
        }
    }
    CSTIScanner::TraceDevicesFound();
    return CSTIScanner::ReleaseSTI(true);
}

} // namespace

HRESULT DeleteAllTemplates(DWORD dwQueryLParam, bool* pbEndThread)
{
    *pbEndThread = false;
    TraceMsg(L"  >  DeleteAllTemplates Enter\r\n");
    HRESULT hr = RunDeletePass(pbEndThread);
    if (!*pbEndThread)
        PostMessageW(g_hWnd, WM_ENDSESSION, 1, static_cast<LPARAM>(dwQueryLParam));
    TraceMsg(L"  >  DeleteAllTemplates Exit\r\n");
    return hr;
}

DWORD WINAPI DeleteTemplateThread(LPVOID pvQueryLParam)
{
    // Waits while a watcher's republish pass holds the lock.
    EnterCriticalSection(&g_csTemplateLock);
    TraceMsg(L"Got the Delete Template thread.");
    bool bEndThread = false;
    DeleteAllTemplates(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(pvQueryLParam)), &bEndThread);
    LeaveCriticalSection(&g_csTemplateLock);
    // Ending the thread here, with the lock left, is what the WIA service's
    // fatal status asks for; the thread's last error is its exit code.
    if (bEndThread)
        return GetLastError();
    return 0;
}
