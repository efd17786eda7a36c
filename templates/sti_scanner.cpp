#include "templates/sti_scanner.h"

#include <shlwapi.h>

#include "common/hooks.h"
#include "common/owners.h"
#include "common/trace.h"
#include "discovery/state.h"

const wchar_t* const g_rgpszTwainFamily[4] = {
    L"Orbek Marlstone/Pro TWAIN Scanner",
    L"Orbek Tividal 8812MFP TWAIN",
    L"Orbek Chromhold 6401/6402/6403 TWAIN Scanner",
    L"Orbek Chromhold TWAIN Scanner",
};

const wchar_t* const g_rgpszWiaFamily[4] = {
    L"Orbek Marlstone/Pro WIA Scanner",
    L"Orbek Tividal 8812MFP WIA",
    L"Orbek Chromhold 6401/6402/6403 WIA Scanner",
    L"Orbek Chromhold WIA Scanner",
};

IStillImageW* CSTIScanner::m_pStillImage = nullptr;
STI_DEVICE_INFORMATIONW* CSTIScanner::m_pDevInfoList = nullptr;
DWORD CSTIScanner::m_dwListCount = 0;
IStiDevice* CSTIScanner::m_pStiDevice = nullptr;
DWORD CSTIScanner::m_nDevicesFound = 0;
IWiaDevMgr* CSTIScanner::m_pWiaDevMgr = nullptr;
IWiaDevMgr2* CSTIScanner::m_pWia2DevMgr = nullptr;
IWiaItem* CSTIScanner::m_pWiaItem = nullptr;
IWiaItem2* CSTIScanner::m_pWiaItem2 = nullptr;

namespace {

// Version 2 of the service interface, Unicode form.
constexpr DWORD kStiVersion = 0x01000002;

template <class T>
ULONG ReleaseAndForget(T*& p)
{
    ULONG ul = 0;
    if (p != nullptr) {
        ul = p->Release();
        p = nullptr;
    }
    return ul;
}

} // namespace

HRESULT CSTIScanner::InitializeSTI()
{
    HRESULT hr = g_hooks.pfnStiCreateInstanceW(GetModuleHandleW(nullptr), kStiVersion, &m_pStillImage, nullptr);
    if (m_pStillImage == nullptr) {
        TraceMsg(L"\t\tStiCreateInstance FAILED\r\n");
        return E_FAIL;
    }
    if (FAILED(hr)) {
        // A failed creation that still handed out an object: the pass will not
        // reach its release, so it is given back here.
        TraceMsg(L"\t\tStiCreateInstance FAILED\r\n");
        ReleaseAndForget(m_pStillImage);
    }
    return hr;
}

HRESULT CSTIScanner::ListStiDevices(ListingTexts texts, DWORD* pdwCount)
{
    bool bRepublish = texts == ListingTexts::RepublishPass;
    *pdwCount = 0;
    if (m_pStillImage == nullptr) {
        TraceMsg(bRepublish ? L"\t\t RePublishAllTemplates Invalid IStillImage ptr\r\n"
                            : L"\t\t Invalid IStillImage ptr\r\n");
        return E_FAIL;
    }
    DWORD dwCount = 0;
    LPVOID pvBuffer = nullptr;
    HRESULT hr = m_pStillImage->GetDeviceList(0, 0, &dwCount, &pvBuffer);
    if (FAILED(hr) || dwCount == 0) {
        // An array that came with no records is given back, not kept.
        if (pvBuffer != nullptr)
            LocalFree(pvBuffer);
        TraceMsg(bRepublish ? L"\t\t RePublishAllTemplates IStillImage::GetDeviceList FAILED. No Devices Found\r\n"
                            : L"\t\t IStillImage::GetDeviceList FAILED. No Devices Found\r\n");
        return FAILED(hr) ? hr : E_FAIL;
    }
    if (m_pDevInfoList != nullptr)
        LocalFree(m_pDevInfoList);
    m_pDevInfoList = static_cast<STI_DEVICE_INFORMATIONW*>(pvBuffer);
    m_dwListCount = m_pDevInfoList != nullptr ? dwCount : 0;
    if (m_pDevInfoList == nullptr) {
        TraceMsg(bRepublish ? L"\t\t RePublishAllTemplates Invalid PSTI_DEVICE_INFORMATION buffer\r\n"
                            : L"\t\t Invalid PSTI_DEVICE_INFORMATION buffer\r\n");
        return E_FAIL;
    }
    m_nDevicesFound = 0;
    *pdwCount = dwCount;
    return hr;
}

const wchar_t* CSTIScanner::DeviceDescription(DWORD dwIndex)
{
    if (m_pDevInfoList == nullptr || dwIndex >= m_dwListCount || m_pDevInfoList[dwIndex].pszDeviceDescription == nullptr)
        return L"";
    return m_pDevInfoList[dwIndex].pszDeviceDescription;
}

bool CSTIScanner::DescriptionHasAny(DWORD dwIndex, const wchar_t* const* ppszTexts, size_t cTexts)
{
    // A record without a description belongs to no family.
    const wchar_t* pszDescription = DeviceDescription(dwIndex);
    for (size_t i = 0; i < cTexts; ++i) {
        if (StrStrIW(pszDescription, ppszTexts[i]) != nullptr)
            return true;
    }
    return false;
}

