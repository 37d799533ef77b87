#pragma once

#include "channel/Channel.h"
#include "platform/MappedAllocator.h"
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
// whatever they are: at most nMaxPerKey queries wait on one key (transport, ends and id), each
// beside its question's hash, so that finding one reads no other; each knows its neighbours by
// age, and leaves without a search. A query that comes to a full key gives up the oldest of that
// key as unanswered, and a query that comes to a full table gives up the oldest of all. Both are
// counted.
class CExchangeTable
{
public:
    static constexpr size_t MAX_OPEN = 100'000;
    // A resolver asks one question per id at a time, a few (A and AAAA) at the most.
    static constexpr size_t MAX_PER_KEY = 32;

    struct CQuery
    {
        Channel::CNameRecord record;
        unsigned nRetries = 0;

        std::string_view Name() const
        {
            return nNameLength <= sizeof(acName) ? std::string_view(acName, nNameLength) : strLongName;
        }
        void SetName(std::string_view name);

    private:
        // Nearly every name fits beside its record, where reading the one reads the other.
        char acName[48] = {};
        std::uint16_t nNameLength = 0;
        std::string strLongName;
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
    // A query that OnQuery will be given soon: what finding its key reads is asked for now.
    void Prefetch(const Channel::CNameRecord& query);
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

    // Every open query in the order it came, as a ring of its pool index and its key's hash: the
    // oldest is at the front, and those that will be given up next lie in a row after it, so that
    // what ending them reads can be asked for before. One that ends before its turn leaves a gap
    // (NONE), stepped over at the front and closed up when gaps fill half the ring.
    struct CAged
    {
        std::uint32_t nOpen = NONE;
        std::uint64_t nKeyHash = 0;
    };
    // An unchecked response that fits, until a sound one comes or the time is up. Few queries ever
    // have one, so it lies apart from them.
    struct CHeld
    {
        Channel::CResponseRecord record;
        std::string strName;
        std::string strAnswers;
    };
    // Found by the hash of its key, the question's hash as the index's tag; in the list of all by
    // age through its links, by pool index, so that it leaves without a search.
    struct COpen
    {
        CQuery query;
        CFrameTime sent;
        std::uint64_t nKeyHash = 0;
        // Ever higher: the oldest of a key is the lowest.
        std::uint64_t nSequence = 0;
        std::uint32_t nQuestionTag = 0;
        std::uint32_t nHeld = NONE;
        // Where it stands in the ring, counted from the ring's first entry ever.
        std::uint64_t nAged = 0;
    };
    // What one look at a key's queries finds: the one with the question, the oldest, how many.
    struct CFound
    {
        std::uint32_t nQuestion = NONE;
        std::uint32_t nOldest = NONE;
        std::uint32_t nCount = 0;
    };

    static CKey KeyOf(const Channel::CFrameFacts& facts);
    std::uint32_t QuestionTag(std::string_view name, bool bHasType, std::uint16_t nType);
    // With bHasQuestion, also the query of this question, whose tag is nTag.
    CFound Find(const CKey& key, std::uint64_t nKeyHash, bool bHasQuestion, std::uint32_t nTag, std::string_view name,
                bool bHasType, std::uint16_t nType) const;
    std::uint32_t NewOpen();
    CAged& AgedAt(std::uint64_t nAged) { return m_aged[nAged & (m_aged.size() - 1)]; }
    // The oldest open query, or NONE: gaps at the front are stepped over.
    std::uint32_t Oldest();
    void AppendAged(std::uint32_t nOpen, std::uint64_t nKeyHash);
    void End(std::uint32_t nOpen, const Channel::CResponseRecord* pResponse, std::string_view responseName,
             std::string_view answers);

    CSink& m_sink;
    std::uint64_t m_nTimeoutNs;
    size_t m_nMaxOpen;
    size_t m_nMaxPerKey;
    // Seeded per table, when it is made (SeededHash.h says why).
    std::uint64_t m_nSeed;
    // On huge pages: every query lands at a random place of the index and the pool.
    std::vector<COpen, CMappedAllocator<COpen>> m_opens;
    std::vector<std::uint32_t> m_freeOpens;
    std::vector<CHeld> m_held;
    std::vector<std::uint32_t> m_freeHeld;
    CFlatIndex m_byKey;
    // Its size a power of two; entries m_nAgedFront up to m_nAgedBack are in it.
    std::vector<CAged, CMappedAllocator<CAged>> m_aged;
    std::uint64_t m_nAgedFront = 0;
    std::uint64_t m_nAgedBack = 0;
    // Prefetch calls since OnQuery last took one: the queries of a message seen ahead.
    std::uint64_t m_nAhead = 0;
    std::uint64_t m_nNextSequence = 0;
    size_t m_nOpen = 0;
    std::uint64_t m_nGivenUp = 0;
    std::uint64_t m_nCrowded = 0;
};
