/* The wire form of the property values that IWiaPropertyStorage carries between
 * the task and the WIA service stand-in, and the proxy/stub class id.
 *
 * On the wire one value is: its type (4 bytes), the size of its payload in
 * bytes (4 bytes; 0xFFFFFFFF for a null text), the payload padded to 4 bytes.
 * Texts travel as their UTF-16 characters, integers as 4 bytes. Any other type
 * arrives as VT_EMPTY: the simulator has no property of another type. */
#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <string.h>

#include "wia_marshal.h"

/* The proxy/stub class of this DLL, under which the simulator's prefix
 * registers every interface the DLL marshals. */
const CLSID CLSID_WiaSimMarshal = {0xBF0D723B, 0xF0E7, 0x4F69, {0x8B, 0x73, 0xBB, 0x15, 0x12, 0xD2, 0x14, 0x36}};

#define NULL_TEXT 0xFFFFFFFFu

static ULONG AlignUp(ULONG n) { return (n + 3u) & ~3u; }
static unsigned char* AlignPtr(unsigned char* p) { return (unsigned char*)(((ULONG_PTR)p + 3u) & ~(ULONG_PTR)3u); }

static int IsInteger(VARTYPE vt)
{
    return vt == VT_I2 || vt == VT_UI2 || vt == VT_BOOL || vt == VT_I4 || vt == VT_UI4 || vt == VT_INT ||
           vt == VT_UINT || vt == VT_ERROR;
}

static VARTYPE WireType(const PROPVARIANT* pv)
{
    return (pv->vt == VT_BSTR || IsInteger(pv->vt)) ? pv->vt : VT_EMPTY;
}

static ULONG PayloadBytes(const PROPVARIANT* pv)
{
    VARTYPE vt = WireType(pv);
    if (vt == VT_BSTR)
        return pv->bstrVal != NULL ? SysStringByteLen(pv->bstrVal) : NULL_TEXT;
    return IsInteger(vt) ? 4u : 0u;
}

ULONG __RPC_USER SimPropVariant_UserSize(ULONG* pFlags, ULONG start, SimPropVariant* pv)
{
    (void)pFlags;
    ULONG cb = PayloadBytes(pv);
    return AlignUp(start) + 8u + (cb == NULL_TEXT ? 0u : AlignUp(cb));
}

unsigned char* __RPC_USER SimPropVariant_UserMarshal(ULONG* pFlags, unsigned char* pBuffer, SimPropVariant* pv)
{
    (void)pFlags;
    ULONG vt = WireType(pv);
    ULONG cb = PayloadBytes(pv);
    pBuffer = AlignPtr(pBuffer);
    memcpy(pBuffer, &vt, 4);
    memcpy(pBuffer + 4, &cb, 4);
    pBuffer += 8;
    if (vt == VT_BSTR && cb != NULL_TEXT) {
        memcpy(pBuffer, pv->bstrVal, cb);
        memset(pBuffer + cb, 0, AlignUp(cb) - cb);
        pBuffer += AlignUp(cb);
    } else if (cb == 4) {
        LONG l = (vt == VT_I2 || vt == VT_UI2 || vt == VT_BOOL) ? (LONG)pv->iVal : pv->lVal;
        memcpy(pBuffer, &l, 4);
        pBuffer += 4;
    }
    return pBuffer;
}

unsigned char* __RPC_USER SimPropVariant_UserUnmarshal(ULONG* pFlags, unsigned char* pBuffer, SimPropVariant* pv)
{
    (void)pFlags;
    ULONG vt, cb;
    pBuffer = AlignPtr(pBuffer);
    memcpy(&vt, pBuffer, 4);
    memcpy(&cb, pBuffer + 4, 4);
    pBuffer += 8;
    memset(pv, 0, sizeof(*pv));
    pv->vt = (VARTYPE)vt;
    if (vt == VT_BSTR) {
        if (cb != NULL_TEXT) {
            pv->bstrVal = SysAllocStringByteLen((const char*)pBuffer, cb);
            pBuffer += AlignUp(cb);
        }
    } else if (cb == 4) {
        LONG l;
        memcpy(&l, pBuffer, 4);
        if (vt == VT_I2 || vt == VT_UI2 || vt == VT_BOOL)
            pv->iVal = (SHORT)l;
        else
            pv->lVal = l;
        pBuffer += 4;
    } else {
        pv->vt = VT_EMPTY;
    }
    return pBuffer;
}

void __RPC_USER SimPropVariant_UserFree(ULONG* pFlags, SimPropVariant* pv)
{
    (void)pFlags;
    PropVariantClear(pv);
}
