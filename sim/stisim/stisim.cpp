#include "sim/stisim/sim_state.h"

#include <atomic>
#include <map>

#include "templates/wia_interfaces.h"

namespace stisim {
namespace {

struct SimState {
    std::mutex mutex;
    HRESULT hrStiCreate = S_OK;
    HRESULT hrDeviceList = S_OK;
    size_t cbListPadding = 0;
    const void* pvLastList = nullptr;
    std::vector<StiDeviceConfig> vecStiDevices;
    HRESULT hrWiaService = S_OK;
    std::map<std::wstring, WiaDeviceConfig> mapWiaDevices;
    std::map<std::wstring, size_t> mapCreateAttempts;
    std::vector<JournalEntry> vecJournal;
    ProcessEndHandler pfnEndHandler = nullptr;
    void* pvEndContext = nullptr;
};

SimState& State()
{
    static SimState s_state;
    return s_state;
}

LONG volatile g_lLiveObjects = 0;

// Set once by a host (the native sti.dll) that keeps the journal beyond the process.
std::atomic<JournalListener> g_pfnJournalListener{nullptr};

// What the WIA service answers for a device id it does not know.
constexpr HRESULT kNoDeviceAvailable = static_cast<HRESULT>(0x80210015L);

} // namespace

void Reset()
{
    SimState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.hrStiCreate = S_OK;
    s.hrDeviceList = S_OK;
    s.cbListPadding = 0;
    s.pvLastList = nullptr;
    s.vecStiDevices.clear();
    s.hrWiaService = S_OK;
    s.mapWiaDevices.clear();
    s.mapCreateAttempts.clear();
    s.vecJournal.clear();
}

void SetStiCreateResult(HRESULT hr)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    State().hrStiCreate = hr;
}

void SetStiDevices(const std::vector<StiDeviceConfig>& vecDevices)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    State().vecStiDevices = vecDevices;
}

void SetDeviceListResult(HRESULT hr)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    State().hrDeviceList = hr;
}

void SetDeviceListPadding(size_t cbPadding)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    State().cbListPadding = cbPadding;
}

const void* LastDeviceList()
{
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().pvLastList;
}

void SetWiaServiceResult(HRESULT hr)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    State().hrWiaService = hr;
}

void SetWiaDevice(const std::wstring& wstrDeviceId, const WiaDeviceConfig& config)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    State().mapWiaDevices[wstrDeviceId] = config;
    State().mapCreateAttempts.erase(wstrDeviceId);
}

std::vector<JournalEntry> Journal()
{
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().vecJournal;
}

std::vector<JournalEntry> JournalOf(const std::wstring& wstrDevice, const std::wstring& wstrCall)
{
    std::vector<JournalEntry> vecOut;
    for (const JournalEntry& entry : Journal()) {
        if (entry.wstrDevice == wstrDevice && entry.wstrCall == wstrCall)
            vecOut.push_back(entry);
    }
    return vecOut;
}

void SetProcessEndHandler(ProcessEndHandler pfnHandler, void* pvContext)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    State().pfnEndHandler = pfnHandler;
    State().pvEndContext = pvContext;
}

void SetJournalListener(JournalListener pfnListener) { g_pfnJournalListener.store(pfnListener); }

void ClearJournal()
{
    std::lock_guard<std::mutex> lock(State().mutex);
    State().vecJournal.clear();
}

LONG LiveObjects() { return InterlockedCompareExchange(&g_lLiveObjects, 0, 0); }