bool CSTIScanner::IsTwainFamily(DWORD dwIndex)
{
    return DescriptionHasAny(dwIndex, g_rgpszTwainFamily, ARRAYSIZE(g_rgpszTwainFamily));
}

bool CSTIScanner::IsWiaFamily(DWORD dwIndex)
{
    return DescriptionHasAny(dwIndex, g_rgpszWiaFamily, ARRAYSIZE(g_rgpszWiaFamily));
}

HRESULT CSTIScanner::CreateDevice(DWORD dwIndex)
{
    if (m_pStillImage == nullptr || m_pDevInfoList == nullptr || dwIndex >= m_dwListCount)
        return E_FAIL;
    ReleaseAndForget(m_pStiDevice);
    HRESULT hr = m_pStillImage->CreateDevice(m_pDevInfoList[dwIndex].szDeviceInternalName, STI_DEVICE_CREATE_STATUS,
                                             &m_pStiDevice, nullptr);
    if (FAILED(hr) || m_pStiDevice == nullptr) {
        TraceMsg(L"\t\tIStillImage::CreateDevice failed\r\n");
        ReleaseAndForget(m_pStiDevice);
        return E_FAIL;
    }
    return hr;
}

void CSTIScanner::ReleaseStiDevice() { ReleaseAndForget(m_pStiDevice); }

void CSTIScanner::TraceDevicesFound()
{
    if (m_nDevicesFound == 0)
        TraceMsg(L"\t\t No Orbek Devices Found\r\n");
    else
        TraceMsg(L"\t\t %d Orbek Devices found on the system\r\n", m_nDevicesFound);
}

HRESULT CSTIScanner::ReleaseSTI(bool bDiscardUserSid)
{
    if (bDiscardUserSid)
        DiscardUserSidText();
    if (m_pDevInfoList != nullptr) {
        LocalFree(m_pDevInfoList);
        m_pDevInfoList = nullptr;
        m_dwListCount = 0;
    }
    return static_cast<HRESULT>(ReleaseAndForget(m_pStillImage));
}

HRESULT CSTIScanner::CreateWiaDeviceManager()
{
    HRESULT hr = g_hooks.pfnCoCreateInstance(wiaid::kClsidWiaDevMgr, nullptr, CLSCTX_LOCAL_SERVER,
                                             wiaid::kIidWiaDevMgr, reinterpret_cast<void**>(&m_pWiaDevMgr));
    if (FAILED(hr) || m_pWiaDevMgr == nullptr) {
        TraceMsg(L"\t CoCreateInstance CLSID_WiaDevMgr FAILED!!:  %xh\r\n", hr);
        ReleaseAndForget(m_pWiaDevMgr);
        return FAILED(hr) ? hr : E_FAIL;
    }
    return hr;
}

HRESULT CSTIScanner::CreateWia2DeviceManager()
{
    HRESULT hr = g_hooks.pfnCoCreateInstance(wiaid::kClsidWiaDevMgr2, nullptr, CLSCTX_LOCAL_SERVER,
                                             wiaid::kIidWiaDevMgr2, reinterpret_cast<void**>(&m_pWia2DevMgr));
    if (FAILED(hr) || m_pWia2DevMgr == nullptr) {
        TraceMsg(L"\t CoCreateInstance CLSID_WiaDevMgr FAILED!!:  %xh\r\n", hr);
        ReleaseAndForget(m_pWia2DevMgr);
        return FAILED(hr) ? hr : E_FAIL;
    }
    return hr;
}

HRESULT CSTIScanner::CreateWiaDevice(DWORD dwIndex)
{
    if (m_pWiaDevMgr == nullptr) {
        TraceMsg(L"\t Invalid Argument: m_pWiaDevMgr \r\n");
        return E_INVALIDARG;
    }
    if (m_pDevInfoList == nullptr || dwIndex >= m_dwListCount)
        return E_FAIL;
    // The still-image device name serves as the WIA device id.
    bgt::UniqueBstr bstrDeviceID(SysAllocString(m_pDevInfoList[dwIndex].szDeviceInternalName));
    if (!bstrDeviceID)
        return E_FAIL;
    ReleaseAndForget(m_pWiaItem);
    return m_pWiaDevMgr->CreateDevice(bstrDeviceID.get(), &m_pWiaItem);
}

HRESULT CSTIScanner::CreateWia2Device(DWORD dwIndex)
{
    if (m_pWia2DevMgr == nullptr) {
        TraceMsg(L"\t Invalid Argument: m_pWia2DevMgr \r\n");
        return E_INVALIDARG;
    }
    if (m_pDevInfoList == nullptr || dwIndex >= m_dwListCount)
        return E_FAIL;
    bgt::UniqueBstr bstrDeviceID(SysAllocString(m_pDevInfoList[dwIndex].szDeviceInternalName));
    if (!bstrDeviceID)
        return E_FAIL;
    ReleaseAndForget(m_pWiaItem2);
    return m_pWia2DevMgr->CreateDevice(0, bstrDeviceID.get(), &m_pWiaItem2);
}

void CSTIScanner::ReleaseWiaDevice(bool bWia2)
{
    if (bWia2) {
        ReleaseAndForget(m_pWiaItem2);
        ReleaseAndForget(m_pWia2DevMgr);
    } else {
        ReleaseAndForget(m_pWiaItem);
        ReleaseAndForget(m_pWiaDevMgr);
    }
}
