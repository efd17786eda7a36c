// Stand-in until the template passes land: asks no scanner, lets the session end go on.
#include "discovery/state.h"
#include "templates/template_passes.h"

HRESULT DeleteAllTemplates(DWORD dwQueryLParam, bool* pbEndThread)
{
    *pbEndThread = false;
    PostMessageW(g_hWnd, WM_ENDSESSION, 1, static_cast<LPARAM>(dwQueryLParam));
    return E_FAIL;
}

HRESULT RePublishAllTemplates(const DeviceInfo*, bool* pbEndThread)
{
    *pbEndThread = false;
    return E_FAIL;
}

DWORD WINAPI DeleteTemplateThread(LPVOID pvQueryLParam)
{
    EnterCriticalSection(&g_csTemplateLock);
    bool bEndThread = false;
    DeleteAllTemplates(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(pvQueryLParam)), &bEndThread);
    LeaveCriticalSection(&g_csTemplateLock);
    return 0;
}
