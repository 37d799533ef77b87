#include "helper/SenderTable.h"

#include <cstring>

static_assert((CSenderTable::SLOTS & (CSenderTable::SLOTS - 1)) == 0);

namespace {

constexpr std::uint32_t FIRST_HUMAN_UID = 1000;
constexpr std::uint32_t NOBODY_UID = 65534;

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

unsigned CSenderTable::Home(const sender_event& key)
{
    // FNV-1a over the key's fields.
    std::uint32_t nHash = 2166136261u;
    const auto mix = [&nHash](const void* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            nHash = (nHash ^ static_cast<const unsigned char*>(p)[i]) * 16777619u;
    };
    mix(key.saddr, sizeof(key.saddr));
    mix(key.daddr, sizeof(key.daddr));
    mix(&key.sport, sizeof(key.sport));
    mix(&key.dns_id, sizeof(key.dns_id));
    mix(&key.protocol, 1);
    mix(&key.id_known, 1);
    return nHash & (SLOTS - 1);
}

bool CSenderTable::SameQuery(const sender_event& a, const sender_event& b)
{
    return a.ip_version == b.ip_version && a.protocol == b.protocol && a.sport == b.sport && a.dport == b.dport
           && a.id_known == b.id_known && a.dns_id == b.dns_id && std::memcmp(a.saddr, b.saddr, sizeof(a.saddr)) == 0
           && std::memcmp(a.daddr, b.daddr, sizeof(a.daddr)) == 0;
}

void CSenderTable::Add(const sender_event& original)
{
    sender_event event = original;
    // Without its id, kept under id 0, where every query of its tuple looks.
    if (event.id_known == 0)
        event.dns_id = 0;
    const unsigned nHome = Home(event);
    unsigned nOldest = nHome;
    for (unsigned i = 0; i < PROBES; ++i)
    {
        const unsigned nSlot = (nHome + i) & (SLOTS - 1);
        sender_event& slot = m_slots[nSlot];
        // An empty slot has time 0, the oldest of all; the same query sent again takes its own.
        if (slot.ktime_ns == 0 || SameQuery(slot, event))
        {
            nOldest = nSlot;
            break;
        }
        if (slot.ktime_ns < m_slots[nOldest].ktime_ns)
            nOldest = nSlot;
    }
    m_slots[nOldest] = event;
}

const sender_event* CSenderTable::Find(const CQueryFacts& facts, std::uint64_t nNowNs) const
{
    for (const bool bIdKnown : {true, false})
    {
        if (!bIdKnown && facts.nProtocol != 6)
            break;
        const sender_event key = KeyOf(facts, bIdKnown);
        const unsigned nHome = Home(key);
        for (unsigned i = 0; i < PROBES; ++i)
        {
            const sender_event& slot = m_slots[(nHome + i) & (SLOTS - 1)];
            if (slot.ktime_ns != 0 && SameQuery(slot, key) && slot.ktime_ns + EVENT_LIFE_NS >= nNowNs)
                return &slot;
        }
    }
    return nullptr;
}

bool CSenderTable::MayName(std::uint32_t nUid, std::uint32_t nOwnUid)
{
    return nOwnUid == 0 || nUid == nOwnUid || nUid < FIRST_HUMAN_UID || nUid == NOBODY_UID;
}

void CSenderTable::Name(const sender_event& event, std::uint32_t nOwnUid, Channel::CNameRecord* pRecord)
{
    // Sent from this machine, but by whom could not be told.
    if (event.sender_known == 0)
    {
        pRecord->nSender = Channel::SENDER_UNKNOWN;
        return;
    }
    if (!MayName(event.uid, nOwnUid))
    {
        pRecord->nSender = Channel::SENDER_ANOTHER_USER;
        return;
    }
    pRecord->nSender = Channel::SENDER_PROGRAM;
    pRecord->nPid = event.pid;
    pRecord->nTid = event.tid;
    pRecord->nUid = event.uid;
    pRecord->nCgroupId = event.cgroup_id;
    pRecord->nNetNs = event.netns;
    static_assert(sizeof(pRecord->szCommand) == sizeof(event.comm));
    std::memcpy(pRecord->szCommand, event.comm, sizeof(event.comm));
    pRecord->szCommand[sizeof(pRecord->szCommand) - 1] = '\0';
}
