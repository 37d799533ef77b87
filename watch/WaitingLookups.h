#pragma once

#include "channel/Channel.h"
#include "watch/ExchangeLine.h"
#include "watch/FrameTime.h"
#include "watch/SenderNames.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The lookups of programs, kept from their start until a while after their end, so that a local
// resolver's exchange can say whom it asked for. The rule, here alone: a query was asked for a
// lookup when both are of one network namespace, the query's name is the lookup's (the case of
// ASCII letters ignored), another process sent it, and it left while the lookup ran. So the same
// name asked by two programs at once lists both; a query a resolver sends of its own accord (a
// prefetch), or for a name it completed with a search domain, lists none. Lookups that the helper
// did not tell (another person's) are never listed.
class CWaitingLookups
{
public:
    // At most this many are kept; the oldest go first.
    static constexpr size_t MAX_KEPT = 10'000;
    // A lookup that has not ended after this long was left (its program was killed).
    static constexpr std::uint64_t MAX_RUNNING_NS = 60'000'000'000;

    // nKeepAfterNs: how long an ended lookup is still listed for the exchanges that end after it
    // (an unanswered one ends a timeout after its query).
    explicit CWaitingLookups(std::uint64_t nKeepAfterNs) : m_nKeepAfterNs(nKeepAfterNs) {}

    void Began(const Channel::CLookupRecord& lookup, std::string_view name);
    void Ended(const Channel::CLookupRecord& lookup, std::string_view name);
    // Forgets what no exchange of a query sent before now less the timeout can be asked for.
    void Expire(CFrameTime now);
    bool IsEmpty() const { return m_byName.empty(); }
    size_t GetCount() const { return m_byName.size(); }

    // Appends the programs whose lookups the query was asked for, their user and unit named.
    void AppendAskedFor(const Channel::CNameRecord& query, std::string_view name, CSenderNames& senders,
                        std::vector<CExchangeLine::CAskedFor>& askedFor) const;

private:
    struct CLookup
    {
        Channel::CSenderFacts sender;
        CFrameTime began;
        bool bEnded = false;
        CFrameTime ended;
    };
    using CByName = std::unordered_multimap<std::string, CLookup>;

    static std::string KeyOf(std::string_view name);
    // The lookup a thread began at that time, under its name's key.
    CByName::iterator Find(const std::string& strKey, std::uint32_t nTid, CFrameTime began);

    std::uint64_t m_nKeepAfterNs;
    CByName m_byName;
    // The order they began in, to forget the oldest first: each by its name and its thread and time.
    struct CAged
    {
        std::string strKey;
        std::uint32_t nTid;
        CFrameTime began;
    };
    std::deque<CAged> m_aged;
};
