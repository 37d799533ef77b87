#pragma once

#include "channel/Channel.h"
#include "dns/NewNames.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

// The join of responses to their queries. A response answers an open query when both went the
// same way back: the same transport, the query's source as its destination and the query's
// destination as its source (addresses and ports), the same DNS id, and the same question (its
// name by the list's rule, and its type when the response names one). A response with no question
// answers only when exactly one open query fits the rest.
//
// A query sent again with the same id and question while its first is open is a retransmission:
// it joins the first, which counts it, and the latency counts from the first frame. Whichever copy
// the response answers, the asker waited from the first.
//
// At most nMaxOpen queries wait: when a new one comes to a full table, the oldest is given up as
// unanswered early, and counted, so a flood of queries that are never answered holds a known amount
// of memory and no more.
class CExchangeTable
{
public:
    static constexpr size_t MAX_OPEN = 100'000;

    struct CQuery
    {
        Channel::CNameRecord record;
        std::string strName;
        unsigned nRetries = 0;
    };

    // Told every exchange as it ends: a query and its response, a query whose time ran out
    // (pResponse null), or a response no open query fits (pQuery null).
    class CSink
    {
    public:
        virtual void OnExchange(const CQuery* pQuery, const Channel::CResponseRecord* pResponse,
                                std::string_view responseName, std::string_view answers) = 0;

    protected:
        ~CSink() = default;
    };

    CExchangeTable(CSink& sink, std::uint64_t nTimeoutNs, size_t nMaxOpen = MAX_OPEN);

    void OnQuery(const Channel::CNameRecord& query, std::string_view name);
    void OnResponse(const Channel::CResponseRecord& response, std::string_view name, std::string_view answers);
    // Ends as unanswered every query sent before nNowNs less the timeout (frame times: nanoseconds
    // since the epoch).
    void Expire(std::uint64_t nNowNs);
    // Ends every open query as unanswered: the capture or the file is over.
    void Flush();

    size_t GetOpenCount() const { return m_open.size(); }
    // Queries given up early because the table was full.
    std::uint64_t GetGivenUpCount() const { return m_nGivenUp; }

private:
    // Both ends of the exchange, seen from the query's side.
    struct CKey
    {
        std::uint8_t nProtocol = 0;
        std::uint8_t nIpVersion = 0;
        std::uint16_t nDnsId = 0;
        std::uint16_t nClientPort = 0;
        std::uint16_t nServerPort = 0;
        std::uint8_t abClient[16] = {};
        std::uint8_t abServer[16] = {};

        bool operator==(const CKey& other) const;
    };
    static_assert(sizeof(CKey) == 40, "no padding: the key is hashed as its bytes");
    // Seeded per table, when it is made (SeededHash.h says why).
    struct CKeyHash
    {
        std::uint64_t nSeed = 0;
        size_t operator()(const CKey& key) const;
    };
    struct COpen
    {
        CQuery query;
        CKey key;
        std::string strFolded;
        std::uint64_t nSentNs = 0;
    };
    using COpenList = std::list<COpen>;

    template <class TRecord>
    static CKey KeyOf(const TRecord& record, bool bFromClient);
    static std::uint64_t TimeNs(std::int64_t nSeconds, std::uint32_t nNanoseconds);
    void End(COpenList::iterator open, const Channel::CResponseRecord* pResponse, std::string_view responseName,
             std::string_view answers);

    CSink& m_sink;
    std::uint64_t m_nTimeoutNs;
    size_t m_nMaxOpen;
    // Oldest first, so expiry looks only at the front.
    COpenList m_open;
    std::unordered_multimap<CKey, COpenList::iterator, CKeyHash> m_byKey;
    std::uint64_t m_nGivenUp = 0;
    std::string m_strFolded;
};
