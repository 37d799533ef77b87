#include "watch/ExchangeTable.h"

#include "dns/NameRule.h"
#include "watch/SeededHash.h"

#include <cstring>

using namespace Channel;

bool CExchangeTable::CKey::operator==(const CKey& other) const
{
    return std::memcmp(this, &other, sizeof(CKey)) == 0;
}

CExchangeTable::CExchangeTable(CSink& sink, std::uint64_t nTimeoutNs, size_t nMaxOpen, size_t nMaxPerKey)
    : m_sink(sink), m_nTimeoutNs(nTimeoutNs), m_nMaxOpen(nMaxOpen), m_nMaxPerKey(nMaxPerKey), m_nSeed(NewHashSeed())
{
    // Address space only, touched as the queries come: a full table never moves its queries.
    m_opens.reserve(nMaxOpen);
}

// A query's facts are the client's side of the exchange; a response's, mirrored.
CExchangeTable::CKey CExchangeTable::KeyOf(const CFrameFacts& facts)
{
    CKey key;
    key.nProtocol = facts.nProtocol;
    key.nIpVersion = facts.nIpVersion;
    key.nDnsId = facts.nDnsId;
    key.nClientPort = facts.nSourcePort;
    key.nServerPort = facts.nDestinationPort;
    std::memcpy(key.abClient, facts.abSource, sizeof(key.abClient));
    std::memcpy(key.abServer, facts.abDestination, sizeof(key.abServer));
    return key;
}

namespace {

// Eight bytes with every ASCII capital made small and every other byte as it was: the list's rule
// for a word of a name at once.
std::uint64_t FoldWord(std::uint64_t nWord)
{
    constexpr std::uint64_t ONES = 0x0101010101010101u, HIGH = 0x8080808080808080u;
    const std::uint64_t nLow = nWord & ~HIGH;
    const std::uint64_t nFromA = nLow + (0x80 - 'A') * ONES, nPastZ = nLow + (0x80 - 'Z' - 1) * ONES;
    const std::uint64_t nCapitals = nFromA & ~nPastZ & ~nWord & HIGH;
    return nWord | (nCapitals >> 2);
}

} // namespace

// The question's type and its name by the list's rule: what tells two queries of one key apart.
// SeededHash's steps, on the folded words as they are read.
std::uint32_t CExchangeTable::QuestionTag(std::string_view name, bool bHasType, std::uint16_t nType)
{
    constexpr std::uint64_t MULTIPLIER = 0x9e3779b97f4a7c15u;
    std::uint64_t nHash = m_nSeed ^ (std::uint64_t(bHasType) << 16 | nType);
    const auto Mix = [&nHash](std::uint64_t nWord) {
        nHash = (nHash ^ nWord) * MULTIPLIER;
        nHash ^= nHash >> 29;
    };
    size_t i = 0;
    for (; i + 8 <= name.size(); i += 8)
    {
        std::uint64_t nWord;
        std::memcpy(&nWord, name.data() + i, 8);
        Mix(FoldWord(nWord));
    }
    std::uint64_t nLast = 0;
    std::memcpy(&nLast, name.data() + i, name.size() - i);
    Mix(FoldWord(nLast));
    Mix(name.size());
    return std::uint32_t(nHash ^ (nHash >> 32));
}

CExchangeTable::CFound CExchangeTable::Find(const CKey& key, std::uint64_t nKeyHash, bool bHasQuestion,
                                            std::uint32_t nTag, std::string_view name, bool bHasType,
                                            std::uint16_t nType) const
{
    CFound found;
    m_byKey.ForEach(nKeyHash, [&](std::uint32_t nOpen) {
        const COpen& open = m_opens[nOpen];
        const CNameRecord& record = open.query.record;
        if (!(KeyOf(record.facts) == key))
            return false;
        ++found.nCount;
        if (found.nOldest == NONE || open.nSequence < m_opens[found.nOldest].nSequence)
            found.nOldest = nOpen;
        if (bHasQuestion && open.nQuestionTag == nTag && record.facts.bHasType == bHasType
            && record.facts.nQueryType == nType && NameRule::IsSameName(open.query.Name(), name))
            found.nQuestion = nOpen;
        return false;
    });
    return found;
}

