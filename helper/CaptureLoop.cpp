#include "helper/CaptureLoop.h"

#include "helper/LookupEvents.h"
#include "helper/PacketRing.h"
#include "helper/PacketSocket.h"
#include "helper/SenderEvents.h"

#include <cerrno>
#include <linux/if_packet.h>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Channel;

namespace {

// The clock of the events' times.
std::uint64_t NowNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000000000 + std::uint64_t(now.tv_nsec);
}

} // namespace

void CCaptureLoop::End(int nCode)
{
    _exit(nCode);
}

void CCaptureLoop::Run()
{
    const int hEvents = m_pEvents == nullptr ? -1 : m_pEvents->GetFd();
    // The socket captured before the program that names senders was attached: a local query of
    // that moment has no event, and must show as unknown, not as another host's.
    m_nDoubtUntilNs = NowNs() + CSenderTable::EVENT_LIFE_NS;
    const int hLookups = m_pLookups == nullptr ? -1 : m_pLookups->GetFd();
    pollfd fds[4] = {{m_hSocket, POLLIN, 0}, {CHANNEL_FD, 0, 0}, {-1, POLLIN, 0}, {hLookups, POLLIN, 0}};
    for (;;)
    {
        // While events come (a busy resolver, or a flood from another namespace), the ring is
        // drained often even when no frame comes, so that it never fills and loses the events of
        // the queries that follow; their wakeups are not waited for, or each would cost a turn.
        // After a quiet spell the first event wakes the loop, however long the heartbeat.
        // The program wakes the helper for lookups at most every EVENT_DRAIN_MS: while they come,
        // the helper looks that often itself.
        const int nWait = m_bEventsLeft || m_bLookupsLeft   ? 0
                          : m_bEventsCame || m_bLookupsCame ? int(EVENT_DRAIN_MS)
                                                            : int(HEARTBEAT_MS);
        fds[2].fd = m_bEventsCame ? -1 : hEvents;
        if (poll(fds, 4, nWait) < 0 && errno != EINTR)
            End(EXIT_NO_CHANNEL);
        if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            End(EXIT_ENDED);

        m_bEventsCame = m_bLookupsCame = false;
        // Before each block of frames: a resolver's query for a lookup comes after the lookup
        // began, so its record goes out first.
        do
        {
            m_bLookupsLeft = DrainLookups();
            DrainEvents(NowNs());
        } while (m_ring.ReadBlock([this](const CPacketRing::CFrame& frame) {
            OnFrame(frame.pData, frame.nLength, frame.nSeconds, frame.nNanoseconds, frame.nStatus);
        }));
        PutCountsIfDue();
        if ((fds[0].revents & POLLERR) != 0)
            Fail();
        if (!m_writer.Flush())
            End(EXIT_ENDED);
    }
}

void CCaptureLoop::OnFrame(const unsigned char* pData, size_t nLength, std::int64_t nSeconds,
                           std::uint32_t nNanoseconds, std::uint32_t nStatus)
{
    const EChecksumHint hint = (nStatus & TP_STATUS_CSUMNOTREADY) != 0 ? EChecksumHint::LIVE_NOT_SUMMED
                               : (nStatus & TP_STATUS_CSUM_VALID) != 0 ? EChecksumHint::LIVE_VALID
                                                                       : EChecksumHint::LIVE_FRAME;
    switch (m_records.Make(pData, nLength, nSeconds, nNanoseconds, m_nWants, hint))
    {
    case CFrameRecords::QUERY:
        if (m_nWants == WANTS_NAMES)
            Put(m_records.GetTimedName(), m_records.GetName());
        else
        {
            CNameRecord& query = m_records.GetQuery();
            NameSender(m_records.GetQueryFacts(), &query.nSender, &query.sender);
            Put(query, m_records.GetName());
        }
        break;
    case CFrameRecords::RESPONSE:
        Put(m_records.GetResponse(), m_records.GetResponseTail());
        break;
    case CFrameRecords::ENCRYPTED:
    {
        CEncryptedRecordMaker& encrypted = m_records.GetEncrypted();
        CEncryptedRecord& record = encrypted.GetRecord();
        NameSender(encrypted.GetFacts(), &record.nSender, &record.sender);
        Put(record, encrypted.GetTail());
        break;
    }
    case CFrameRecords::NONE:
        break;
    }
}

