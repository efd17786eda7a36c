#pragma once
// The WIA interfaces and identifiers the template requests use. WIA 1 comes from
// the SDK's <wia.h>; the WIA 2 device manager and item are declared here, in
// their full published method order, because older SDK headers (MinGW's among
// them) lack them. Every method is declared so that the table a caller indexes
// matches the one the WIA service (or a stand-in) really has.
#include <windows.h>
#include <objbase.h>
#include <wia.h>

// The guards are the SDK's own names, so that this block and a newer <wia.h>
// never both declare the interfaces.
// NOLINTBEGIN(bugprone-reserved-identifier): the SDK's names
#ifndef __IWiaDevMgr2_INTERFACE_DEFINED__
#define __IWiaDevMgr2_INTERFACE_DEFINED__
#define __IWiaItem2_INTERFACE_DEFINED__
// NOLINTEND(bugprone-reserved-identifier)

struct IEnumWiaItem2;
struct IWiaPreview;
struct IWiaItem2;

struct IWiaItem2 : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateChildItem(LONG lItemFlags, LONG lCreationFlags, BSTR bstrItemName,
                                                      IWiaItem2** ppIWiaItem2) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteItem(LONG lFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumChildItems(const GUID* pCategoryGUID, IEnumWiaItem2** ppIEnumWiaItem2) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindItemByName(LONG lFlags, BSTR bstrFullItemName, IWiaItem2** ppIWiaItem2) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetItemCategory(GUID* pItemCategoryGUID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetItemType(LONG* pItemType) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeviceDlg(LONG lFlags, HWND hwndParent, BSTR bstrFolderName, BSTR bstrFilename,
                                                LONG* plNumFiles, BSTR** ppbstrFilePaths, IWiaItem2** ppItem) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeviceCommand(LONG lFlags, const GUID* pCmdGUID, IWiaItem2** ppIWiaItem2) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumDeviceCapabilities(LONG lFlags, IEnumWIA_DEV_CAPS** ppIEnumWIA_DEV_CAPS) = 0;
    virtual HRESULT STDMETHODCALLTYPE CheckExtension(LONG lFlags, BSTR bstrName, REFIID riidExtensionInterface,
                                                     BOOL* pbExtensionExists) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetExtension(LONG lFlags, BSTR bstrName, REFIID riidExtensionInterface,
                                                   void** ppOut) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetParentItem(IWiaItem2** ppIWiaItem2) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRootItem(IWiaItem2** ppIWiaItem2) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPreviewComponent(LONG lFlags, IWiaPreview** ppWiaPreview) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumRegisterEventInfo(LONG lFlags, const GUID* pEventGUID,
                                                            IEnumWIA_DEV_CAPS** ppIEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE Diagnostic(ULONG ulSize, BYTE* pBuffer) = 0;
};

struct IWiaDevMgr2 : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumDeviceInfo(LONG lFlags, IEnumWIA_DEV_INFO** ppIEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateDevice(LONG lFlags, BSTR bstrDeviceID, IWiaItem2** ppWiaItem2Root) = 0;
    virtual HRESULT STDMETHODCALLTYPE SelectDeviceDlg(HWND hwndParent, LONG lDeviceType, LONG lFlags,
                                                      BSTR* pbstrDeviceID, IWiaItem2** ppItemRoot) = 0;
    virtual HRESULT STDMETHODCALLTYPE SelectDeviceDlgID(HWND hwndParent, LONG lDeviceType, LONG lFlags,
                                                        BSTR* pbstrDeviceID) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterEventCallbackInterface(LONG lFlags, BSTR bstrDeviceID,
                                                                     const GUID* pEventGUID,
                                                                     IWiaEventCallback* pIWiaEventCallback,
                                                                     IUnknown** pEventObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterEventCallbackProgram(LONG lFlags, BSTR bstrDeviceID,
                                                                   const GUID* pEventGUID, BSTR bstrFullAppName,
                                                                   BSTR bstrCommandLineArg, BSTR bstrName,
                                                                   BSTR bstrDescription, BSTR bstrIcon) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterEventCallbackCLSID(LONG lFlags, BSTR bstrDeviceID,
                                                                 const GUID* pEventGUID, const GUID* pClsID,
                                                                 BSTR bstrName, BSTR bstrDescription,
                                                                 BSTR bstrIcon) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetImageDlg(LONG lFlags, BSTR bstrDeviceID, HWND hwndParent,
                                                  BSTR bstrFolderName, BSTR bstrFilename, LONG* plNumFiles,
                                                  BSTR** ppbstrFilePaths, IWiaItem2** ppItem) = 0;
};

#endif

// Identifiers, spelled out here so that the program does not depend on which
// ones a given SDK's import libraries happen to carry.
namespace wiaid {
inline constexpr CLSID kClsidWiaDevMgr = {0xA1F4E726, 0x8CF1, 0x11D1, {0xBF, 0x92, 0x00, 0x60, 0x08, 0x1E, 0xD8, 0x11}};
inline constexpr IID kIidWiaDevMgr = {0x5EB2502A, 0x8CF1, 0x11D1, {0xBF, 0x92, 0x00, 0x60, 0x08, 0x1E, 0xD8, 0x11}};
inline constexpr CLSID kClsidWiaDevMgr2 = {0xB6C292BC, 0x7C88, 0x41EE, {0x8B, 0x54, 0x8E, 0xC9, 0x26, 0x17, 0xE5, 0x99}};
inline constexpr IID kIidWiaDevMgr2 = {0x79C07CF1, 0xCBDD, 0x41EE, {0x8E, 0xC3, 0xF0, 0x00, 0x80, 0xCA, 0xDA, 0x7A}};
inline constexpr IID kIidWiaItem = {0x4DB1AD10, 0x3391, 0x11D2, {0x9A, 0x33, 0x00, 0xC0, 0x4F, 0xA3, 0x61, 0x45}};
inline constexpr IID kIidWiaItem2 = {0x6CBA0075, 0x1287, 0x407D, {0x9B, 0x77, 0xCF, 0x0E, 0x03, 0x04, 0x35, 0xCC}};
inline constexpr IID kIidWiaPropertyStorage = {0x98B5E8A0, 0x29CC, 0x491A, {0xAA, 0xC0, 0xE6, 0xDB, 0x4F, 0xDC, 0xCE, 0xB6}};
inline constexpr IID kIidWiaItemExtras = {0x6291EF2C, 0x36EF, 0x4532, {0x87, 0x6A, 0x8E, 0x13, 0x25, 0x93, 0x77, 0x8D}};
} // namespace wiaid
