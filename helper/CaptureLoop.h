#pragma once

#include "channel/Channel.h"
#include "channel/RecordWriter.h"
#include "frames/FrameRecords.h"
#include "dns/DnsName.h"
#include "helper/LookupRecords.h"
#include "helper/SenderTable.h"

#include <cstdint>

class CLookupEvents;
class CPacketRing;
class CSenderEvents;

// The sandboxed helper's whole life after the open: waits for frames in the ring, decodes their
// query names and writes them, with the kernel's counts, to the channel in whole messages. While the
// window reads nothing, sending waits, and a burst waits in the ring. Never returns: it ends the
// process when the channel closes, breaks, or the capture socket fails.
//
// With pEvents (programs are named), the events of sending threads are drained before each block
// of frames, since a thread's event is written before its frame reaches the ring, and each query is
// joined to its event. nOwnUid is the user the helper captures for (its real uid), whose privacy
// rule decides what of another user's program is shown. With pLookups, lookups are drained as
// they come and written under the same rule.
class CCaptureLoop
{
public:
    // Events taken per drain: a flood of them costs a bounded turn, and never holds a frame back.
    static constexpr size_t EVENTS_PER_DRAIN = 4096;
    // How often the events' ring is drained while events come: at 100,000 a second a quarter of it
    // fills meanwhile. As seldom as tarrow-watch's ring hands over its blocks: each turn costs both
    // processes a wakeup.
    static constexpr unsigned EVENT_DRAIN_MS = 25;
    // How often counts that only say more frames were kept go out.
    static constexpr unsigned COUNTS_MS = 100;

    CCaptureLoop(int hSocket, CPacketRing& ring, CSenderEvents* pEvents = nullptr, std::uint32_t nOwnUid = 0,
                 Channel::Wants nWants = Channel::WANTS_QUERIES, CLookupEvents* pLookups = nullptr)
        : m_hSocket(hSocket)
        , m_ring(ring)
        , m_pEvents(pEvents)
        , m_nOwnUid(nOwnUid)
        , m_nWants(nWants)
        , m_pLookups(pLookups)
        , m_lookupRecords(nOwnUid)
    {}

    // From now on, connections that speak DNS encrypted are told too, by these resolvers.
    void TellEncrypted(const CDohResolvers& resolvers) { m_records.TellEncrypted(resolvers); }

    [[noreturn]] void Run();

    // Leaves without the exit handlers: they may want system calls that the sandbox no longer allows.
    [[noreturn]] static void End(int nCode);

private:
    void OnFrame(const unsigned char* pData, size_t nLength, std::int64_t nSeconds, std::uint32_t nNanoseconds,
                 std::uint32_t nStatus);
    void PutCountsIfDue();
    void DrainEvents(std::uint64_t nNowNs);
    // Drains the lookups' ring; true when more were left in it.
    bool DrainLookups();
    void NameSender(const CQueryFacts& facts, std::uint8_t* pnSender, Channel::CSenderFacts* pSender);
    [[noreturn]] void Fail();
    // A record that cannot be sent means the window is gone: nothing is left to do.
    template <class TRecord>
    void Put(const TRecord& record, std::string_view tail = {})
    {
        if (!m_writer.Put(record, tail))
            End(Channel::EXIT_ENDED);
    }

    int m_hSocket;
    CPacketRing& m_ring;
    CRecordWriter m_writer {Channel::CHANNEL_FD};
    Channel::CCountsRecord m_counts;
    std::uint64_t m_nLastCounts = 0;
    std::uint64_t m_nReceivedTold = 0;
    CSenderEvents* m_pEvents;
    std::uint32_t m_nOwnUid;
    Channel::Wants m_nWants;
    CSenderTable m_senders;
    std::uint64_t m_nNowNs = 0;
    // Until then an unknown frame may be a local one whose event was lost or is still in the ring.
    std::uint64_t m_nDoubtUntilNs = 0;
    std::uint64_t m_nLostSeen = 0;
    // Whether the drains of the last turn took events, and whether the last one left some.
    bool m_bEventsCame = false;
    bool m_bEventsLeft = false;
    CFrameRecords m_records;
    CLookupEvents* m_pLookups;
    CLookupRecords m_lookupRecords;
    bool m_bLookupsLeft = false;
    bool m_bLookupsCame = false;
};

static_assert(NAME_BUFFER_SIZE - 1 <= Channel::MAX_NAME_BYTES, "every decoded name fits in a name record");
