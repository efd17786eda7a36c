// The republish pass a watcher runs at its start: the family scanners of the
// watcher's driver kind are asked to republish all of the user's templates.
#include "common/trace.h"
#include "discovery/state.h"
#include "host/os_version.h"
#include "templates/driver_requests.h"
#include "templates/sti_scanner.h"
#include "templates/template_passes.h"

namespace {

void VisitTwainDevice(DWORD dwIndex, HRESULT& hrLast)
{
    hrLast = CSTIScanner::CreateDevice(dwIndex);
    if (FAILED(hrLast)) {
        TraceMsg(L"\tCreateTWAINDevice failed for %s \r\n", CSTIScanner::DeviceDescription(dwIndex));
        return;
    }
    if (!RepublishAllTWAINTemplateFromDevice())
        TraceMsg(L"\t\tRepublishAll failed for %s \r\n", CSTIScanner::DeviceDescription(dwIndex));
    CSTIScanner::ReleaseStiDevice();
    ++CSTIScanner::m_nDevicesFound;
}

void VisitWiaDevice(DWORD dwIndex, bool* pbEndThread)
{
    bool bSent = IsVistaOrLater() ? RePublishAllWIA2TemplateFromDevice(dwIndex, pbEndThread)
                                  : RePublishAllWIATemplateFromDevice(dwIndex, pbEndThread);
    if (*pbEndThread)
        return;
    if (!bSent)
        TraceMsg(L"\t\tRePublishAllTemplates failed for %s \r\n", CSTIScanner::DeviceDescription(dwIndex));
    ++CSTIScanner::m_nDevicesFound;
}

} // namespace

HRESULT RePublishAllTemplates(const DeviceInfo* pDeviceInfo, bool* pbEndThread)
{
    *pbEndThread = false;
    TraceMsg(L"  >  RePublishAllTemplates Enter\r\n");
    // A watcher serves the devices of its own driver kind: 0 TWAIN, 1 WIA.
    int nKind = pDeviceInfo != nullptr ? pDeviceInfo->IsWIA : -1;
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
    if (CSTIScanner::m_nDevicesFound == 0)
        TraceMsg(L"\t\t No Orbek Devices Found\r\n");
    else
        TraceMsg(L"\t\t %d Orbek Devices found on the system\r\n", CSTIScanner::m_nDevicesFound);
    hr = CSTIScanner::ReleaseSTI(false);
    TraceMsg(L"  >  RePublishAllTemplates Exit\r\n");
    return hr;
}
