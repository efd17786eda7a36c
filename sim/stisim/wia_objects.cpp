// The WIA 1 and WIA 2 device managers and the WIA driver's root items.
#include "sim/stisim/sim_state.h"

#include "sim/stisim/com_object.h"

#include <cstring>

#include "templates/wia_interfaces.h"

namespace stisim::detail {
namespace {

constexpr DWORD kWiaLockEscape = 1;
constexpr DWORD kWiaUnlockEscape = 2;
constexpr DWORD kPropDeleteAllTemplates = 38963;

// Journals the final release of an object whose holder must still be inside its
// COM apartment when it lets go.
void RecordFinalRelease(const std::wstring& wstrDevice)
{
    JournalEntry entry;
    entry.wstrDevice = wstrDevice;
    entry.wstrCall = L"FinalRelease";
    entry.dwExtra = CallerHasApartment();
    Record(entry);
}

// The part every root item shares: property storage, extras, reference count.
// ItemInterface is IWiaItem or IWiaItem2.
template <class ItemInterface>
class CSimRootItemBase : public CSimComObject<ItemInterface, IWiaPropertyStorage, IWiaItemExtras> {
public:
    CSimRootItemBase(const std::wstring& wstrDeviceId, const IID& iidItem)
        : m_wstrDeviceId(wstrDeviceId), m_iidItem(iidItem), m_config(WiaDevice(wstrDeviceId))
    {
    }

