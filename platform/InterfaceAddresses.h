#pragma once

#include <functional>
#include <ifaddrs.h>
#include <net/if.h>

struct CAddressText;

// One walk over the machine's interface addresses (getifaddrs), freed however the walk ends.
// pfnVisit sees every entry that has an address; returning false ends the walk. False when the
// list could not be read.
bool ForEachInterfaceAddress(const std::function<bool(const ifaddrs&)>& pfnVisit);

// An interface as a capture binds to it.
struct CInterfaceFacts
{
    unsigned nIndex = 0; // 0: none found
    unsigned nFlags = 0; // IFF_UP, IFF_LOOPBACK...
    char szName[IF_NAMESIZE] {};
};

// The interface that owns the address (a link-local one only on the interface its scope names),
// or the one with that name; false when there is none.
bool FindAddressOwner(const CAddressText& address, CInterfaceFacts& facts);
bool FindInterface(const char* pszName, CInterfaceFacts& facts);

// Every interface there is, once each, in the kernel's order.
void ForEachInterface(const std::function<void(const CInterfaceFacts&)>& pfnVisit);
