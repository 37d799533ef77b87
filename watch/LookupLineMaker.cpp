#include "watch/LookupLineMaker.h"

#include "watch/FlagWords.h"
#include "watch/LookupResult.h"

#include <arpa/inet.h>

using namespace Channel;

namespace {

constexpr CFlagWord LOOKUP_FLAG_WORDS[] = {
    {LOOKUP_FLAG_NAME_CUT, "name-cut"},
    {LOOKUP_FLAG_ADDRESSES_CUT, "addresses-cut"},
    {LOOKUP_FLAG_ADDRESSES_UNREAD, "unread"},
};

} // namespace

std::string CLookupLineMaker::FamilyWord(std::uint8_t nFamily)
{
    switch (nFamily)
    {
    case AF_UNSPEC:
        return "unspec";
    case AF_INET:
        return "inet";
    case AF_INET6:
        return "inet6";
    default:
        return std::to_string(nFamily);
    }
}

CLookupLineMaker::CMade CLookupLineMaker::Make(const CLookupRecord& lookup, std::string_view name,
                                               std::string_view host)
{
    CQueryLine& query = m_query;
    query = CQueryLine();
    query.strTime = m_times.FormatTime(lookup.nSeconds, lookup.nNanoseconds);
    query.name = name;
    query.bHasFrame = false;
    CQueryLineMaker::SetSender(query, SENDER_PROGRAM, lookup.sender, &m_senders);

    CExchangeLine& exchange = m_exchange;
    exchange = CExchangeLine();
    exchange.nKind = CExchangeLine::LOOKUP;
    m_strResult = LookupResultName(lookup_result_kind(lookup.nResultKind), lookup.nResult);
    exchange.rcode = m_strResult;
    m_strFamily = FamilyWord(lookup.nFamily);
    exchange.family = m_strFamily;
    exchange.bHasLatency = lookup.nPhase == LOOKUP_PHASE_ENDED;
    exchange.nLatencyUs = lookup.nLatencyNs / 1000;
    // What of the call could not be read, where a response's line has its header's flags.
    m_strFlags.clear();
    AppendFlagWords(m_strFlags, lookup.nFlags, LOOKUP_FLAG_WORDS);
    exchange.flags = m_strFlags;
    // Owners are absolute, as in a response's answers.
    m_strOwner.assign(name).append(name == "." ? "" : ".");
    m_addresses.resize(lookup.nAddresses);
    for (size_t i = 0; i < lookup.nAddresses; ++i)
    {
        char szAddress[INET6_ADDRSTRLEN] = {};
        const bool bIpv6 = lookup.anAddressVersions[i] == 6;
        inet_ntop(bIpv6 ? AF_INET6 : AF_INET, lookup.aabAddresses[i], szAddress, sizeof(szAddress));
        m_addresses[i] = szAddress;
        exchange.answers.push_back({m_strOwner, bIpv6 ? "AAAA" : "A", 0, m_addresses[i], false});
    }
    if (!host.empty())
    {
        // As the data of a PTR answer is written: absolute.
        m_strHost.assign(host).append(".");
        exchange.answers.push_back({m_strOwner, "PTR", 0, m_strHost, false});
    }
    return {query, exchange};
}