    // IWiaPropertyStorage
    STDMETHODIMP ReadMultiple(ULONG, const PROPSPEC[], PROPVARIANT[]) override { return E_NOTIMPL; }
    STDMETHODIMP WriteMultiple(ULONG cpspec, const PROPSPEC rgpspec[], const PROPVARIANT rgpropvar[],
                               PROPID propidNameFirst) override
    {
        JournalEntry entry = Entry(L"WriteMultiple");
        entry.dwInSize = cpspec;
        entry.dwExtra = propidNameFirst;
        if (cpspec >= 1 && rgpspec != nullptr && rgpspec[0].ulKind == PRSPEC_PROPID)
            entry.dwCode = rgpspec[0].propid;
        if (cpspec >= 1 && rgpropvar != nullptr && rgpropvar[0].vt == VT_BSTR && rgpropvar[0].bstrVal != nullptr)
            entry.wstrSid.assign(rgpropvar[0].bstrVal, SysStringLen(rgpropvar[0].bstrVal));
        Record(entry);
        if (m_config.bEndProcessOnDelete && entry.dwCode == kPropDeleteAllTemplates)
            EndProcessNow();
        return m_config.hrWrite;
    }
    STDMETHODIMP DeleteMultiple(ULONG, const PROPSPEC[]) override { return E_NOTIMPL; }
    STDMETHODIMP ReadPropertyNames(ULONG, const PROPID[], LPOLESTR[]) override { return E_NOTIMPL; }
    STDMETHODIMP WritePropertyNames(ULONG, const PROPID[], const LPOLESTR[]) override { return E_NOTIMPL; }
    STDMETHODIMP DeletePropertyNames(ULONG, const PROPID[]) override { return E_NOTIMPL; }
    STDMETHODIMP Commit(DWORD) override { return S_OK; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP Enum(IEnumSTATPROPSTG**) override { return E_NOTIMPL; }
    STDMETHODIMP SetTimes(const FILETIME*, const FILETIME*, const FILETIME*) override { return E_NOTIMPL; }
    STDMETHODIMP SetClass(REFCLSID) override { return E_NOTIMPL; }
    STDMETHODIMP Stat(STATPROPSETSTG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPropertyAttributes(ULONG, PROPSPEC[], ULONG[], PROPVARIANT[]) override { return E_NOTIMPL; }
    STDMETHODIMP GetCount(ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPropertyStream(GUID*, IStream**) override { return E_NOTIMPL; }
    STDMETHODIMP SetPropertyStream(GUID*, IStream*) override { return E_NOTIMPL; }

    // IWiaItemExtras
    STDMETHODIMP GetExtendedErrorInfo(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP Escape(DWORD dwEscapeCode, BYTE* lpInData, DWORD cbInDataSize, BYTE* pOutData,
                        DWORD dwOutDataSize, DWORD* pdwActualDataSize) override
    {
        JournalEntry entry = Entry(L"WiaEscape");
        entry.dwCode = dwEscapeCode;
        entry.dwInSize = cbInDataSize;
        entry.dwOutSize = dwOutDataSize;
        entry.bNullOut = pOutData == nullptr;
        if (lpInData != nullptr && cbInDataSize >= sizeof(DWORD))
            memcpy(&entry.dwExtra, lpInData, sizeof(DWORD));
        Record(entry);
        if (pdwActualDataSize != nullptr)
            *pdwActualDataSize = 0;
        if (dwEscapeCode == kWiaLockEscape)
            return AnswerLock(pOutData, dwOutDataSize, pdwActualDataSize);
        if (dwEscapeCode == kWiaUnlockEscape)
            return m_config.hrUnlockEscape;
        return E_INVALIDARG;
    }
    STDMETHODIMP CancelPendingIO() override { return S_OK; }

protected:
    void* Find(REFIID riid) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, m_iidItem))
            return static_cast<ItemInterface*>(this);
        if (IsEqualIID(riid, wiaid::kIidWiaPropertyStorage))
            return static_cast<IWiaPropertyStorage*>(this);
        if (IsEqualIID(riid, wiaid::kIidWiaItemExtras))
            return static_cast<IWiaItemExtras*>(this);
        return nullptr;
    }
    void OnFinalRelease() override { RecordFinalRelease(m_wstrDeviceId); }

    JournalEntry Entry(const wchar_t* pszCall) const
    {
        JournalEntry entry;
        entry.wstrDevice = m_wstrDeviceId;
        entry.wstrCall = pszCall;
        return entry;
    }

private:
    HRESULT AnswerLock(BYTE* pOutData, DWORD dwOutDataSize, DWORD* pdwActualDataSize) const
    {
        if (FAILED(m_config.hrLockEscape))
            return m_config.hrLockEscape;
        if (pOutData != nullptr && dwOutDataSize >= sizeof(DWORD))
            memcpy(pOutData, &m_config.dwLockToken, sizeof(DWORD));
        if (pdwActualDataSize != nullptr)
            *pdwActualDataSize = m_config.dwLockActualSize;
        return m_config.hrLockEscape;
    }

    std::wstring m_wstrDeviceId;
    IID m_iidItem;
    WiaDeviceConfig m_config;
};

class CSimWiaItem final : public CSimRootItemBase<IWiaItem> {
public:
    explicit CSimWiaItem(const std::wstring& wstrDeviceId) : CSimRootItemBase(wstrDeviceId, wiaid::kIidWiaItem) {}
    STDMETHODIMP GetItemType(LONG* pItemType) override
    {
        if (pItemType == nullptr)
            return E_POINTER;
        *pItemType = WiaItemTypeRoot | WiaItemTypeDevice | WiaItemTypeFolder;
        return S_OK;
    }
    STDMETHODIMP AnalyzeItem(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP EnumChildItems(IEnumWiaItem**) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteItem(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP CreateChildItem(LONG, BSTR, BSTR, IWiaItem**) override { return E_NOTIMPL; }
    STDMETHODIMP EnumRegisterEventInfo(LONG, const GUID*, IEnumWIA_DEV_CAPS**) override { return E_NOTIMPL; }
    STDMETHODIMP FindItemByName(LONG, BSTR, IWiaItem**) override { return E_NOTIMPL; }
    STDMETHODIMP DeviceDlg(HWND, LONG, LONG, LONG*, IWiaItem***) override { return E_NOTIMPL; }
    STDMETHODIMP DeviceCommand(LONG, const GUID*, IWiaItem**) override { return E_NOTIMPL; }
    STDMETHODIMP GetRootItem(IWiaItem** ppItem) override
    {
        if (ppItem == nullptr)
            return E_POINTER;
        AddRef();
        *ppItem = this;
        return S_OK;
    }
    STDMETHODIMP EnumDeviceCapabilities(LONG, IEnumWIA_DEV_CAPS**) override { return E_NOTIMPL; }
    STDMETHODIMP DumpItemData(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP DumpDrvItemData(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP DumpTreeItemData(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP Diagnostic(ULONG, BYTE*) override { return E_NOTIMPL; }
};

class CSimWiaItem2 final : public CSimRootItemBase<IWiaItem2> {
public:
    explicit CSimWiaItem2(const std::wstring& wstrDeviceId) : CSimRootItemBase(wstrDeviceId, wiaid::kIidWiaItem2) {}
    STDMETHODIMP CreateChildItem(LONG, LONG, BSTR, IWiaItem2**) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteItem(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP EnumChildItems(const GUID*, IEnumWiaItem2**) override { return E_NOTIMPL; }
    STDMETHODIMP FindItemByName(LONG, BSTR, IWiaItem2**) override { return E_NOTIMPL; }
    STDMETHODIMP GetItemCategory(GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetItemType(LONG* pItemType) override
    {
        if (pItemType == nullptr)
            return E_POINTER;
        *pItemType = WiaItemTypeRoot | WiaItemTypeDevice | WiaItemTypeFolder;
        return S_OK;
    }
    STDMETHODIMP DeviceDlg(LONG, HWND, BSTR, BSTR, LONG*, BSTR**, IWiaItem2**) override { return E_NOTIMPL; }
    STDMETHODIMP DeviceCommand(LONG, const GUID*, IWiaItem2**) override { return E_NOTIMPL; }
    STDMETHODIMP EnumDeviceCapabilities(LONG, IEnumWIA_DEV_CAPS**) override { return E_NOTIMPL; }
    STDMETHODIMP CheckExtension(LONG, BSTR, REFIID, BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP GetExtension(LONG, BSTR, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP GetParentItem(IWiaItem2**) override { return E_NOTIMPL; }
    STDMETHODIMP GetRootItem(IWiaItem2** ppItem) override
    {
        if (ppItem == nullptr)
            return E_POINTER;
        AddRef();
        *ppItem = this;
        return S_OK;
    }
    STDMETHODIMP GetPreviewComponent(LONG, IWiaPreview**) override { return E_NOTIMPL; }
    STDMETHODIMP EnumRegisterEventInfo(LONG, const GUID*, IEnumWIA_DEV_CAPS**) override { return E_NOTIMPL; }
    STDMETHODIMP Diagnostic(ULONG, BYTE*) override { return E_NOTIMPL; }
};

// Answers one root-item creation: journals it and hands out a new root item
// unless the configured status for this attempt is a failure.
template <class Item, class ItemInterface>
HRESULT CreateRootItem(const wchar_t* pszCall, DWORD dwFlags, BSTR bstrDeviceID, ItemInterface** ppRoot)
{
    JournalEntry entry;
    entry.wstrDevice = bstrDeviceID != nullptr ? std::wstring(bstrDeviceID, SysStringLen(bstrDeviceID)) : L"";
    entry.wstrCall = pszCall;
    entry.dwCode = dwFlags;
    entry.dwExtra = CallerHasApartment();
    Record(entry);
    if (ppRoot == nullptr)
        return E_POINTER;
    *ppRoot = nullptr;
    HRESULT hr = NextWiaCreateStatus(entry.wstrDevice);
    if (FAILED(hr))
        return hr;
    *ppRoot = new Item(entry.wstrDevice);
    return hr;
}

class CSimWiaDevMgr final : public CSimComObject<IWiaDevMgr, IWiaDevMgr2> {
public:
    explicit CSimWiaDevMgr(bool bWia2) : m_bWia2(bWia2) {}

    // IWiaDevMgr
    STDMETHODIMP EnumDeviceInfo(LONG, IEnumWIA_DEV_INFO**) override { return E_NOTIMPL; }
    STDMETHODIMP CreateDevice(BSTR bstrDeviceID, IWiaItem** ppWiaItemRoot) override
    {
        return CreateRootItem<CSimWiaItem>(L"CreateWiaDevice", 0, bstrDeviceID, ppWiaItemRoot);
    }
    STDMETHODIMP SelectDeviceDlg(HWND, LONG, LONG, BSTR*, IWiaItem**) override { return E_NOTIMPL; }
    STDMETHODIMP SelectDeviceDlgID(HWND, LONG, LONG, BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetImageDlg(HWND, LONG, LONG, LONG, IWiaItem*, BSTR, GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP RegisterEventCallbackProgram(LONG, BSTR, const GUID*, BSTR, BSTR, BSTR, BSTR) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP RegisterEventCallbackInterface(LONG, BSTR, const GUID*, IWiaEventCallback*, IUnknown**) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP RegisterEventCallbackCLSID(LONG, BSTR, const GUID*, const GUID*, BSTR, BSTR, BSTR) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP AddDeviceDlg(HWND, LONG) override { return E_NOTIMPL; }

    // IWiaDevMgr2
    STDMETHODIMP CreateDevice(LONG lFlags, BSTR bstrDeviceID, IWiaItem2** ppWiaItem2Root) override
    {
        return CreateRootItem<CSimWiaItem2>(L"CreateWia2Device", static_cast<DWORD>(lFlags), bstrDeviceID,
                                            ppWiaItem2Root);
    }
    STDMETHODIMP SelectDeviceDlg(HWND, LONG, LONG, BSTR*, IWiaItem2**) override { return E_NOTIMPL; }
    STDMETHODIMP RegisterEventCallbackProgram(LONG, BSTR, const GUID*, BSTR, BSTR, BSTR, BSTR, BSTR) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetImageDlg(LONG, BSTR, HWND, BSTR, BSTR, LONG*, BSTR**, IWiaItem2**) override { return E_NOTIMPL; }

private:
    void* Find(REFIID riid) override
    {
        // Each manager answers only its own form, as the two WIA classes do.
        if (IsEqualIID(riid, IID_IUnknown))
            return m_bWia2 ? static_cast<IUnknown*>(static_cast<IWiaDevMgr2*>(this))
                           : static_cast<IUnknown*>(static_cast<IWiaDevMgr*>(this));
        if (!m_bWia2 && IsEqualIID(riid, wiaid::kIidWiaDevMgr))
            return static_cast<IWiaDevMgr*>(this);
        if (m_bWia2 && IsEqualIID(riid, wiaid::kIidWiaDevMgr2))
            return static_cast<IWiaDevMgr2*>(this);
        return nullptr;
    }
    void OnFinalRelease() override { RecordFinalRelease(m_bWia2 ? L"WIA2" : L"WIA"); }

    bool m_bWia2;
};

} // namespace

IUnknown* NewWiaDevMgr(bool bWia2)
{
    auto* pMgr = new CSimWiaDevMgr(bWia2);
    return bWia2 ? static_cast<IUnknown*>(static_cast<IWiaDevMgr2*>(pMgr))
                 : static_cast<IUnknown*>(static_cast<IWiaDevMgr*>(pMgr));
}

} // namespace stisim::detail
