#pragma once

#include "channel/Channel.h"
#include "watch/FlatIndex.h"
#include "watch/FrameTime.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// A response whose checksum could not be checked (only the first fragment of its datagram was
// there) cannot vouch for itself: it is held beside its query, and a sound response that comes
// before the query's time is up answers it instead (the held one is then told apart, as unasked).
// Otherwise the held one is the answer when the time is up.
//
// Anyone who can put packets on the interface chooses the keys, so every step costs the same
// whatever they are: the question is part of the hash that finds a query, each query knows its
// neighbours by age and by key, and at most nMaxPerKey queries wait on one key (transport, ends
// and id); a query that comes to a full key gives up the oldest of that key as unanswered, and a
// query that comes to a full table gives up the oldest of all. Both are counted.
class CExchangeTable
{
public:
    static constexpr size_t MAX_OPEN = 100'000;
    // A resolver asks one question per id at a time, a few (A and AAAA) at the most.
    static constexpr size_t MAX_PER_KEY = 32;

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

    CExchangeTable(CSink& sink, std::uint64_t nTimeoutNs, size_t nMaxOpen = MAX_OPEN, size_t nMaxPerKey = MAX_PER_KEY);

    void OnQuery(const Channel::CNameRecord& query, std::string_view name);
    // bChecked: its transport checksum was found sound, not only not found wrong.
    void OnResponse(const Channel::CResponseRecord& response, std::string_view name, std::string_view answers,
                    bool bChecked = true);
    // Ends as unanswered every query sent no later than now less the timeout (frame times).
    void Expire(CFrameTime now);
    // Ends every open query as unanswered: the capture or the file is over.
    void Flush();

    size_t GetOpenCount() const { return m_nOpen; }
    // Queries given up early: the table was full, or their key was.
    std::uint64_t GetGivenUpCount() const { return m_nGivenUp; }
    std::uint64_t GetCrowdedCount() const { return m_nCrowded; }

private:
    static constexpr std::uint32_t NONE = CFlatIndex::NONE;

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

    // Lists by index into the pools, so that a query leaves both of its lists without a search.
    struct CLinks
    {
        std::uint32_t nPrevious = NONE;
        std::uint32_t nNext = NONE;
    };
    struct COpen
    {
        CQuery query;
        CFrameTime sent;
        std::uint64_t nQuestionHash = 0;
        std::uint32_t nKey = NONE;
        CLinks byAge;
        CLinks byKey;
        // An unchecked response that fits, until a sound one comes or the time is up.
        bool bHeld = false;
        Channel::CResponseRecord held;
        std::string strHeldName;
        std::string strHeldAnswers;
    };
    struct CKeyQueries
    {
        CKey key;
        std::uint64_t nHash = 0;
        std::uint32_t nOldest = NONE;
        std::uint32_t nNewest = NONE;
        std::uint32_t nCount = 0;
    };

    template <class TRecord>
    static CKey KeyOf(const TRecord& record, bool bFromClient);
    std::uint64_t QuestionHash(const CKey& key, std::string_view folded, bool bHasType, std::uint16_t nType);
    std::uint32_t FindQuestion(const CKey& key, std::uint64_t nHash, std::string_view name, bool bHasType,
                               std::uint16_t nType) const;
    std::uint32_t FindKey(const CKey& key, std::uint64_t nHash) const;
    std::uint32_t NewOpen();
    std::uint32_t NewKey(const CKey& key, std::uint64_t nHash);
    void Append(std::uint32_t& nOldest, std::uint32_t& nNewest, CLinks COpen::*pLinks, std::uint32_t nOpen);
    void Unlink(std::uint32_t& nOldest, std::uint32_t& nNewest, CLinks COpen::*pLinks, std::uint32_t nOpen);
    void End(std::uint32_t nOpen, const Channel::CResponseRecord* pResponse, std::string_view responseName,
             std::string_view answers);

    CSink& m_sink;
    std::uint64_t m_nTimeoutNs;
    size_t m_nMaxOpen;
    size_t m_nMaxPerKey;
    // Seeded per table, when it is made (SeededHash.h says why).
    std::uint64_t m_nSeed;
    std::vector<COpen> m_opens;
    std::vector<std::uint32_t> m_freeOpens;
    std::vector<CKeyQueries> m_keys;
    std::vector<std::uint32_t> m_freeKeys;
    CFlatIndex m_byQuestion;
    CFlatIndex m_byKey;
    // Every open query by age, so that expiry looks only at the oldest.
    std::uint32_t m_nOldest = NONE;
    std::uint32_t m_nNewest = NONE;
    size_t m_nOpen = 0;
    std::uint64_t m_nGivenUp = 0;
    std::uint64_t m_nCrowded = 0;
    std::string m_strHashed;
};
