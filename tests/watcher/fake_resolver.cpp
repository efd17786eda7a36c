#include "fake_resolver.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <mutex>

namespace testsupport {
namespace {

struct ResolverState {
    std::mutex mutex;
    std::vector<ResolverStep> script;
    size_t nCalls = 0;
    std::string lastName;
    // The entry handed out; like the real one it stays valid until the next call.
    std::vector<in_addr> addrs;
    std::vector<char*> list;
    hostent entry{};
    // The address table's one row: held, or moved at every read.
    bool bTableHeld = false;
    in_addr tableAddress{};
    DWORD nTableReads = 0;
};

ResolverState g_resolver;

struct hostent* WINAPI ScriptedGetHostByName(const char* pszName)
{
    std::lock_guard<std::mutex> lock(g_resolver.mutex);
    g_resolver.lastName = pszName != nullptr ? pszName : "";
    const ResolverStep& step = g_resolver.script[std::min(g_resolver.nCalls, g_resolver.script.size() - 1)];
    ++g_resolver.nCalls;
    if (step.addresses.empty()) {
        WSASetLastError(step.nError);
        return nullptr;
    }
    g_resolver.addrs.clear();
    for (const std::string& text : step.addresses) {
        in_addr addr{};
        inet_pton(AF_INET, text.c_str(), &addr);
        g_resolver.addrs.push_back(addr);
    }
    g_resolver.list.clear();
    for (in_addr& addr : g_resolver.addrs)
        g_resolver.list.push_back(reinterpret_cast<char*>(&addr));
    g_resolver.list.push_back(nullptr);
    static char szName[] = "scanpc";
    static char* aliases[] = {nullptr};
    g_resolver.entry.h_name = szName;
    g_resolver.entry.h_aliases = aliases;
    g_resolver.entry.h_addrtype = AF_INET;
    g_resolver.entry.h_length = sizeof(in_addr);
    g_resolver.entry.h_addr_list = g_resolver.list.data();
    return &g_resolver.entry;
}

DWORD WINAPI ScriptedGetIpAddrTable(PMIB_IPADDRTABLE pTable, PULONG pcbTable, BOOL)
{
    if (*pcbTable < sizeof(MIB_IPADDRTABLE)) {
        *pcbTable = sizeof(MIB_IPADDRTABLE);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::lock_guard<std::mutex> lock(g_resolver.mutex);
    ++g_resolver.nTableReads;
    *pTable = MIB_IPADDRTABLE{};
    pTable->dwNumEntries = 1;
    pTable->table[0].dwIndex = 2;
    pTable->table[0].dwAddr = g_resolver.bTableHeld ? g_resolver.tableAddress.s_addr : g_resolver.nTableReads;
    return NO_ERROR;
}

std::mutex g_boxMutex;
std::vector<RecordedBox> g_boxes;

int WINAPI RecordMessageBox(HWND hWnd, LPCWSTR pszText, LPCWSTR pszCaption, UINT uType)
{
    std::lock_guard<std::mutex> lock(g_boxMutex);
    g_boxes.push_back({hWnd, pszText, pszCaption, uType});
    return IDOK;
}

} // namespace

ResolverStep Addresses(std::vector<std::string> addresses) { return ResolverStep{std::move(addresses), 0}; }
ResolverStep Failure(int nError) { return ResolverStep{{}, nError}; }

FakeResolver::FakeResolver(std::vector<ResolverStep> script)
    : m_pfnSaved(g_hooks.pfnGetHostByName), m_pfnSavedTable(g_hooks.pfnGetIpAddrTable)
{
    {
        std::lock_guard<std::mutex> lock(g_resolver.mutex);
        g_resolver.script = std::move(script);
        g_resolver.nCalls = 0;
        g_resolver.lastName.clear();
        g_resolver.bTableHeld = false;
    }
    g_hooks.pfnGetHostByName = ScriptedGetHostByName;
    g_hooks.pfnGetIpAddrTable = ScriptedGetIpAddrTable;
}

FakeResolver::~FakeResolver()
{
    g_hooks.pfnGetHostByName = m_pfnSaved;
    g_hooks.pfnGetIpAddrTable = m_pfnSavedTable;
}

void FakeResolver::HoldTable(const std::string& address)
{
    std::lock_guard<std::mutex> lock(g_resolver.mutex);
    g_resolver.bTableHeld = true;
    inet_pton(AF_INET, address.c_str(), &g_resolver.tableAddress);
}

int FakeResolver::Calls() const
{
    std::lock_guard<std::mutex> lock(g_resolver.mutex);
    return static_cast<int>(g_resolver.nCalls);
}

std::string FakeResolver::LastName() const
{
    std::lock_guard<std::mutex> lock(g_resolver.mutex);
    return g_resolver.lastName;
}

MessageBoxRecorder::MessageBoxRecorder() : m_pfnSaved(g_hooks.pfnMessageBoxW)
{
    {
        std::lock_guard<std::mutex> lock(g_boxMutex);
        g_boxes.clear();
    }
    g_hooks.pfnMessageBoxW = RecordMessageBox;
}

MessageBoxRecorder::~MessageBoxRecorder() { g_hooks.pfnMessageBoxW = m_pfnSaved; }

std::vector<RecordedBox> MessageBoxRecorder::Boxes() const
{
    std::lock_guard<std::mutex> lock(g_boxMutex);
    return g_boxes;
}

} // namespace testsupport
