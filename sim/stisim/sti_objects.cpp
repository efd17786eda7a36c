// The still-image service and the TWAIN driver's still-image device.
#include "sim/stisim/sim_state.h"

#include "sim/stisim/com_object.h"

#include <cstring>

#if defined(__MINGW32__) && !defined(_MSC_VER)
// MinGW's <sti.h> declares four IStillImageW methods without "= 0", so GCC
// wants the interface's own table, which no library provides. Defining them
// here gives it one; every simulated object overrides them anyway.
HRESULT STDMETHODCALLTYPE IStillImageW::GetDeviceValue(LPWSTR, LPWSTR, LPDWORD, LPBYTE, LPDWORD) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE IStillImageW::SetDeviceValue(LPWSTR, LPWSTR, DWORD, LPBYTE, DWORD) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE IStillImageW::LaunchApplicationForDevice(LPWSTR, LPWSTR, LPSTINOTIFY) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE IStillImageW::SetupDeviceParameters(PSTI_DEVICE_INFORMATIONW) { return E_NOTIMPL; }
#endif

namespace stisim::detail {
namespace {

class CSimStiDevice final : public CSimComObject<IStiDevice> {
public:
    explicit CSimStiDevice(const StiDeviceConfig& config) : m_config(config) {}

    STDMETHODIMP Initialize(HINSTANCE, LPCWSTR, DWORD, DWORD) override { return S_OK; }
    STDMETHODIMP GetCapabilities(PSTI_DEV_CAPS) override { return E_NOTIMPL; }
    STDMETHODIMP GetStatus(PSTI_DEVICE_STATUS) override { return E_NOTIMPL; }
    STDMETHODIMP DeviceReset() override { return E_NOTIMPL; }
    STDMETHODIMP Diagnostic(LPSTI_DIAG) override { return E_NOTIMPL; }

    STDMETHODIMP Escape(STI_RAW_CONTROL_CODE code, LPVOID lpInData, DWORD cbInDataSize, LPVOID pOutData,
                        DWORD dwOutDataSize, LPDWORD pdwActualData) override
    {
        JournalEntry entry = Entry(L"Escape", code);
        // The driver's contract: in-data is the address of the user's SID text,
        // whatever the size argument says.
        if (lpInData != nullptr)
            entry.wstrSid = static_cast<const wchar_t*>(lpInData);
        entry.dwInSize = cbInDataSize;
        entry.dwOutSize = dwOutDataSize;
        entry.bNullOut = pOutData == nullptr;
        Record(entry);
        if (pdwActualData != nullptr)
            *pdwActualData = 0;
        return m_config.hrEscape;
    }
    STDMETHODIMP GetLastError(LPDWORD pdwLastDeviceError) override
    {
        if (pdwLastDeviceError != nullptr)
            *pdwLastDeviceError = 0;
        return S_OK;
    }
    STDMETHODIMP LockDevice(DWORD dwTimeOut) override
    {
        Record(Entry(L"LockDevice", dwTimeOut));
        if (m_config.bLockWaits && FAILED(m_config.hrLock))
            Sleep(dwTimeOut);
        return m_config.hrLock;
    }
    STDMETHODIMP UnLockDevice() override
    {
        Record(Entry(L"UnLockDevice", 0));
        return m_config.hrUnlock;
    }
    STDMETHODIMP RawReadData(LPVOID, LPDWORD, LPOVERLAPPED) override { return E_NOTIMPL; }
    STDMETHODIMP RawWriteData(LPVOID, DWORD, LPOVERLAPPED) override { return E_NOTIMPL; }
    STDMETHODIMP RawReadCommand(LPVOID, LPDWORD, LPOVERLAPPED) override { return E_NOTIMPL; }
    STDMETHODIMP RawWriteCommand(LPVOID, DWORD, LPOVERLAPPED) override { return E_NOTIMPL; }
    STDMETHODIMP Subscribe(LPSTISUBSCRIBE) override { return E_NOTIMPL; }
    STDMETHODIMP GetLastNotificationData(LPSTINOTIFY) override { return E_NOTIMPL; }
    STDMETHODIMP UnSubscribe() override { return E_NOTIMPL; }
    STDMETHODIMP GetLastErrorInfo(STI_ERROR_INFO*) override { return E_NOTIMPL; }

private:
    void* Find(REFIID riid) override
    {
        return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIidStiDevice) ? static_cast<IStiDevice*>(this)
                                                                                 : nullptr;
    }
    JournalEntry Entry(const wchar_t* pszCall, DWORD dwCode) const
    {
        JournalEntry entry;
        entry.wstrDevice = m_config.wstrInternalName;
        entry.wstrCall = pszCall;
        entry.dwCode = dwCode;
        return entry;
    }

