#pragma once
// In-process stand-ins for the still-image service, the WIA 1 and WIA 2 device
// managers and the maker's TWAIN and WIA drivers. They are real COM objects
// (reference counted, answering QueryInterface for the interfaces a driver
// answers), configured through the plain functions below, and every call they
// receive is written to a journal.
//
// The two entry points have the signatures of StiCreateInstanceW and
// CoCreateInstance, so a test can put them into the platform hook table and a
// native sti.dll can forward to them.
#include <windows.h>
#include <objbase.h>
#include <sti.h>

#include <string>
#include <vector>

namespace stisim {

// A still-image device as the service lists it. Devices whose description names
// a WIA driver are reached through WIA under their internal name.
struct StiDeviceConfig {
    std::wstring wstrInternalName;
    std::wstring wstrDescription;
    HRESULT hrCreate = S_OK;   // IStillImage::CreateDevice
    HRESULT hrLock = S_OK;     // IStiDevice::LockDevice (e.g. a time-out)
    HRESULT hrEscape = S_OK;   // IStiDevice::Escape
    HRESULT hrUnlock = S_OK;   // IStiDevice::UnLockDevice
    bool bLockWaits = false;   // a failing LockDevice first waits its whole time-out
};

// What a WIA driver's root item answers, reached by the device id.
struct WiaDeviceConfig {
    // Status of each root-item creation in turn; the last one repeats. Empty
    // means S_OK every time.
    std::vector<HRESULT> vecCreateStatuses;
    HRESULT hrLockEscape = S_OK;
    DWORD dwLockActualSize = 4;    // the returned size of the lock escape
    DWORD dwLockToken = 0x0BADF00D;
    HRESULT hrWrite = S_OK;        // IWiaPropertyStorage::WriteMultiple
    HRESULT hrUnlockEscape = S_OK;
    // The process ends itself when the delete request's property write arrives:
    // a WIA service that goes away in the middle of a request. Only the
    // out-of-process stand-in is ever configured so.
    bool bEndProcessOnDelete = false;
};

// One call received by a simulated object.
struct JournalEntry {
    std::wstring wstrDevice;   // internal name / WIA device id; L"" for the service itself
    std::wstring wstrCall;     // e.g. L"LockDevice", L"Escape", L"WriteMultiple", L"WiaEscape"
    DWORD dwCode = 0;          // escape code, property id, lock time-out, creation mode, version, class context
    std::wstring wstrSid;      // the SID text as the driver received it, where a call carries one
    DWORD dwInSize = 0;        // in-data size (escapes), specifier count (WriteMultiple)
    DWORD dwOutSize = 0;       // out-buffer size (escapes)
    DWORD dwExtra = 0;         // lock key or token received; first name id; 1 when the caller's thread was in a COM apartment
    bool bNullOut = false;     // the out-buffer was null
};

// Forgets every device, result and journal entry, and the creation attempt counts.
void Reset();

// The still-image service.
void SetStiCreateResult(HRESULT hr);         // failure: StiCreateInstanceW gives no object
void SetStiDevices(const std::vector<StiDeviceConfig>& vecDevices);
void SetDeviceListResult(HRESULT hr);        // status of GetDeviceList
// Extra bytes allocated behind each listed array (a large array is given its own
// pages, so that a test can see the moment it is given back).
void SetDeviceListPadding(size_t cbPadding);
// Address of the array handed out by the last GetDeviceList (null before).
const void* LastDeviceList();

// WIA.
void SetWiaServiceResult(HRESULT hr);        // failure: CoCreateInstance gives no manager
void SetWiaDevice(const std::wstring& wstrDeviceId, const WiaDeviceConfig& config);

// What runs just before a device configured to end its process does so: the
// stand-in withdraws its class objects, so that COM starts a new service for
// the next request instead of handing out the dead one's (Wine keeps a dead
// server's registration; Windows forgets it).
using ProcessEndHandler = void (*)(void* pvContext);
void SetProcessEndHandler(ProcessEndHandler pfnHandler, void* pvContext);

// Journal.
std::vector<JournalEntry> Journal();
std::vector<JournalEntry> JournalOf(const std::wstring& wstrDevice, const std::wstring& wstrCall);
void ClearJournal();
// Also hands every entry, as it is recorded, to a listener (null for none).
using JournalListener = void (*)(const JournalEntry& entry);
void SetJournalListener(JournalListener pfnListener);

// Simulated COM objects still alive (service, managers, devices, items).
LONG LiveObjects();

// The entry points.
HRESULT WINAPI StiCreateInstanceW(HINSTANCE hInst, DWORD dwVer, IStillImageW** ppSti, LPUNKNOWN punkOuter);
HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                LPVOID* ppv);

} // namespace stisim
