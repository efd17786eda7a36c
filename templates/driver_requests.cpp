#include "templates/driver_requests.h"

#include <string>

#include "common/hooks.h"
#include "common/owners.h"
#include "common/trace.h"
#include "discovery/state.h"
#include "templates/sti_scanner.h"
#include "templates/template_passes.h"

namespace {

// ---------------------------------------------------------------- TWAIN

struct TwainRequest {
    DWORD dwEscapeCode;
    const wchar_t* pszEscapeFailed;
    const wchar_t* pszEscapeSucceeded; // null: not traced
};

HRESULT SendTwainRequest(const TwainRequest& request)
{
    IStiDevice* pStiDevice = CSTIScanner::m_pStiDevice;
    if (pStiDevice == nullptr)
        return E_POINTER;
    std::wstring wstrSid;
    if (!CopyUserSidText(wstrSid)) {
        TraceMsg(L"\t\tNo user SID: request not sent\r\n");
        return kNoUserSidStatus;
    }
    HRESULT hr = pStiDevice->LockDevice(kTwainLockTimeoutMs);
    if (FAILED(hr)) {
        TraceMsg(L"\t\tIStiDevice::LockDevice failed\r\n");
        return hr;
    }
    // The drivers take the address of the text with a size argument of 4.
    DWORD dwActual = 0;
    HRESULT hrEscape = pStiDevice->Escape(request.dwEscapeCode, wstrSid.data(), 4, nullptr, 0, &dwActual);
    if (FAILED(hrEscape))
        TraceMsg(request.pszEscapeFailed);
    else if (request.pszEscapeSucceeded != nullptr)
        TraceMsg(request.pszEscapeSucceeded);
    HRESULT hrUnlock = pStiDevice->UnLockDevice();
    if (FAILED(hrUnlock))
        TraceMsg(L"\t\t UnlockDevice failed\r\n");
    return FAILED(hrEscape) ? hrEscape : hrUnlock;
}

// ---------------------------------------------------------------- WIA

enum class WiaForm { Wia1, Wia2 };

struct WiaRequest {
    WiaForm form;
    DWORD dwRetries;
    bool bWiaRangeFatal;
    PROPID propid;
    // Leads the request's own failure texts; empty for the plain texts.
    const wchar_t* pszTracePrefix;
};

bool IsFatalFor(const WiaRequest& request, HRESULT hr)
{
    return IsRpcFatalStatus(hr) || (request.bWiaRangeFatal && IsWiaFatalStatus(hr));
}

HRESULT CreateManager(WiaForm form)
{
    return form == WiaForm::Wia2 ? CSTIScanner::CreateWia2DeviceManager() : CSTIScanner::CreateWiaDeviceManager();
}

HRESULT CreateRootItemOnce(WiaForm form, DWORD dwIndex)
{
    return form == WiaForm::Wia2 ? CSTIScanner::CreateWia2Device(dwIndex) : CSTIScanner::CreateWiaDevice(dwIndex);
}

HRESULT CreateRootItem(const WiaRequest& request, DWORD dwIndex)
{
    HRESULT hr = CreateRootItemOnce(request.form, dwIndex);
    for (DWORD dwRetry = 0; FAILED(hr) && dwRetry < request.dwRetries; ++dwRetry) {
        // A session end does not wait for a scanner that does not answer.
        if (RepublishCalledOff())
            break;
        PauseBeforeRootItemRetry(kRootItemRetryPauseMs);
        if (RepublishCalledOff())
            break;
        hr = CreateRootItemOnce(request.form, dwIndex);
    }
    if (FAILED(hr) && RepublishCalledOff()) {
        // Not a status of the scanner's: the thread goes on to its watch.
        TraceMsg(L"\t Root item retries stopped: a session end began\r\n");
        return E_ABORT;
    }
    return hr;
}

IUnknown* RootItem(WiaForm form)
{
    return form == WiaForm::Wia2 ? static_cast<IUnknown*>(CSTIScanner::m_pWiaItem2)
                                 : static_cast<IUnknown*>(CSTIScanner::m_pWiaItem);
}

// The two interfaces a request takes from the root item.
struct RootInterfaces {
    bgt::ComPtr<IWiaPropertyStorage> pWiaPropertyStorage;
    bgt::ComPtr<IWiaItemExtras> pWiaItemExtras;
};

// Opening sequence after COM is up: manager, root item with its retries, the
// two interfaces. The failing step's status (also when the thread must end).
HRESULT OpenDevice(const WiaRequest& request, DWORD dwIndex, RootInterfaces& root, bool* pbEndThread)
{
    HRESULT hr = CreateManager(request.form);
    if (FAILED(hr))
        return hr;
    hr = CreateRootItem(request, dwIndex);
    if (FAILED(hr) && IsFatalFor(request, hr)) {
        TraceMsg(request.form == WiaForm::Wia2
                     ? L"\t CreateWia2Device FAILED with error code %xh and Killing the Thread!!  \r\n"
                     : L"\t CreateWiaDevice FAILED with error code %xh and Killing the Thread!!  \r\n",
                 hr);
        *pbEndThread = true;
        return hr;
    }
    IUnknown* pRoot = RootItem(request.form);
    if (pRoot == nullptr) {
        TraceMsg(L"\t Invalid IWiaitem ptr \r\n");
        return FAILED(hr) ? hr : E_POINTER;
    }
    hr = pRoot->QueryInterface(wiaid::kIidWiaPropertyStorage, root.pWiaPropertyStorage.put_void());
    if (FAILED(hr))
        return hr;
    hr = pRoot->QueryInterface(wiaid::kIidWiaItemExtras, root.pWiaItemExtras.put_void());
    if (FAILED(hr))
        return hr;
    return root.pWiaItemExtras && root.pWiaPropertyStorage ? S_OK : E_NOINTERFACE;
}

void TraceRequestFailure(const WiaRequest& request, const wchar_t* pszWhat, HRESULT hr)
{
    if (request.pszTracePrefix[0] == L'\0')
        TraceMsg(L"\t %s%xh%s", pszWhat, hr, L"\r\n");
    else
        TraceMsg(L"\t%s %s%xh%s", request.pszTracePrefix, pszWhat, hr, L"\r\n");
}

// Lock escape, property write, unlock escape when the lock reported a size.
// S_OK when the lock and the write succeeded, else the failing one's status.
HRESULT SendLockedWrite(const WiaRequest& request, const RootInterfaces& root, const std::wstring& wstrSid)
{
    PROPSPEC propspec = {};
    propspec.ulKind = PRSPEC_PROPID;
    propspec.propid = request.propid;
    bgt::UniquePropVariant propvar;
    propvar->vt = VT_BSTR;
    propvar->bstrVal = SysAllocString(wstrSid.c_str());
    if (propvar->bstrVal == nullptr)
        return E_OUTOFMEMORY;
    DWORD dwKey = ETD_WIA_LOCK_KEY;
    DWORD dwToken = 0;
    DWORD dwActualSize = 0;

    HRESULT hr = root.pWiaItemExtras->Escape(ETD_WIA_LOCK, reinterpret_cast<BYTE*>(&dwKey), sizeof(dwKey),
                                             reinterpret_cast<BYTE*>(&dwToken), sizeof(dwToken), &dwActualSize);
    if (FAILED(hr)) {
        TraceRequestFailure(request, L"pWiaItemExtras->Escape FAILED!!  ", hr);
        return hr;
    }
    HRESULT hrWrite = root.pWiaPropertyStorage->WriteMultiple(1, &propspec, propvar.get(), kFirstPropertyNameId);
    if (FAILED(hrWrite)) {
        if (request.pszTracePrefix[0] == L'\0')
            TraceMsg(L"\t pWiaPropertyStorage->WriteMultiple FAILED!!  %xh \r\n", hrWrite);
        else
            TraceMsg(L"\t%s pWiaPropertyStorage->WriteMultiple FAILED!!  %xh \r\n", request.pszTracePrefix, hrWrite);
    }
    if (dwActualSize != 0) {
        DWORD dwDiscard = 0;
        DWORD dwUnlockSize = 0;
        hr = root.pWiaItemExtras->Escape(ETD_WIA_UNLOCK, reinterpret_cast<BYTE*>(&dwToken), sizeof(dwToken),
                                         reinterpret_cast<BYTE*>(&dwDiscard), sizeof(dwDiscard), &dwUnlockSize);
        if (FAILED(hr))
            TraceRequestFailure(request, L"pWiaItemExtras->Escape UNLOOCK FAILED!!  ", hr);
    }
    return hrWrite;
}

// One WIA request from COM initialisation to COM uninitialisation. Everything
// obtained is given back before CoUninitialize, on this thread, also when the
// thread must end.
HRESULT SendWiaRequest(const WiaRequest& request, DWORD dwIndex, bool* pbEndThread)
{
    *pbEndThread = false;
    std::wstring wstrSid;
    if (!CopyUserSidText(wstrSid)) {
        TraceMsg(L"\t No user SID: request not sent\r\n");
        return kNoUserSidStatus;
    }
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        TraceMsg(L"\t CoInitializeEx FAILED!!  %xh\r\n", hr);
        return hr;
    }
    HRESULT hrSent = S_OK;
    {
        RootInterfaces root;
        hrSent = OpenDevice(request, dwIndex, root, pbEndThread);
        if (SUCCEEDED(hrSent))
            hrSent = SendLockedWrite(request, root, wstrSid);
        root.pWiaPropertyStorage.reset();
        root.pWiaItemExtras.reset();
        CSTIScanner::ReleaseWiaDevice(request.form == WiaForm::Wia2);
    }
    CoUninitialize();
    return hrSent;
}

} // namespace

