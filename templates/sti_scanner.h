#pragma once
// The still-image session and the WIA access shared by both template passes.
// One process-wide state, touched only by the thread that holds
// g_csTemplateLock: a pass opens the service, lists the imaging devices, opens
// family devices one at a time and gives everything back at its end.
#include <windows.h>
#include <sti.h>

#include "templates/wia_interfaces.h"

// Which pass lists the devices: the republish pass names itself in its traces.
enum class ListingTexts { DeletePass, RepublishPass };

class CSTIScanner {
public:
    // ---- still-image half ----
    // Opens the service (Unicode, version 2) through the hook table.
    static HRESULT InitializeSTI();
    // Lists every imaging device, replacing (and giving back) the previous list.
    // Succeeds with a count of at least 1; otherwise the pass ends.
    static HRESULT ListStiDevices(ListingTexts texts, DWORD* pdwCount);
    // Family membership of list record dwIndex, by its device description.
    static bool IsTwainFamily(DWORD dwIndex);
    static bool IsWiaFamily(DWORD dwIndex);
    static const wchar_t* DeviceDescription(DWORD dwIndex);
    // Opens list record dwIndex as m_pStiDevice.
    static HRESULT CreateDevice(DWORD dwIndex);
    static void ReleaseStiDevice();
    // The count of family devices the pass has met.
    static void TraceDevicesFound();
    // Gives back the list and the service, and the user's SID text when asked.
    static HRESULT ReleaseSTI(bool bDiscardUserSid);

    // ---- WIA half ----
    static HRESULT CreateWiaDeviceManager();
    static HRESULT CreateWia2DeviceManager();
    static HRESULT CreateWiaDevice(DWORD dwIndex);
    static HRESULT CreateWia2Device(DWORD dwIndex);
    // Gives back the root item and the manager of the form.
    static void ReleaseWiaDevice(bool bWia2);

    static IStiDevice* m_pStiDevice;
    static IWiaItem* m_pWiaItem;
    static IWiaItem2* m_pWiaItem2;
    static DWORD m_nDevicesFound;

private:
    static bool DescriptionHasAny(DWORD dwIndex, const wchar_t* const* ppszTexts, size_t cTexts);

    static IStillImageW* m_pStillImage;
    static STI_DEVICE_INFORMATIONW* m_pDevInfoList;
    static DWORD m_dwListCount;
    static IWiaDevMgr* m_pWiaDevMgr;
    static IWiaDevMgr2* m_pWia2DevMgr;
};

// The family tables, in the order they are tried.
extern const wchar_t* const g_rgpszTwainFamily[4];
extern const wchar_t* const g_rgpszWiaFamily[4];
