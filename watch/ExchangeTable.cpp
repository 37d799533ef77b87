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
{}

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

// The key, the question's type and its name by the list's rule: what makes two queries one.
std::uint64_t CExchangeTable::QuestionHash(const CKey& key, std::string_view name, bool bHasType, std::uint16_t nType)
{
    m_strHashed.resize(sizeof(key) + 3 + name.size());
    char* p = m_strHashed.data();
    std::memcpy(p, &key, sizeof(key));
    p[sizeof(key)] = char(bHasType);
    std::memcpy(p + sizeof(key) + 1, &nType, sizeof(nType));
    for (size_t i = 0; i < name.size(); ++i)
        p[sizeof(key) + 3 + i] = NameRule::FoldAscii(name[i]);
    return SeededHash(m_nSeed, m_strHashed.data(), m_strHashed.size());
}

std::uint32_t CExchangeTable::FindQuestion(const CKey& key, std::uint64_t nHash, std::string_view name, bool bHasType,
                                           std::uint16_t nType) const
{
    return m_byQuestion.Find(nHash, [&](std::uint32_t nOpen) {
        const COpen& open = m_opens[nOpen];
        return open.query.record.bHasType == bHasType && open.query.record.nQueryType == nType
               && m_keys[open.nKey].key == key && NameRule::IsSameName(open.query.strName, name);
    });
}

std::uint32_t CExchangeTable::FindKey(const CKey& key, std::uint64_t nHash) const
{
    return m_byKey.Find(nHash, [&](std::uint32_t nKey) { return m_keys[nKey].key == key; });
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

std::uint32_t CExchangeTable::NewKey(const CKey& key, std::uint64_t nHash)
{
    std::uint32_t nKey = 0;
    if (m_freeKeys.empty())
    {
        m_keys.emplace_back();
        nKey = std::uint32_t(m_keys.size() - 1);
    }
    else
    {
        nKey = m_freeKeys.back();
        m_freeKeys.pop_back();
    }
    m_keys[nKey] = CKeyQueries {key, nHash, NONE, NONE, 0};
    m_byKey.Insert(nHash, nKey);
    return nKey;
}

void CExchangeTable::Append(std::uint32_t& nOldest, std::uint32_t& nNewest, CLinks COpen::*pLinks, std::uint32_t nOpen)
{
    m_opens[nOpen].*pLinks = CLinks {nNewest, NONE};
    if (nNewest != NONE)
        (m_opens[nNewest].*pLinks).nNext = nOpen;
    else
        nOldest = nOpen;
    nNewest = nOpen;
}

void CExchangeTable::Unlink(std::uint32_t& nOldest, std::uint32_t& nNewest, CLinks COpen::*pLinks, std::uint32_t nOpen)
{
    const CLinks links = m_opens[nOpen].*pLinks;
    if (links.nPrevious != NONE)
        (m_opens[links.nPrevious].*pLinks).nNext = links.nNext;
    else
        nOldest = links.nNext;
    if (links.nNext != NONE)
        (m_opens[links.nNext].*pLinks).nPrevious = links.nPrevious;
    else
        nNewest = links.nPrevious;
}

void CExchangeTable::OnQuery(const CNameRecord& query, std::string_view name)
{
    const CKey key = KeyOf(query, true);
    const std::uint64_t nQuestionHash = QuestionHash(key, name, query.bHasType != 0, query.nQueryType);
    if (const std::uint32_t nOpen = FindQuestion(key, nQuestionHash, name, query.bHasType != 0, query.nQueryType);
        nOpen != NONE)
    {
        ++m_opens[nOpen].query.nRetries;
        return;
    }
    if (m_nOpen >= m_nMaxOpen)
    {
        ++m_nGivenUp;
        End(m_nOldest, nullptr, {}, {});
    }
    const std::uint64_t nKeyHash = SeededHash(m_nSeed, &key, sizeof(key));
    std::uint32_t nKey = FindKey(key, nKeyHash);
    if (nKey != NONE && m_keys[nKey].nCount >= m_nMaxPerKey)
    {
        ++m_nGivenUp;
        ++m_nCrowded;
        End(m_keys[nKey].nOldest, nullptr, {}, {});
        // A key of one query at most has just gone with it.
        nKey = FindKey(key, nKeyHash);
    }
    if (nKey == NONE)
        nKey = NewKey(key, nKeyHash);

    const std::uint32_t nOpen = NewOpen();
    COpen& open = m_opens[nOpen];
    open.query.record = query;
    open.query.strName.assign(name);
    open.query.nRetries = 0;
    open.sent = CFrameTime::Of(query);
    open.nQuestionHash = nQuestionHash;
    open.nKey = nKey;
    Append(m_nOldest, m_nNewest, &COpen::byAge, nOpen);
    CKeyQueries& keyQueries = m_keys[nKey];
    Append(keyQueries.nOldest, keyQueries.nNewest, &COpen::byKey, nOpen);
    ++keyQueries.nCount;
    m_byQuestion.Insert(nQuestionHash, nOpen);
    ++m_nOpen;
}

void CExchangeTable::OnResponse(const CResponseRecord& response, std::string_view name, std::string_view answers,
                                bool bChecked)
{
    const CKey key = KeyOf(response, false);
    std::uint32_t nOpen = NONE;
    if (response.bHasType != 0)
        nOpen = FindQuestion(key, QuestionHash(key, name, true, response.nQueryType), name, true, response.nQueryType);
    else if (const std::uint32_t nKey = FindKey(key, SeededHash(m_nSeed, &key, sizeof(key)));
             nKey != NONE && m_keys[nKey].nCount == 1)
        nOpen = m_keys[nKey].nOldest;
    if (nOpen != NONE && !bChecked && !m_opens[nOpen].bHeld)
    {
        COpen& open = m_opens[nOpen];
        open.bHeld = true;
        open.held = response;
        open.strHeldName.assign(name);
        open.strHeldAnswers.assign(answers);
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
    Unlink(m_nOldest, m_nNewest, &COpen::byAge, nOpen);
    CKeyQueries& keyQueries = m_keys[open.nKey];
    Unlink(keyQueries.nOldest, keyQueries.nNewest, &COpen::byKey, nOpen);
    if (--keyQueries.nCount == 0)
    {
        m_byKey.Erase(keyQueries.nHash, open.nKey);
        m_freeKeys.push_back(open.nKey);
    }
    m_byQuestion.Erase(open.nQuestionHash, nOpen);
    --m_nOpen;
    // Taken out before the sink hears of it, so that nothing the sink does sees it still open; its
    // slot is given out again only after.
    if (open.bHeld)
    {
        open.bHeld = false;
        if (pResponse != nullptr)
            m_sink.OnExchange(nullptr, &open.held, open.strHeldName, open.strHeldAnswers);
        else
        {
            pResponse = &open.held;
            responseName = open.strHeldName;
            answers = open.strHeldAnswers;
        }
    }
    m_sink.OnExchange(&open.query, pResponse, responseName, answers);
    m_freeOpens.push_back(nOpen);
}

void CExchangeTable::Expire(CFrameTime now)
{
    while (m_nOldest != NONE && m_opens[m_nOldest].sent.After(m_nTimeoutNs) <= now)
        End(m_nOldest, nullptr, {}, {});
}

void CExchangeTable::Flush()
{
    while (m_nOldest != NONE)
        End(m_nOldest, nullptr, {}, {});
}
