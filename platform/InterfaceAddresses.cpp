#include "platform/InterfaceAddresses.h"

#include "platform/AddressText.h"

#include <cstring>
#include <linux/if_packet.h>
#include <memory>

namespace {

bool TakeFacts(const ifaddrs& interface, CInterfaceFacts& facts)
{
    facts.nIndex = if_nametoindex(interface.ifa_name);
    facts.nFlags = interface.ifa_flags;
    std::strncpy(facts.szName, interface.ifa_name, IF_NAMESIZE - 1);
    return facts.nIndex != 0;
}

} // namespace

bool ForEachInterfaceAddress(const std::function<bool(const ifaddrs&)>& pfnVisit)
{
    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) != 0)
        return false;
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> pOwned(pList, &freeifaddrs);
    for (const ifaddrs* p = pList; p != nullptr; p = p->ifa_next)
    {
        if (p->ifa_addr != nullptr && !pfnVisit(*p))
            break;
    }
    return true;
}

bool FindAddressOwner(const CAddressText& address, CInterfaceFacts& facts)
{
    facts = CInterfaceFacts {};
    bool bFound = false;
    ForEachInterfaceAddress([&](const ifaddrs& interface) {
        if (interface.ifa_addr->sa_family != address.nFamily)
            return true;
        if (address.nFamily == AF_INET)
        {
            const auto* pIn = reinterpret_cast<const sockaddr_in*>(interface.ifa_addr);
            if (pIn->sin_addr.s_addr != address.ipv4.s_addr)
                return true;
        }
        else
        {
            // A link-local address belongs to the interface its scope names, and only to that one.
            const auto* pIn6 = reinterpret_cast<const sockaddr_in6*>(interface.ifa_addr);
            if (std::memcmp(&pIn6->sin6_addr, &address.ipv6, sizeof(in6_addr)) != 0
                || (address.szScope[0] != '\0' && std::strcmp(interface.ifa_name, address.szScope) != 0))
                return true;
        }
        bFound = TakeFacts(interface, facts);
        return !bFound;
    });
    return bFound;
}

// Each interface has exactly one link-layer entry, with or without an IP address.
void ForEachInterface(const std::function<void(const CInterfaceFacts&)>& pfnVisit)
{
    ForEachInterfaceAddress([&pfnVisit](const ifaddrs& interface) {
        CInterfaceFacts facts;
        if (interface.ifa_addr->sa_family == AF_PACKET && TakeFacts(interface, facts))
            pfnVisit(facts);
        return true;
    });
}

bool FindInterface(const char* pszName, CInterfaceFacts& facts)
{
    facts = CInterfaceFacts {};
    ForEachInterface([&](const CInterfaceFacts& one) {
        if (facts.nIndex == 0 && std::strcmp(one.szName, pszName) == 0)
            facts = one;
    });
    return facts.nIndex != 0;
}