HRESULT WINAPI StiCreateInstanceW(HINSTANCE, DWORD dwVer, IStillImageW** ppSti, LPUNKNOWN punkOuter)
{
    JournalEntry entry;
    entry.wstrCall = L"StiCreateInstance";
    entry.dwCode = dwVer;
    detail::Record(entry);
    if (ppSti == nullptr)
        return E_POINTER;
    *ppSti = nullptr;
    if (punkOuter != nullptr)
        return CLASS_E_NOAGGREGATION;
    HRESULT hr;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        hr = State().hrStiCreate;
    }
    if (FAILED(hr))
        return hr;
    *ppSti = detail::NewStillImage();
    return S_OK;
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv)
{
    bool bWia2 = IsEqualCLSID(rclsid, wiaid::kClsidWiaDevMgr2) != FALSE;
    JournalEntry entry;
    entry.wstrDevice = bWia2 ? L"WIA2" : L"WIA";
    entry.wstrCall = L"CoCreateInstance";
    entry.dwCode = dwClsContext;
    entry.dwExtra = detail::CallerHasApartment();
    detail::Record(entry);
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!bWia2 && !IsEqualCLSID(rclsid, wiaid::kClsidWiaDevMgr))
        return REGDB_E_CLASSNOTREG;
    if (pUnkOuter != nullptr)
        return CLASS_E_NOAGGREGATION;
    if (entry.dwExtra == 0)
        return CO_E_NOTINITIALIZED;
    HRESULT hr;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        hr = State().hrWiaService;
    }
    if (FAILED(hr))
        return hr;
    IUnknown* pUnk = detail::NewWiaDevMgr(bWia2);
    hr = pUnk->QueryInterface(riid, ppv);
    pUnk->Release();
    return hr;
}

namespace detail {

void Record(JournalEntry entry)
{
    if (JournalListener pfnListener = g_pfnJournalListener.load())
        pfnListener(entry);
    std::lock_guard<std::mutex> lock(State().mutex);
    State().vecJournal.push_back(std::move(entry));
}

void EndProcessNow()
{
    ProcessEndHandler pfnHandler;
    void* pvContext;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        pfnHandler = State().pfnEndHandler;
        pvContext = State().pvEndContext;
    }
    if (pfnHandler != nullptr)
        pfnHandler(pvContext);
    TerminateProcess(GetCurrentProcess(), 1);
    ExitProcess(1);
}

void ObjectCreated() { InterlockedIncrement(&g_lLiveObjects); }
void ObjectDestroyed() { InterlockedDecrement(&g_lLiveObjects); }

DWORD CallerHasApartment()
{
    APTTYPE aptType;
    APTTYPEQUALIFIER aptQualifier;
    return SUCCEEDED(::CoGetApartmentType(&aptType, &aptQualifier)) ? 1u : 0u;
}

std::vector<StiDeviceConfig> StiDevices()
{
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().vecStiDevices;
}

HRESULT DeviceListResult()
{
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().hrDeviceList;
}

size_t DeviceListPadding()
{
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().cbListPadding;
}

void NoteDeviceList(const void* pvList)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    State().pvLastList = pvList;
}

std::optional<StiDeviceConfig> FindStiDevice(const std::wstring& wstrName)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    for (const StiDeviceConfig& config : State().vecStiDevices) {
        if (config.wstrInternalName == wstrName)
            return config;
    }
    return std::nullopt;
}

HRESULT NextWiaCreateStatus(const std::wstring& wstrDeviceId)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    auto it = State().mapWiaDevices.find(wstrDeviceId);
    if (it == State().mapWiaDevices.end())
        return kNoDeviceAvailable;
    const std::vector<HRESULT>& vecStatuses = it->second.vecCreateStatuses;
    size_t& nAttempt = State().mapCreateAttempts[wstrDeviceId];
    HRESULT hr = S_OK;
    if (!vecStatuses.empty())
        hr = vecStatuses[nAttempt < vecStatuses.size() ? nAttempt : vecStatuses.size() - 1];
    ++nAttempt;
    return hr;
}

WiaDeviceConfig WiaDevice(const std::wstring& wstrDeviceId)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    auto it = State().mapWiaDevices.find(wstrDeviceId);
    return it != State().mapWiaDevices.end() ? it->second : WiaDeviceConfig{};
}

} // namespace detail
} // namespace stisim
