#pragma once
// The maker's driver requests: a still-image escape for the TWAIN driver, a
// locked property write on the root item for the WIA driver. Each carries the
// interactive user's SID text; while there is none, nothing is sent and the
// request reports kNoUserSidStatus. Each answers S_OK when the request was
// sent, else the status of the step that failed.
#include <windows.h>

// TWAIN: IStiDevice::Escape codes. In-data is the address of the SID text with
// a size argument of 4 (the drivers read the text through the address).
constexpr DWORD ETD_DELETE_ALL_TEMPLATE = 0x101D;
constexpr DWORD ETD_REPUBLISH_ALL_TEMPLATES = 0x101E;
constexpr DWORD kTwainLockTimeoutMs = 20000;

// WIA: IWiaItemExtras::Escape codes and the property the SID text is written to.
constexpr DWORD ETD_WIA_LOCK = 1;
constexpr DWORD ETD_WIA_UNLOCK = 2;
constexpr DWORD ETD_WIA_LOCK_KEY = 0x5C3A91E7;
constexpr ULONG ETD_PROP_DELETE_ALL_TEMPLATE = 38963;
constexpr ULONG ETD_PROP_REPUBLISH_ALL_TEMPLATES = 38964;
constexpr ULONG kFirstPropertyNameId = 2;

// HRESULT_FROM_WIN32(ERROR_NO_TOKEN): no SID text, so no request was sent.
constexpr HRESULT kNoUserSidStatus = static_cast<HRESULT>(0x800703F0);

// Root-item creation: retries after the first attempt, and the pause between.
constexpr DWORD kDeleteRootItemRetries = 5;
constexpr DWORD kRepublishRootItemRetries = 20;
constexpr DWORD kRootItemRetryPauseMs = 5000;

// Statuses after which the WIA service cannot be expected to answer this
// thread any more (compared as unsigned values).
bool IsRpcFatalStatus(HRESULT hr);
bool IsWiaFatalStatus(HRESULT hr);

// The request on CSTIScanner::m_pStiDevice.
HRESULT DeleteAllTWAINTemplateFromDevice();
HRESULT RepublishAllTWAINTemplateFromDevice();

// The request on device list record dwIndex through WIA or WIA 2. When the root
// item cannot be created with a fatal status, they set *pbEndThread: the caller
// must stop visiting devices, give back what it holds and end its thread once
// it has left g_csTemplateLock.
HRESULT DeleteAllWIATemplate(DWORD dwIndex, bool* pbEndThread);
HRESULT DeleteAllWIA2Template(DWORD dwIndex, bool* pbEndThread);
HRESULT RePublishAllWIATemplateFromDevice(DWORD dwIndex, bool* pbEndThread);
HRESULT RePublishAllWIA2TemplateFromDevice(DWORD dwIndex, bool* pbEndThread);
