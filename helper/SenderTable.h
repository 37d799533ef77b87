#pragma once

// The recent sending events, kept until their frames come by: keyed by the tuple and the DNS id,
// each for EVENT_LIFE_NS, in a fixed table that never allocates and forgets the oldest first.
// Then who a captured query's sender may be shown as. No system calls.

#include "channel/Channel.h"
#include "dns/DnsName.h"
#include "helper/bpf/SenderEvent.h"

#include <array>
#include <cstdint>

class CSenderTable
{
public:
    // A frame crosses the interface within microseconds of being queued; two seconds cover a
    // helper busy with a burst.
    static constexpr std::uint64_t EVENT_LIFE_NS = 2000000000;
    static constexpr unsigned SLOTS = 8192;
    // How far a key may lie from its home slot: a full run forgets its oldest event.
    static constexpr unsigned PROBES = 8;

    void Add(const sender_event& event);
    // The event of the query whose frame says `facts`, sent no earlier than EVENT_LIFE_NS before
    // nNowNs; nullptr when none is known. A TCP event that could not read its id stands for every
    // query of its tuple.
    const sender_event* Find(const CQueryFacts& facts, std::uint64_t nNowNs) const;

    // Whether the capturing user (nOwnUid, the helper's real uid) may see the programs of nUid:
    // their own, the system users' and nobody's; root every one. Other people's stay anonymous.
    static bool MayName(std::uint32_t nUid, std::uint32_t nOwnUid);
    // Fills the sender fields of a query's record from its event, under that rule.
    static void Name(const sender_event& event, std::uint32_t nOwnUid, Channel::CNameRecord* pRecord);

private:
    static unsigned Home(const sender_event& key);
    static bool SameQuery(const sender_event& a, const sender_event& b);

    std::array<sender_event, SLOTS> m_slots {};
};
