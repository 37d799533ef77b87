#include "capture/LocalAddresses.h"

#include <algorithm>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

std::vector<std::string> ListLocalIPv4Addresses()
{
    struct CEntry
    {
        std::string strAddress;
        bool bLoopback;
    };
    std::vector<CEntry> entries;

    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) != 0)
        return {};
    for (const ifaddrs* p = pList; p != nullptr; p = p->ifa_next)
    {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET || (p->ifa_flags & IFF_UP) == 0)
            continue;
        char szText[INET_ADDRSTRLEN] = {};
        const auto* pIn = reinterpret_cast<const sockaddr_in*>(p->ifa_addr);
        if (inet_ntop(AF_INET, &pIn->sin_addr, szText, sizeof(szText)) == nullptr)
            continue;
        entries.push_back({szText, (p->ifa_flags & IFF_LOOPBACK) != 0});
    }
    freeifaddrs(pList);

    std::stable_partition(entries.begin(), entries.end(), [](const CEntry& e) { return !e.bLoopback; });
    std::vector<std::string> addresses;
    addresses.reserve(entries.size());
    for (CEntry& e : entries)
        addresses.push_back(std::move(e.strAddress));
    return addresses;
}
