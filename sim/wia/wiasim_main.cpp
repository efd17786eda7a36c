// The WIA service stand-in: a COM local server that COM starts in its own
// process when the task creates the WIA 1 or WIA 2 device manager with
// CLSCTX_LOCAL_SERVER. It serves the simulator's managers and root items, whose
// devices and failures are those of the simulated installation, and journals
// every call it receives in the simulator's journal. Like the WIA service it
// stays while the task runs: it ends when told to (bgctl wiagone) or after a
// minute with no manager or item alive. (A server that ends soon after its last
// object would race the next activation: COM can hand out its class object just
// as it goes.)
//   wiasim -Embedding   (as COM starts it)
#include <windows.h>
#include <objbase.h>

#include "common/owners.h"
#include "sim/stisim/com_object.h"
#include "sim/stisim/installation.h"
#include "templates/wia_interfaces.h"

namespace {

constexpr wchar_t kServiceKey[] = L"SOFTWARE\\ScannerSimulator\\WiaService";
constexpr wchar_t kStopEvent[] = L"WiaSimStop";
constexpr DWORD kIdleEndMs = 60000;
constexpr DWORD kPollMs = 100;
constexpr LONG kFactories = 2;

// A service that refuses to create its managers, as a stopped or broken WIA
// service answers (siminstall wiaservice refuse).
bool RefusesCreation()
{
    DWORD dw = 0, cb = sizeof(dw);
    return RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"RefuseCreation", RRF_RT_REG_DWORD, nullptr, &dw, &cb) ==
               ERROR_SUCCESS &&
           dw != 0;
}

class CWiaManagerFactory final : public stisim::detail::CSimComObject<IClassFactory> {
public:
    explicit CWiaManagerFactory(const CLSID& clsid) : m_clsid(clsid) {}

    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override
    {
        // Each manager serves the installation as it is at its creation.
        stisim::ServeTheInstallation();
        if (RefusesCreation())
            stisim::SetWiaServiceResult(E_ACCESSDENIED);
        return stisim::CoCreateInstance(m_clsid, pUnkOuter, CLSCTX_LOCAL_SERVER, riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    void* Find(REFIID riid) override
    {
        return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)
                   ? static_cast<IClassFactory*>(this)
                   : nullptr;
    }
    CLSID m_clsid;
};

struct Registration {
    DWORD dwCookie = 0;
    HRESULT hr = E_FAIL;
};

struct Registrations {
    Registration wia;
    Registration wia2;
};

void Revoke(const Registrations& registrations)
{
    for (const Registration& registration : {registrations.wia, registrations.wia2}) {
        if (SUCCEEDED(registration.hr))
            CoRevokeClassObject(registration.dwCookie);
    }
}

void RevokeBeforeEnd(void* pvRegistrations) { Revoke(*static_cast<const Registrations*>(pvRegistrations)); }

Registration Register(const CLSID& clsid)
{
    Registration registration;
    auto* pFactory = new CWiaManagerFactory(clsid);
    registration.hr = CoRegisterClassObject(clsid, static_cast<IClassFactory*>(pFactory), CLSCTX_LOCAL_SERVER,
                                            REGCLS_MULTIPLEUSE, &registration.dwCookie);
    pFactory->Release();
    return registration;
}

void RecordStart()
{
    stisim::JournalEntry entry;
    entry.wstrCall = L"ServiceStart";
    entry.dwCode = GetCurrentProcessId();
    stisim::AppendToJournal(entry);
}

// Serves until told to stop, or until nothing but the class factories has been
// alive for a while; once told to stop, as soon as no manager or item is alive,
// or after the same while when a client that ended never released its own.
void ServeUntilStoppedOrIdle(HANDLE hStop)
{
    DWORD dwIdleMs = 0;
    bool bStop = false;
    while (dwIdleMs < kIdleEndMs) {
        // The stop event stays set: once it is, the loop pauses instead of waiting on it.
        if (bStop)
            Sleep(kPollMs);
        else
            bStop = WaitForSingleObject(hStop, kPollMs) == WAIT_OBJECT_0;
        bool bIdle = stisim::LiveObjects() <= kFactories;
        if (bStop && bIdle)
            return;
        dwIdleMs = bIdle || bStop ? dwIdleMs + kPollMs : 0;
    }
}

} // namespace

int wmain()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    RecordStart();
    Registrations registrations{Register(wiaid::kClsidWiaDevMgr), Register(wiaid::kClsidWiaDevMgr2)};
    stisim::SetProcessEndHandler(RevokeBeforeEnd, &registrations);
    bgt::UniqueHandle hStop(CreateEventW(nullptr, TRUE, FALSE, kStopEvent));
    if (hStop && (SUCCEEDED(registrations.wia.hr) || SUCCEEDED(registrations.wia2.hr)))
        ServeUntilStoppedOrIdle(hStop.get());
    stisim::SetProcessEndHandler(nullptr, nullptr);
    Revoke(registrations);
    CoUninitialize();
    return SUCCEEDED(registrations.wia.hr) && SUCCEEDED(registrations.wia2.hr) ? 0 : 1;
}
