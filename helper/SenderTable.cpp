#include "helper/SenderTable.h"

#include "dns/DnsLayout.h"
#include "helper/SenderFacts.h"
#include "helper/SenderPrivacy.h"

#include <algorithm>
#include <cstring>

// The program in the kernel watches the port the decoder keeps.
static_assert(SENDER_PORT == DNS_PORT);

namespace {

// The frame's facts in the shape of an event, to look it up.
sender_event KeyOf(const CQueryFacts& facts, bool bIdKnown)
{
    sender_event key {};
    key.ip_version = facts.nIpVersion;
    key.protocol = facts.nProtocol;
    std::memcpy(key.saddr, facts.abSource, sizeof(key.saddr));
    std::memcpy(key.daddr, facts.abDestination, sizeof(key.daddr));
    key.sport = facts.nSourcePort;
    key.dport = facts.nDestinationPort;
    key.id_known = bIdKnown ? 1 : 0;
    key.dns_id = bIdKnown ? facts.nDnsId : 0;
    return key;
}

} // namespace

// Without its id, an event is kept under id 0, where every query of its tuple looks.
std::uint64_t CSenderTable::Hash(const sender_event& key)
{
    std::uint64_t aWords[5] = {};
    std::memcpy(aWords, key.saddr, sizeof(key.saddr));
    std::memcpy(aWords + 2, key.daddr, sizeof(key.daddr));
    const std::uint16_t nId = key.id_known != 0 ? key.dns_id : 0;
    aWords[4] = std::uint64_t(key.sport) | std::uint64_t(key.dport) << 16 | std::uint64_t(nId) << 32
                | std::uint64_t(key.protocol) << 48 | std::uint64_t(key.id_known) << 56;
    std::uint64_t nHash = 0;
    for (const std::uint64_t nWord : aWords)
    {
        nHash = (nHash ^ nWord) * 0x9e3779b97f4a7c15u;
        nHash ^= nHash >> 29;
    }
    return nHash;
}

// The frame against an event read in place, without building a key: this runs for every frame.
// Only TCP is ever joined without the id.
bool CSenderTable::IsOf(const sender_event& event, const CQueryFacts& facts)
{
    return event.sport == facts.nSourcePort && event.protocol == facts.nProtocol
           && (event.id_known != 0 ? event.dns_id == facts.nDnsId
                                   : facts.nProtocol == PROTOCOL_TCP || facts.nDestinationPort != DNS_PORT)
           && event.ip_version == facts.nIpVersion && event.dport == facts.nDestinationPort
           && std::memcmp(event.saddr, facts.abSource, sizeof(event.saddr)) == 0
           && std::memcmp(event.daddr, facts.abDestination, sizeof(event.daddr)) == 0;
}

bool CSenderTable::SameQuery(const sender_event& a, const sender_event& b)
{
    return a.ip_version == b.ip_version && a.protocol == b.protocol && a.sport == b.sport && a.dport == b.dport
           && a.id_known == b.id_known && a.dns_id == b.dns_id && std::memcmp(a.saddr, b.saddr, sizeof(a.saddr)) == 0
           && std::memcmp(a.daddr, b.daddr, sizeof(a.daddr)) == 0;
}

void CSenderTable::Add(const sender_event& event)
{
    sender_event& kept = m_events[m_nNextNumber & (SLOTS - 1)];
    kept = event;
    if (kept.id_known == 0)
        kept.dns_id = 0;
    ++m_nNextNumber;
}

void CSenderTable::Index()
{
    // Older ones are overwritten already.
    if (m_nNextNumber - m_nIndexed > SLOTS)
        m_nIndexed = m_nNextNumber - SLOTS;
    // Their slots are asked for a run at a time, so that the waits for memory overlap instead of
    // adding up.
    constexpr std::uint32_t RUN = 64;
    std::uint64_t aHashes[RUN];
    while (m_nIndexed != m_nNextNumber)
    {
        const std::uint32_t nRun = std::min(RUN, m_nNextNumber - m_nIndexed);
        for (std::uint32_t i = 0; i < nRun; ++i)
        {
            aHashes[i] = Hash(m_events[(m_nIndexed + i) & (SLOTS - 1)]);
            __builtin_prefetch(&m_slots[aHashes[i] & (SLOTS - 1)], 1);
        }
        for (std::uint32_t i = 0; i < nRun; ++i)
            Index(m_nIndexed + i, aHashes[i]);
        m_nIndexed += nRun;
    }
}

