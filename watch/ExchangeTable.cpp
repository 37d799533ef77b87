#include "watch/ExchangeTable.h"

#include "watch/SeededHash.h"

#include <cstring>
#include <string_view>

using namespace Channel;

bool CExchangeTable::CKey::operator==(const CKey& other) const
{
    return nProtocol == other.nProtocol && nIpVersion == other.nIpVersion && nDnsId == other.nDnsId
           && nClientPort == other.nClientPort && nServerPort == other.nServerPort
           && std::memcmp(abClient, other.abClient, sizeof(abClient)) == 0
           && std::memcmp(abServer, other.abServer, sizeof(abServer)) == 0;
}

size_t CExchangeTable::CKeyHash::operator()(const CKey& key) const
{
    return size_t(SeededHash(nSeed, &key, sizeof(key)));
}

CExchangeTable::CExchangeTable(CSink& sink, std::uint64_t nTimeoutNs, size_t nMaxOpen)
    : m_sink(sink), m_nTimeoutNs(nTimeoutNs), m_nMaxOpen(nMaxOpen), m_byKey(0, CKeyHash {NewHashSeed()})
{}

std::uint64_t CExchangeTable::TimeNs(std::int64_t nSeconds, std::uint32_t nNanoseconds)
{
    return std::uint64_t(nSeconds) * 1'000'000'000u + nNanoseconds;
}

// Both records name their frame's own source first: the client for a query, the server for its
// response.
template <class TRecord>
CExchangeTable::CKey CExchangeTable::KeyOf(const TRecord& record, bool bFromClient)
{
    CKey key;
    key.nProtocol = record.nProtocol;
    key.nIpVersion = record.nIpVersion;
    key.nDnsId = record.nDnsId;
    key.nClientPort = bFromClient ? record.nSourcePort : record.nDestinationPort;
    key.nServerPort = bFromClient ? record.nDestinationPort : record.nSourcePort;
    std::memcpy(key.abClient, bFromClient ? record.abSource : record.abDestination, sizeof(key.abClient));
    std::memcpy(key.abServer, bFromClient ? record.abDestination : record.abSource, sizeof(key.abServer));
    return key;
}

void CExchangeTable::OnQuery(const CNameRecord& query, std::string_view name)
{
    const CKey key = KeyOf(query, true);
    NameRule::Fold(name, m_strFolded);

    const auto [first, last] = m_byKey.equal_range(key);
    for (auto it = first; it != last; ++it)
    {
        COpen& open = *it->second;
        if (open.strFolded == m_strFolded && open.query.record.bHasType == query.bHasType
            && open.query.record.nQueryType == query.nQueryType)
        {
            ++open.query.nRetries;
            return;
        }
    }
    if (m_open.size() >= m_nMaxOpen)
    {
        ++m_nGivenUp;
        End(m_open.begin(), nullptr, {}, {});
    }
    COpen& open = m_open.emplace_back();
    open.query.record = query;
    open.query.strName.assign(name);
    open.key = key;
    open.strFolded = m_strFolded;
    open.nSentNs = TimeNs(query.nSeconds, query.nNanoseconds);
    m_byKey.emplace(key, std::prev(m_open.end()));
}

void CExchangeTable::OnResponse(const CResponseRecord& response, std::string_view name, std::string_view answers)
{
    const CKey key = KeyOf(response, false);
    const bool bHasQuestion = response.bHasType != 0;
    NameRule::Fold(name, m_strFolded);

    const auto [first, last] = m_byKey.equal_range(key);
    COpenList::iterator match = m_open.end();
    size_t nFits = 0;
    for (auto it = first; it != last; ++it)
    {
        const COpen& open = *it->second;
        const bool bSameType =
            !response.bHasType || (open.query.record.bHasType && open.query.record.nQueryType == response.nQueryType);
        if (!bHasQuestion || (open.strFolded == m_strFolded && bSameType))
        {
            match = it->second;
            ++nFits;
        }
    }
    if (nFits == 1 || (bHasQuestion && nFits > 0))
        End(match, &response, name, answers);
    else
        m_sink.OnExchange(nullptr, &response, name, answers);
}

void CExchangeTable::End(COpenList::iterator open, const CResponseRecord* pResponse, std::string_view responseName,
                         std::string_view answers)
{
    const auto [first, last] = m_byKey.equal_range(open->key);
    for (auto it = first; it != last; ++it)
    {
        if (it->second == open)
        {
            m_byKey.erase(it);
            break;
        }
    }
    // Taken out before the sink hears of it, so that nothing the sink does sees it still open.
    COpenList ended;
    ended.splice(ended.end(), m_open, open);
    m_sink.OnExchange(&ended.front().query, pResponse, responseName, answers);
}

void CExchangeTable::Expire(std::uint64_t nNowNs)
{
    while (!m_open.empty() && m_open.front().nSentNs + m_nTimeoutNs <= nNowNs)
        End(m_open.begin(), nullptr, {}, {});
}

void CExchangeTable::Flush()
{
    while (!m_open.empty())
        End(m_open.begin(), nullptr, {}, {});
}
