#pragma once
// A scripted host-name resolver for the address check: each call answers the
// next step of the script (the last step repeats), either a host entry with the
// given IPv4 addresses in order or a failure with a socket error code.
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/hooks.h"

namespace testsupport {

struct ResolverStep {
    std::vector<std::string> addresses; // dotted text, first one first
    int nError = 0;                      // used when there are no addresses
};

ResolverStep Addresses(std::vector<std::string> addresses);
ResolverStep Failure(int nError);

// Installs the resolver in the hook table for its life (restoring the old one),
// with an address table that moves at every read unless one is held.
class FakeResolver {
public:
    explicit FakeResolver(std::vector<ResolverStep> script);
    ~FakeResolver();
    int Calls() const;
    std::string LastName() const;
    // The address table reads as this one address from now on.
    void HoldTable(const std::string& address);

private:
    decltype(PlatformHooks::pfnGetHostByName) m_pfnSaved;
    decltype(PlatformHooks::pfnGetIpAddrTable) m_pfnSavedTable;
};

// Records message boxes through the hook table instead of showing them.
struct RecordedBox {
    HWND hWnd;
    std::wstring text;
    std::wstring caption;
    UINT uType;
};

class MessageBoxRecorder {
public:
    MessageBoxRecorder();
    ~MessageBoxRecorder();
    std::vector<RecordedBox> Boxes() const;

private:
    decltype(PlatformHooks::pfnMessageBoxW) m_pfnSaved;
};

} // namespace testsupport