void CCaptureLoop::DrainEvents(std::uint64_t nNowNs)
{
    m_nNowNs = nNowNs;
    if (m_pEvents == nullptr)
        return;
    bool bCame = false;
    const bool bLeft = m_pEvents->Drain(EVENTS_PER_DRAIN, [this, &bCame](const sender_event& event) {
        m_senders.Add(event);
        bCame = true;
    });
    m_bEventsCame = m_bEventsCame || bCame;
    m_bEventsLeft = bLeft;
    const std::uint64_t nLost = m_pEvents->GetLost();
    if (bLeft || nLost != m_nLostSeen)
        m_nDoubtUntilNs = nNowNs + CSenderTable::EVENT_LIFE_NS;
    m_nLostSeen = nLost;
}

bool CCaptureLoop::DrainLookups()
{
    if (m_pLookups == nullptr)
        return false;
    // This runs before every block of frames: the clocks are read only when a lookup came.
    std::int64_t nAheadNs = 0;
    bool bClocked = false;
    return m_pLookups->Drain(EVENTS_PER_DRAIN, [this, &nAheadNs, &bClocked](const lookup_event& event) {
        if (!bClocked)
        {
            bClocked = true;
            timespec real {}, monotonic {};
            clock_gettime(CLOCK_REALTIME, &real);
            clock_gettime(CLOCK_MONOTONIC, &monotonic);
            nAheadNs = (std::int64_t(real.tv_sec) - monotonic.tv_sec) * 1000000000
                       + (std::int64_t(real.tv_nsec) - monotonic.tv_nsec);
        }
        m_bLookupsCame = true;
        if (m_lookupRecords.Make(event, nAheadNs))
            Put(m_lookupRecords.GetRecord(), m_lookupRecords.GetTail());
    });
}

// A query no thread of this machine sent came from another host; when events were lost or left
// in the ring lately, that cannot be told.
void CCaptureLoop::NameSender(const CQueryFacts& facts, std::uint8_t* pnSender, CSenderFacts* pSender)
{
    if (m_pEvents == nullptr)
        return;
    if (const sender_event* pEvent = m_senders.Find(facts, m_nNowNs))
        CSenderTable::Name(*pEvent, m_nOwnUid, pnSender, pSender);
    else if (m_nNowNs >= m_nDoubtUntilNs)
        *pnSender = SENDER_ANOTHER_HOST;
}

// Counts go out when drops or losses grew, when only what was kept grew at most every
// COUNTS_MS (frames the front end takes no record of, such as ordinary HTTPS hellos, would
// otherwise wake it each turn), and at least once a heartbeat so that the window can tell a quiet
// interface from a frozen helper.
void CCaptureLoop::PutCountsIfDue()
{
    unsigned nKept = 0, nDropped = 0;
    if (CPacketSocket::ReadStatistics(m_hSocket, &nKept, &nDropped))
    {
        m_counts.nReceived += nKept;
        m_counts.nDropped += nDropped;
    }
    const std::uint64_t nLost = m_pEvents != nullptr ? m_pEvents->GetLost() : 0;
    const std::uint64_t nLookupsLost = m_pLookups != nullptr ? m_pLookups->GetLost() : 0;
    const std::uint64_t nNow = NowNs() / 1000000;
    const bool bLossesGrew = nDropped != 0 || nLost != m_counts.nEventsLost || nLookupsLost != m_counts.nLookupsLost;
    const std::uint64_t nSince = nNow - m_nLastCounts;
    if (!bLossesGrew && nSince < HEARTBEAT_MS && (m_counts.nReceived == m_nReceivedTold || nSince < COUNTS_MS))
        return;
    m_counts.nEventsLost = nLost;
    m_counts.nLookupsLost = nLookupsLost;
    m_nLastCounts = nNow;
    m_nReceivedTold = m_counts.nReceived;
    Put(m_counts);
}

// The interface went down or away: the socket's pending error says so.
void CCaptureLoop::Fail()
{
    int nError = 0;
    socklen_t nLength = sizeof(nError);
    if (getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLength) != 0 || nError <= 0)
        nError = EIO;
    CFailedRecord failed;
    failed.nError = nError;
    Put(failed);
    m_writer.Flush();
    End(EXIT_CAPTURE_FAILED);
}
