#pragma once
// The PC's own network address, and whether scanners can reach the PC by it.
#include <windows.h>

#include <vector>

// Resolves the host name and looks at its first address only. Stores the
// dotted text with SetIPAddressText. S_OK: usable (or the lookup failed without
// an error code, and the stored text is unchanged); E_ABORT: loopback;
// E_UNEXPECTED: link-local 169.254.x.x; E_FAIL: sockets or the lookup failed.
HRESULT lookupip();

// Whether an address text is one the scanners can reach the PC by: not empty,
// not the loopback address, not link-local.
bool IsUsableAddressText(const wchar_t* pwszAddress);

// The PC's IPv4 address table as last read. Reading it is one query of the
// network stack, where resolving the name is several (under Wine, every
// adapter and route): it tells when a resolve may find an address of its own.
class AddressTableWatch {
public:
    // Reads the table: true when it differs from the last read or cannot be
    // read (the first read always differs).
    bool Moved();

private:
    std::vector<BYTE> m_last;
};
