#include <winsock2.h>

#include "watcher/lookupip.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "common/bounded_string.h"
#include "common/hooks.h"
#include "common/trace.h"
#include "discovery/state.h"

namespace {

constexpr int kWsaHostNotFound = 11001; // WSAHOST_NOT_FOUND
constexpr int kWsaNoData = 11004;       // WSANO_DATA
// Room for a handful of addresses; a PC with more says how much it needs.
constexpr ULONG kFirstTableBytes = 512;

HRESULT TraceLookupFailure()
{
    int nError = WSAGetLastError();
    switch (nError) {
    case 0:
        return S_OK;
    case kWsaHostNotFound:
        TraceMsg(L"Host not found\n");
        return E_FAIL;
    case kWsaNoData:
        TraceMsg(L"No data record found\n");
        return E_FAIL;
    default:
        TraceMsg(L"Function failed with error: %ld\n", static_cast<long>(nError));
        return E_FAIL;
    }
}

// The first address of the entry, or null when it holds no IPv4 address.
const in_addr* FirstAddress(const hostent* pHost)
{
    if (pHost->h_addrtype != AF_INET || pHost->h_length != sizeof(in_addr) || pHost->h_addr_list == nullptr ||
        pHost->h_addr_list[0] == nullptr)
        return nullptr;
    return reinterpret_cast<const in_addr*>(pHost->h_addr_list[0]);
}

HRESULT ClassifyAddress(const char* pszAddress)
{
    if (strcmp(pszAddress, "127.0.0.1") == 0) {
        TraceMsg(L"Entered the lookupip address\r\n");
        return E_ABORT;
    }
    char szPrefix[9] = {};
    bgt::StringCchCopyA(szPrefix, ARRAYSIZE(szPrefix), pszAddress);
    if (strcmp(szPrefix, "169.254.") == 0) {
        TraceMsg(L"Most likely not a valid IP address and PC did connect with DHCP server correctly yet\r\n");
        return E_UNEXPECTED;
    }
    return S_OK;
}

} // namespace

bool AddressTableWatch::Moved()
{
    ULONG cbTable = std::max(static_cast<ULONG>(m_last.size()), kFirstTableBytes);
    std::vector<BYTE> table(cbTable);
    DWORD dwResult = g_hooks.pfnGetIpAddrTable(reinterpret_cast<PMIB_IPADDRTABLE>(table.data()), &cbTable, TRUE);
    if (dwResult == ERROR_INSUFFICIENT_BUFFER) {
        table.resize(cbTable);
        dwResult = g_hooks.pfnGetIpAddrTable(reinterpret_cast<PMIB_IPADDRTABLE>(table.data()), &cbTable, TRUE);
    }
    if (dwResult != NO_ERROR) {
        m_last.clear();
        return true;
    }
    // The bytes past the rows stay zero: two reads of one table compare equal.
    bool bMoved = table != m_last;
    m_last = std::move(table);
    return bMoved;
}

HRESULT lookupip()
{
    TraceMsg(L"Entered the lookupip function\r\n");
    // Each call adds a start-up of its own and keeps it: other threads may be
    // using the socket layer at the same moment.
    WSADATA wsaData{};
    if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        TraceMsg(L"WSAStartup failed.\n");
        return E_FAIL;
    }
    char szHostName[260] = {};
    gethostname(szHostName, sizeof(szHostName));
    const hostent* pHost = g_hooks.pfnGetHostByName(szHostName);
    if (pHost == nullptr)
        return TraceLookupFailure();
    const in_addr* pAddress = FirstAddress(pHost);
    if (pAddress == nullptr) {
        TraceMsg(L"No IPv4 address for the host\n");
        return E_FAIL;
    }

    char szAddress[32] = {};
#if defined(_MSC_VER)
#pragma warning(suppress : 4996) // the IPv4-only form is the one wanted here
#endif
    // NOLINTNEXTLINE(concurrency-mt-unsafe): Winsock keeps the text in storage of the calling thread
    const char* pszDotted = inet_ntoa(*pAddress);
    bgt::StringCchCopyA(szAddress, ARRAYSIZE(szAddress), pszDotted != nullptr ? pszDotted : "");
    wchar_t wszAddress[32] = {};
    if (MultiByteToWideChar(CP_ACP, 0, szAddress, -1, wszAddress, ARRAYSIZE(wszAddress)) == 0)
        wszAddress[0] = L'\0';
    TraceMsg(L"\n\nIP Addr: %s\n\r\n", wszAddress);
    SetIPAddressText(wszAddress);
    return ClassifyAddress(szAddress);
}

bool IsUsableAddressText(const wchar_t* pwszAddress)
{
    return pwszAddress[0] != L'\0' && wcscmp(pwszAddress, L"127.0.0.1") != 0 &&
           wcsncmp(pwszAddress, L"169.254.", 8) != 0;
}