void CExchangeTable::CQuery::SetName(std::string_view name)
{
    nNameLength = std::uint16_t(name.size());
    if (name.size() <= sizeof(acName))
        std::memcpy(acName, name.data(), name.size());
    else
        strLongName.assign(name);
}

std::uint32_t CExchangeTable::Oldest()
{
    while (m_nAgedFront < m_nAgedBack && AgedAt(m_nAgedFront).nOpen == NONE)
        ++m_nAgedFront;
    return m_nAgedFront < m_nAgedBack ? AgedAt(m_nAgedFront).nOpen : NONE;
}

void CExchangeTable::AppendAged(std::uint32_t nOpen, std::uint64_t nKeyHash)
{
    if (m_nAgedBack - m_nAgedFront == m_aged.size())
    {
        // Full: closed up, into a ring twice the size unless gaps took half of it.
        std::vector<CAged, CMappedAllocator<CAged>> aged(m_aged.empty()                ? 1024
                                                         : m_nOpen * 2 < m_aged.size() ? m_aged.size()
                                                                                       : m_aged.size() * 2);
        std::uint64_t nBack = 0;
        for (std::uint64_t nAt = m_nAgedFront; nAt < m_nAgedBack; ++nAt)
        {
            const CAged& entry = AgedAt(nAt);
            if (entry.nOpen == NONE)
                continue;
            m_opens[entry.nOpen].nAged = nBack;
            aged[nBack++] = entry;
        }
        m_aged.swap(aged);
        m_nAgedFront = 0;
        m_nAgedBack = nBack;
    }
    AgedAt(m_nAgedBack) = CAged {nOpen, nKeyHash};
    m_opens[nOpen].nAged = m_nAgedBack++;
}

std::uint32_t CExchangeTable::NewOpen()
{
    if (m_freeOpens.empty())
    {
        m_opens.emplace_back();
        return std::uint32_t(m_opens.size() - 1);
    }
    const std::uint32_t nOpen = m_freeOpens.back();
    m_freeOpens.pop_back();
    return nOpen;
}

void CExchangeTable::Prefetch(const CNameRecord& query)
{
    const CKey key = KeyOf(query.facts);
    m_byKey.Prefetch(SeededHash(m_nSeed, &key, sizeof(key)));
    // Under a flood each of these queries gives up one of the oldest, in the ring's order.
    if (m_nOpen + m_nAhead >= m_nMaxOpen && m_nAgedFront + m_nAhead < m_nAgedBack)
    {
        const CAged& aged = AgedAt(m_nAgedFront + m_nAhead);
        if (aged.nOpen != NONE)
        {
            m_byKey.Prefetch(aged.nKeyHash);
            const auto* pOpen = reinterpret_cast<const char*>(&m_opens[aged.nOpen]);
            for (size_t nLine = 0; nLine < sizeof(COpen); nLine += 64)
                __builtin_prefetch(pOpen + nLine);
        }
    }
    ++m_nAhead;
}

