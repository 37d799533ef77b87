#include "watch/WaitingLookups.h"

#include <cstring>

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

CWaitingLookups::CByName::iterator CWaitingLookups::Find(const CLookupRecord& lookup, const std::string& strKey)
{
    const CFrameTime began = CFrameTime::Of(lookup);
    auto [it, end] = m_byName.equal_range(strKey);
    for (; it != end; ++it)
    {
        if (it->second.nTid == lookup.nTid && it->second.began == began)
            return it;
    }
    return m_byName.end();
}

void CWaitingLookups::Began(const CLookupRecord& lookup, std::string_view name)
{
    std::string strKey = KeyOf(name);
    if (Find(lookup, strKey) != m_byName.end())
        return;
    if (m_aged.size() >= MAX_KEPT)
    {
        const CAged& oldest = m_aged.front();
        CLookupRecord key;
        key.nTid = oldest.nTid;
        key.nSeconds = oldest.began.nSeconds;
        key.nNanoseconds = oldest.began.nNanoseconds;
        if (const auto it = Find(key, oldest.strKey); it != m_byName.end())
            m_byName.erase(it);
        m_aged.pop_front();
    }
    CLookup entry;
    entry.nTid = lookup.nTid;
    entry.nPid = lookup.nPid;
    entry.nUid = lookup.nUid;
    entry.nNetNs = lookup.nNetNs;
    entry.nCgroupId = lookup.nCgroupId;
    std::memcpy(entry.szCommand, lookup.szCommand, sizeof(entry.szCommand));
    entry.began = CFrameTime::Of(lookup);
    m_aged.push_back({strKey, lookup.nTid, entry.began});
    m_byName.emplace(std::move(strKey), entry);
}

void CWaitingLookups::Ended(const CLookupRecord& lookup, std::string_view name)
{
    if (const auto it = Find(lookup, KeyOf(name)); it != m_byName.end())
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
        CLookupRecord key;
        key.nTid = oldest.nTid;
        key.nSeconds = oldest.began.nSeconds;
        key.nNanoseconds = oldest.began.nNanoseconds;
        const auto it = Find(key, oldest.strKey);
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
        if (lookup.nNetNs != query.nNetNs || lookup.nPid == query.nPid || sent < lookup.began
            || (lookup.bEnded && lookup.ended < sent))
            continue;
        askedFor.push_back({lookup.nPid, std::string(lookup.szCommand, strnlen(lookup.szCommand, 16)),
                            senders.UserName(lookup.nUid),
                            lookup.nCgroupId != 0 ? senders.UnitOf(lookup.nCgroupId) : std::string()});
    }
}
