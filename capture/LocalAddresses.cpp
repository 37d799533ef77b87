#include "capture/LocalAddresses.h"

#include "platform/CaptureTarget.h"
#include "platform/InterfaceAddresses.h"

#include <algorithm>
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

namespace {

// In the order the list shows them.
enum Rank
{
    RANK_IPV4,
    RANK_IPV6,
    RANK_IPV6_LINK_LOCAL,
    RANK_IPV4_LOOPBACK,
    RANK_IPV6_LOOPBACK,
};

struct CEntry
{
    std::string strAddress;
    Rank nRank;
};

bool MakeEntry(const ifaddrs& interface, CEntry& entry)
{
    const bool bLoopback = (interface.ifa_flags & IFF_LOOPBACK) != 0;
    char szText[INET6_ADDRSTRLEN] = {};
    if (interface.ifa_addr->sa_family == AF_INET)
    {
        const auto* pIn = reinterpret_cast<const sockaddr_in*>(interface.ifa_addr);
        if (inet_ntop(AF_INET, &pIn->sin_addr, szText, sizeof(szText)) == nullptr)
            return false;
        entry = {szText, bLoopback ? RANK_IPV4_LOOPBACK : RANK_IPV4};
        return true;
    }
    if (interface.ifa_addr->sa_family != AF_INET6)
        return false;
    const auto* pIn6 = reinterpret_cast<const sockaddr_in6*>(interface.ifa_addr);
    if (inet_ntop(AF_INET6, &pIn6->sin6_addr, szText, sizeof(szText)) == nullptr)
        return false;
    if (bLoopback)
        entry = {szText, RANK_IPV6_LOOPBACK};
    else if (IN6_IS_ADDR_LINKLOCAL(&pIn6->sin6_addr))
        entry = {std::string(szText) + "%" + interface.ifa_name, RANK_IPV6_LINK_LOCAL};
    else
        entry = {szText, RANK_IPV6};
    return true;
}

} // namespace

std::vector<std::string> ListLocalIpAddresses()
{
    std::vector<CEntry> entries;
    ForEachInterfaceAddress([&entries](const ifaddrs& interface) {
        CEntry entry;
        if ((interface.ifa_flags & IFF_UP) != 0 && MakeEntry(interface, entry))
            entries.push_back(std::move(entry));
        return true;
    });

    std::stable_sort(entries.begin(), entries.end(),
                     [](const CEntry& a, const CEntry& b) { return a.nRank < b.nRank; });
    std::vector<std::string> addresses;
    addresses.reserve(entries.size());
    for (CEntry& e : entries)
        addresses.push_back(std::move(e.strAddress));
    return addresses;
}

std::vector<std::string> ListCaptureInterfaces()
{
    std::vector<std::string> names {ANY_INTERFACE_TEXT}, loopbacks;
    ForEachInterface([&](const CInterfaceFacts& facts) {
        if ((facts.nFlags & IFF_UP) != 0)
            ((facts.nFlags & IFF_LOOPBACK) != 0 ? loopbacks : names).push_back(facts.szName);
    });
    names.insert(names.end(), loopbacks.begin(), loopbacks.end());
    return names;
}

namespace {

std::string JoinChoices(const std::vector<std::string>& choices)
{
    std::string strText;
    for (const std::string& strChoice : choices)
        strText += (strText.empty() ? "" : ", ") + strChoice;
    return strText.empty() ? "(none is up)" : strText;
}

} // namespace

bool ChooseCapture(const std::string& strAddress, const std::string& strInterface, CCaptureChoice& choice,
                   std::string& strError)
{
    choice = CCaptureChoice {};
    if (!strInterface.empty())
    {
        const std::vector<std::string> interfaces = ListCaptureInterfaces();
        if (std::find(interfaces.begin(), interfaces.end(), strInterface) == interfaces.end()
            || !IsCaptureTargetText(InterfaceTargetText(strInterface).c_str()))
        {
            strError = "no interface '" + strInterface + "' is up here; the choices: " + JoinChoices(interfaces);
            return false;
        }
        choice.strTarget = InterfaceTargetText(strInterface);
        if (strInterface != ANY_INTERFACE_TEXT)
            choice.strInterface = strInterface;
        return true;
    }
    const std::vector<std::string> addresses = ListLocalIpAddresses();
    if (strAddress.empty() && addresses.empty())
    {
        strError = "no interface with an address is up";
        return false;
    }
    choice.strTarget = strAddress.empty() ? addresses.front() : strAddress;
    if (std::find(addresses.begin(), addresses.end(), choice.strTarget) == addresses.end())
    {
        strError =
            "'" + strAddress + "' is no address of an interface that is up; the choices: " + JoinChoices(addresses);
        return false;
    }
    CCaptureTarget target;
    CInterfaceFacts facts;
    if (ParseCaptureTarget(choice.strTarget.c_str(), target) && target.nKind == CCaptureTarget::ADDRESS
        && FindAddressOwner(target.address, facts))
        choice.strInterface = facts.szName;
    return true;
}