bool IsRpcFatalStatus(HRESULT hr)
{
    DWORD dw = static_cast<DWORD>(hr);
    return (dw >= 0x80010001u && dw <= 0x80010122u) || dw == 0x8001FFFFu;
}

bool IsWiaFatalStatus(HRESULT hr)
{
    DWORD dw = static_cast<DWORD>(hr);
    return dw >= 0x80210001u && dw <= 0x8021000Fu;
}

HRESULT DeleteAllTWAINTemplateFromDevice()
{
    return SendTwainRequest({ETD_DELETE_ALL_TEMPLATE, L"\t\tIStiDevice::Escape ETD_DELETE_ALL_TEMPLATE failed\r\n",
                             nullptr});
}

HRESULT RepublishAllTWAINTemplateFromDevice()
{
    return SendTwainRequest({ETD_REPUBLISH_ALL_TEMPLATES,
                             L"\t\tIStiDevice::Escape ETD_REPUBLISH_ALL_TEMPLATES failed\r\n",
                             L"\t\tIStiDevice::Escape ETD_REPUBLISH_ALL_TEMPLATES SUCCESS\r\n"});
}

HRESULT DeleteAllWIATemplate(DWORD dwIndex, bool* pbEndThread)
{
    return SendWiaRequest({WiaForm::Wia1, kDeleteRootItemRetries, true, ETD_PROP_DELETE_ALL_TEMPLATE, L""}, dwIndex,
                          pbEndThread);
}

HRESULT DeleteAllWIA2Template(DWORD dwIndex, bool* pbEndThread)
{
    return SendWiaRequest({WiaForm::Wia2, kDeleteRootItemRetries, true, ETD_PROP_DELETE_ALL_TEMPLATE, L""}, dwIndex,
                          pbEndThread);
}

HRESULT RePublishAllWIATemplateFromDevice(DWORD dwIndex, bool* pbEndThread)
{
    return SendWiaRequest({WiaForm::Wia1, kRepublishRootItemRetries, false, ETD_PROP_REPUBLISH_ALL_TEMPLATES,
                           L"RePublishAllWIATemplateFromDevice"},
                          dwIndex, pbEndThread);
}

HRESULT RePublishAllWIA2TemplateFromDevice(DWORD dwIndex, bool* pbEndThread)
{
    return SendWiaRequest({WiaForm::Wia2, kRepublishRootItemRetries, false, ETD_PROP_REPUBLISH_ALL_TEMPLATES,
                           L"RePublishAllWIA2TemplateFromDevice"},
                          dwIndex, pbEndThread);
}