    StiDeviceConfig m_config;
};

// Size in bytes of a text with its terminator.
size_t TextBytes(const std::wstring& wstr) { return (wstr.size() + 1) * sizeof(wchar_t); }

// One LocalAlloc block, as the real service gives it: the records, then the
// texts they point to.
STI_DEVICE_INFORMATIONW* BuildDeviceList(const std::vector<StiDeviceConfig>& vecDevices)
{
    static const std::wstring kVendor = L"Orbek";
    static const std::wstring kPort = L"\\\\.\\Usbscan0";
    size_t cbRecords = vecDevices.size() * sizeof(STI_DEVICE_INFORMATIONW);
    size_t cbTexts = 0;
    for (const StiDeviceConfig& config : vecDevices)
        cbTexts += TextBytes(kVendor) + TextBytes(config.wstrDescription) + TextBytes(kPort) +
                   TextBytes(config.wstrInternalName);
    size_t cbTotal = cbRecords + cbTexts + DeviceListPadding();
    auto* pRecords = static_cast<STI_DEVICE_INFORMATIONW*>(LocalAlloc(LPTR, cbTotal));
    if (pRecords == nullptr)
        return nullptr;
    auto* pbText = reinterpret_cast<BYTE*>(pRecords) + cbRecords;
    auto placeText = [&pbText](const std::wstring& wstr) {
        auto* pwsz = reinterpret_cast<wchar_t*>(pbText);
        memcpy(pwsz, wstr.c_str(), TextBytes(wstr));
        pbText += TextBytes(wstr);
        return pwsz;
    };
    for (size_t i = 0; i < vecDevices.size(); ++i) {
        STI_DEVICE_INFORMATIONW& record = pRecords[i];
        const StiDeviceConfig& config = vecDevices[i];
        record.dwSize = sizeof(STI_DEVICE_INFORMATIONW);
        record.DeviceType = StiDeviceTypeScanner << 16;
        size_t cchName = config.wstrInternalName.size() < STI_MAX_INTERNAL_NAME_LENGTH - 1
                             ? config.wstrInternalName.size()
                             : STI_MAX_INTERNAL_NAME_LENGTH - 1;
        memcpy(record.szDeviceInternalName, config.wstrInternalName.c_str(), cchName * sizeof(wchar_t));
        record.dwHardwareConfiguration = STI_HW_CONFIG_USB;
        record.pszVendorDescription = placeText(kVendor);
        record.pszDeviceDescription = placeText(config.wstrDescription);
        record.pszPortName = placeText(kPort);
        record.pszLocalName = placeText(config.wstrInternalName);
    }
    return pRecords;
}

class CSimStillImage final : public CSimComObject<IStillImageW> {
public:
    STDMETHODIMP Initialize(HINSTANCE, DWORD) override { return S_OK; }

    STDMETHODIMP GetDeviceList(DWORD dwType, DWORD dwFlags, DWORD* pdwItemsReturned, LPVOID* ppBuffer) override
    {
        JournalEntry entry;
        entry.wstrCall = L"GetDeviceList";
        entry.dwCode = dwType;
        entry.dwExtra = dwFlags;
        Record(entry);
        if (pdwItemsReturned == nullptr || ppBuffer == nullptr)
            return E_POINTER;
        *pdwItemsReturned = 0;
        *ppBuffer = nullptr;
        HRESULT hr = DeviceListResult();
        if (FAILED(hr))
            return hr;
        std::vector<StiDeviceConfig> vecDevices = StiDevices();
        STI_DEVICE_INFORMATIONW* pList = BuildDeviceList(vecDevices);
        if (pList == nullptr)
            return E_OUTOFMEMORY;
        NoteDeviceList(pList);
        *pdwItemsReturned = static_cast<DWORD>(vecDevices.size());
        *ppBuffer = pList;
        return S_OK;
    }

    STDMETHODIMP GetDeviceInfo(LPWSTR, LPVOID*) override { return E_NOTIMPL; }

    STDMETHODIMP CreateDevice(LPWSTR pwszDeviceName, DWORD dwMode, PSTIDEVICE* ppDevice, LPUNKNOWN punkOuter) override
    {
        JournalEntry entry;
        entry.wstrDevice = pwszDeviceName != nullptr ? pwszDeviceName : L"";
        entry.wstrCall = L"CreateDevice";
        entry.dwCode = dwMode;
        Record(entry);
        if (ppDevice == nullptr)
            return E_POINTER;
        *ppDevice = nullptr;
        if (punkOuter != nullptr)
            return CLASS_E_NOAGGREGATION;
        std::optional<StiDeviceConfig> config = FindStiDevice(entry.wstrDevice);
        if (!config)
            return STIERR_INVALID_DEVICE_NAME;
        if (FAILED(config->hrCreate))
            return config->hrCreate;
        *ppDevice = new CSimStiDevice(*config);
        return S_OK;
    }

    STDMETHODIMP GetDeviceValue(LPWSTR, LPWSTR, LPDWORD, LPBYTE, LPDWORD) override { return E_NOTIMPL; }
    STDMETHODIMP SetDeviceValue(LPWSTR, LPWSTR, DWORD, LPBYTE, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetSTILaunchInformation(LPWSTR, DWORD*, LPWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP RegisterLaunchApplication(LPWSTR, LPWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP UnregisterLaunchApplication(LPWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP EnableHwNotifications(LPCWSTR, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetHwNotificationState(LPCWSTR, BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP RefreshDeviceBus(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP LaunchApplicationForDevice(LPWSTR, LPWSTR, LPSTINOTIFY) override { return E_NOTIMPL; }
    STDMETHODIMP SetupDeviceParameters(PSTI_DEVICE_INFORMATIONW) override { return E_NOTIMPL; }
    STDMETHODIMP WriteToErrorLog(DWORD, LPCWSTR) override { return S_OK; }

private:
    void* Find(REFIID riid) override
    {
        return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIidStillImageW)
                   ? static_cast<IStillImageW*>(this)
                   : nullptr;
    }
};

} // namespace

IStillImageW* NewStillImage() { return new CSimStillImage(); }
IStiDevice* NewStiDevice(const StiDeviceConfig& config) { return new CSimStiDevice(config); }

} // namespace stisim::detail