void CSenderTable::Index(std::uint32_t nNumber, std::uint64_t nHash)
{
    const sender_event& event = m_events[nNumber & (SLOTS - 1)];
    const std::uint32_t nTag = std::uint32_t(nHash >> 32) | 1;
    unsigned nTaken = unsigned(nHash) & (SLOTS - 1);
    std::uint32_t nOldest = 0;
    for (unsigned i = 0; i < PROBES; ++i)
    {
        const unsigned nSlot = (unsigned(nHash) + i) & (SLOTS - 1);
        const CSlot& slot = m_slots[nSlot];
        // Only a slot whose tag matches has its event read: a read at a random place is what
        // costs here. The same query sent again takes its own slot.
        if (!IsLive(slot) || (slot.nTag == nTag && SameQuery(EventOf(slot), event)))
        {
            nTaken = nSlot;
            break;
        }
        if (m_nNextNumber - slot.nNumber > nOldest)
        {
            nOldest = m_nNextNumber - slot.nNumber;
            nTaken = nSlot;
        }
    }
    m_slots[nTaken] = {nTag, nNumber};
}

// Frames mostly come by in the order their events were queued: the few events after the last one
// found are tried first, where they lie one after the other, so neither hashing nor the probe of
// the hashed slots, a likely cache miss, is needed.
const sender_event* CSenderTable::FindInOrder(const CQueryFacts& facts, std::uint64_t nNowNs)
{
    constexpr std::uint32_t AHEAD = 4;
    const std::uint32_t nWaiting = m_nNextNumber - m_nExpected;
    // Past the table's end, the expected one is forgotten: start again from what is left.
    if (nWaiting > SLOTS)
        m_nExpected = m_nNextNumber - SLOTS;
    for (std::uint32_t i = 0; i < AHEAD && m_nExpected + i != m_nNextNumber; ++i)
    {
        const sender_event& next = m_events[(m_nExpected + i) & (SLOTS - 1)];
        if (next.ktime_ns + EVENT_LIFE_NS >= nNowNs && IsOf(next, facts))
        {
            m_nExpected += i + 1;
            return &next;
        }
    }
    return nullptr;
}

const sender_event* CSenderTable::Find(const CQueryFacts& facts, std::uint64_t nNowNs)
{
    if (const sender_event* pEvent = FindInOrder(facts, nNowNs))
        return pEvent;
    Index();
    for (const bool bIdKnown : {true, false})
    {
        if (!bIdKnown && facts.nProtocol != PROTOCOL_TCP)
            break;
        const sender_event key = KeyOf(facts, bIdKnown);
        const std::uint64_t nHash = Hash(key);
        const std::uint32_t nTag = std::uint32_t(nHash >> 32) | 1;
        for (unsigned i = 0; i < PROBES; ++i)
        {
            const CSlot& slot = m_slots[(unsigned(nHash) + i) & (SLOTS - 1)];
            if (slot.nTag != nTag || !IsLive(slot))
                continue;
            const sender_event& event = EventOf(slot);
            if (event.ktime_ns + EVENT_LIFE_NS >= nNowNs && SameQuery(event, key))
            {
                m_nExpected = slot.nNumber + 1;
                return &event;
            }
        }
    }
    return nullptr;
}

void CSenderTable::Name(const sender_event& event, std::uint32_t nOwnUid, std::uint8_t* pnSender,
                        Channel::CSenderFacts* pSender)
{
    // Sent from this machine, but by whom could not be told.
    if (event.sender_known == 0)
    {
        *pnSender = Channel::SENDER_UNKNOWN;
        return;
    }
    if (!MayNameSender(event.uid, nOwnUid))
    {
        *pnSender = Channel::SENDER_ANOTHER_USER;
        return;
    }
    *pnSender = Channel::SENDER_PROGRAM;
    *pSender = SenderFactsOf(event);
}
