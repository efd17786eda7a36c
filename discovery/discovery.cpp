// Stand-in until discovery lands: one pass that finds nothing.
#include "discovery/discovery.h"

#include "common/trace.h"

HRESULT GetDeviceInfo()
{
    TraceMsg(L"GetDeviceInfo Enter");
    TraceMsg(L"GetDeviceInfo Exit");
    return E_FAIL;
}
