#include "watch/WaitingLookups.h"

#include "watch/QueryLineMaker.h"

using namespace Channel;

std::string CWaitingLookups::KeyOf(std::string_view name)
{
    std::string strKey(name);
    for (char& ch : strKey)
    {
        if (ch >= 'A' && ch <= 'Z')
            ch = char(ch - 'A' + 'a');
    }
    return strKey;
}

CWaitingLookups::CByName::iterator CWaitingLookups::Find(const std::string& strKey, std::uint32_t nTid,
                                                         CFrameTime began)
{
    auto [it, end] = m_byName.equal_range(strKey);
    for (; it != end; ++it)
    {
        if (it->second.sender.nTid == nTid && it->second.began == began)
            return it;
    }
    return m_byName.end();
}

void CWaitingLookups::Began(const CLookupRecord& lookup, std::string_view name)
{
    std::string strKey = KeyOf(name);
    if (Find(strKey, lookup.sender.nTid, CFrameTime::Of(lookup)) != m_byName.end())
        return;
    if (m_aged.size() >= MAX_KEPT)
    {
        const CAged& oldest = m_aged.front();
        if (const auto it = Find(oldest.strKey, oldest.nTid, oldest.began); it != m_byName.end())
            m_byName.erase(it);
        m_aged.pop_front();
    }
    CLookup entry;
    entry.sender = lookup.sender;
    entry.began = CFrameTime::Of(lookup);
    m_aged.push_back({strKey, lookup.sender.nTid, entry.began});
    m_byName.emplace(std::move(strKey), entry);
}

void CWaitingLookups::Ended(const CLookupRecord& lookup, std::string_view name)
{
    if (const auto it = Find(KeyOf(name), lookup.sender.nTid, CFrameTime::Of(lookup)); it != m_byName.end())
    {
        it->second.bEnded = true;
        it->second.ended = CFrameTime::Of(lookup).After(lookup.nLatencyNs);
    }
}

void CWaitingLookups::Expire(CFrameTime now)
{
    while (!m_aged.empty())
    {
        const CAged& oldest = m_aged.front();
        const auto it = Find(oldest.strKey, oldest.nTid, oldest.began);
        if (it != m_byName.end())
        {
            const CLookup& lookup = it->second;
            const bool bGone =
                lookup.bEnded ? lookup.ended.After(m_nKeepAfterNs) < now : lookup.began.After(MAX_RUNNING_NS) < now;
            if (!bGone)
                return;
            m_byName.erase(it);
        }
        m_aged.pop_front();
    }
}

void CWaitingLookups::AppendAskedFor(const CNameRecord& query, std::string_view name, CSenderNames& senders,
                                     std::vector<CExchangeLine::CAskedFor>& askedFor) const
{
    if (m_byName.empty() || query.nSender != SENDER_PROGRAM)
        return;
    const CFrameTime sent = CFrameTime::Of(query.facts);
    auto [it, end] = m_byName.equal_range(KeyOf(name));
    for (; it != end; ++it)
    {
        const CLookup& lookup = it->second;
        if (lookup.sender.nNetNs != query.sender.nNetNs || lookup.sender.nPid == query.sender.nPid
            || sent < lookup.began || (lookup.bEnded && lookup.ended < sent))
            continue;
        CQueryLine line;
        CQueryLineMaker::SetSender(line, SENDER_PROGRAM, lookup.sender, &senders);
        askedFor.push_back({line.nPid, std::string(line.program), std::string(line.user), std::string(line.unit)});
    }
}