void CExchangeTable::OnQuery(const CNameRecord& query, std::string_view name)
{
    const CKey key = KeyOf(query.facts);
    const bool bHasType = query.facts.bHasType != 0;
    const std::uint64_t nKeyHash = SeededHash(m_nSeed, &key, sizeof(key));
    m_byKey.Prefetch(nKeyHash);
    const std::uint32_t nTag = QuestionTag(name, bHasType, query.facts.nQueryType);
    CFound found = Find(key, nKeyHash, true, nTag, name, bHasType, query.facts.nQueryType);
    if (found.nQuestion != NONE)
    {
        ++m_opens[found.nQuestion].query.nRetries;
        return;
    }
    m_nAhead -= m_nAhead != 0 ? 1 : 0;
    if (found.nCount >= m_nMaxPerKey)
    {
        ++m_nGivenUp;
        ++m_nCrowded;
        End(found.nOldest, nullptr, {}, {});
    }
    else if (m_nOpen >= m_nMaxOpen)
    {
        ++m_nGivenUp;
        End(Oldest(), nullptr, {}, {});
    }

    const std::uint32_t nOpen = NewOpen();
    COpen& open = m_opens[nOpen];
    open.query.record = query;
    open.query.SetName(name);
    open.query.nRetries = 0;
    open.sent = CFrameTime::Of(query.facts);
    open.nKeyHash = nKeyHash;
    open.nSequence = m_nNextSequence++;
    open.nQuestionTag = nTag;
    open.nHeld = NONE;
    AppendAged(nOpen, nKeyHash);
    m_byKey.Insert(nKeyHash, nOpen);
    ++m_nOpen;
    // Under a flood the next queries give up the oldest, one each: what the one after next will
    // read is asked for now, while two queries come (when no message was seen ahead).
    if (m_nOpen >= m_nMaxOpen && m_nAhead == 0 && m_nAgedFront + 2 < m_nAgedBack)
    {
        const CAged& aged = AgedAt(m_nAgedFront + 2);
        if (aged.nOpen != NONE)
        {
            m_byKey.Prefetch(aged.nKeyHash);
            const auto* pOpen = reinterpret_cast<const char*>(&m_opens[aged.nOpen]);
            for (size_t nLine = 0; nLine < sizeof(COpen); nLine += 64)
                __builtin_prefetch(pOpen + nLine);
        }
    }
}

void CExchangeTable::OnResponse(const CResponseRecord& response, std::string_view name, std::string_view answers,
                                bool bChecked)
{
    const CKey key = KeyOf(response.facts.Mirrored());
    const bool bHasQuestion = response.facts.bHasType != 0;
    const CFound found = Find(key, SeededHash(m_nSeed, &key, sizeof(key)), bHasQuestion,
                              bHasQuestion ? QuestionTag(name, true, response.facts.nQueryType) : 0, name, true,
                              response.facts.nQueryType);
    const std::uint32_t nOpen = bHasQuestion ? found.nQuestion : found.nCount == 1 ? found.nOldest : NONE;
    if (nOpen != NONE && !bChecked && m_opens[nOpen].nHeld == NONE)
    {
        std::uint32_t nHeld = 0;
        if (m_freeHeld.empty())
        {
            m_held.emplace_back();
            nHeld = std::uint32_t(m_held.size() - 1);
        }
        else
        {
            nHeld = m_freeHeld.back();
            m_freeHeld.pop_back();
        }
        CHeld& held = m_held[nHeld];
        held.record = response;
        held.strName.assign(name);
        held.strAnswers.assign(answers);
        m_opens[nOpen].nHeld = nHeld;
    }
    else if (nOpen != NONE && bChecked)
        End(nOpen, &response, name, answers);
    else
        m_sink.OnExchange(nullptr, &response, name, answers);
}

void CExchangeTable::End(std::uint32_t nOpen, const CResponseRecord* pResponse, std::string_view responseName,
                         std::string_view answers)
{
    COpen& open = m_opens[nOpen];
    AgedAt(open.nAged).nOpen = NONE;
    m_byKey.Erase(open.nKeyHash, nOpen);
    --m_nOpen;
    // Taken out before the sink hears of it, so that nothing the sink does sees it still open; its
    // slots are given out again only after.
    if (open.nHeld != NONE)
    {
        const CHeld& held = m_held[open.nHeld];
        if (pResponse != nullptr)
            m_sink.OnExchange(nullptr, &held.record, held.strName, held.strAnswers);
        else
        {
            pResponse = &held.record;
            responseName = held.strName;
            answers = held.strAnswers;
        }
    }
    m_sink.OnExchange(&open.query, pResponse, responseName, answers);
    if (open.nHeld != NONE)
        m_freeHeld.push_back(open.nHeld);
    m_freeOpens.push_back(nOpen);
}

void CExchangeTable::Expire(CFrameTime now)
{
    for (std::uint32_t nOldest; (nOldest = Oldest()) != NONE && m_opens[nOldest].sent.After(m_nTimeoutNs) <= now;)
        End(nOldest, nullptr, {}, {});
}

void CExchangeTable::Flush()
{
    for (std::uint32_t nOldest; (nOldest = Oldest()) != NONE;)
        End(nOldest, nullptr, {}, {});
}
