#include "platform/InterfaceAddresses.h"

#include <memory>

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
