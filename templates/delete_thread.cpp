// Stand-in until the delete pass lands: lets the session end go on.
#include "discovery/state.h"
#include "templates/template_passes.h"

DWORD WINAPI DeleteTemplateThread(LPVOID pvQueryLParam)
{
    EnterCriticalSection(&g_csTemplateLock);
    PostMessageW(g_hWnd, WM_ENDSESSION, 1, static_cast<LPARAM>(reinterpret_cast<ULONG_PTR>(pvQueryLParam)));
    LeaveCriticalSection(&g_csTemplateLock);
    return 0;
}
