#pragma once

// The recent sending events, kept until their frames come by: keyed by the tuple and the DNS id,
// each for EVENT_LIFE_NS, in a fixed table that never allocates and forgets the oldest first.
// Then the sender's fields of a captured query's record, as far as SenderPrivacy allows. No system
// calls.

#include "channel/Channel.h"
#include "dns/DnsName.h"
#include "helper/bpf/SenderEvent.h"

#include <array>
#include <bit>
#include <linux/bpf.h>
#include <cstdint>

class CSenderTable
{
public:
    // A frame crosses the interface within microseconds of being queued; two seconds cover a
    // helper busy with a burst.
    static constexpr std::uint64_t EVENT_LIFE_NS = 2000000000;
    // Three times the events the kernel's ring holds, so that all of them, drained while their
    // frames still wait in the packet ring, find room; a power of two, for the masks.
    static constexpr unsigned SLOTS =
        std::bit_ceil(3u * SENDER_RING_BYTES / unsigned(BPF_RINGBUF_HDR_SZ + sizeof(sender_event)));
    // How far a key may lie from its home slot: a full run forgets its oldest event.
    static constexpr unsigned PROBES = 8;

    // Keeps the event. Nothing is hashed yet: most frames find theirs in arrival order, and only
    // a frame that does not has the events since the last such frame put in their slots.
    void Add(const sender_event& event);
    // The event of the query whose frame says `facts`, sent no earlier than EVENT_LIFE_NS before
    // nNowNs; nullptr when none is known. A TCP event that could not read its id stands for every
    // query of its tuple, and so does an event of encrypted DNS, which has none.
    const sender_event* Find(const CQueryFacts& facts, std::uint64_t nNowNs);

    // Fills the sender fields of a record (a query's, an encrypted connection's) from its event,
    // under MayNameSender.
    static void Name(const sender_event& event, std::uint32_t nOwnUid, std::uint8_t* pnSender,
                     Channel::CSenderFacts* pSender);

private:
    // What a probe reads, 8 bytes, so that the probes of all slots stay in the processor's cache:
    // a tag from the hash and the event's number in arrival order. The events themselves are
    // written in that order, one after the other, which costs far less than a write to a random
    // place; a slot whose event has since been overwritten counts as empty.
    struct CSlot
    {
        std::uint32_t nTag = 0; // 0: never used
        std::uint32_t nNumber = 0;
    };

    static std::uint64_t Hash(const sender_event& key);
    // Puts the events not yet in a slot into theirs.
    void Index();
    void Index(std::uint32_t nNumber, std::uint64_t nHash);
    const sender_event* FindInOrder(const CQueryFacts& facts, std::uint64_t nNowNs);
    static bool SameQuery(const sender_event& a, const sender_event& b);
    static bool IsOf(const sender_event& event, const CQueryFacts& facts);
    bool IsLive(const CSlot& slot) const { return slot.nTag != 0 && m_nNextNumber - slot.nNumber <= SLOTS; }
    const sender_event& EventOf(const CSlot& slot) const { return m_events[slot.nNumber & (SLOTS - 1)]; }

    std::array<CSlot, SLOTS> m_slots {};
    std::array<sender_event, SLOTS> m_events {};
    std::uint32_t m_nNextNumber = 0;
    // The first event not yet in a slot.
    std::uint32_t m_nIndexed = 0;
    // The number of the event after the one found last: the next frame's, most likely.
    std::uint32_t m_nExpected = 0;
};
