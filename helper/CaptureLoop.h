#pragma once

#include "channel/Channel.h"
#include "channel/RecordWriter.h"
#include "dns/DnsName.h"

#include <cstdint>

class CPacketRing;

// The sandboxed helper's whole life after the open: waits for frames in the ring, decodes their
// query names and writes them, with the kernel's counts, to the channel in whole messages. While the
// window reads nothing, sending waits, and a burst waits in the ring. Never returns: it ends the
// process when the channel closes, breaks, or the capture socket fails.
class CCaptureLoop
{
public:
    CCaptureLoop(int hSocket, CPacketRing& ring) : m_hSocket(hSocket), m_ring(ring) {}

    [[noreturn]] void Run();

    // Leaves without the exit handlers: they may want system calls that the sandbox no longer allows.
    [[noreturn]] static void End(int nCode);

private:
    void OnFrame(const unsigned char* pData, size_t nLength, std::int64_t nSeconds, std::uint32_t nNanoseconds);
    void PutCountsIfDue();
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
    char m_szName[NAME_BUFFER_SIZE] = {};
};

static_assert(NAME_BUFFER_SIZE - 1 <= Channel::MAX_NAME_BYTES, "every decoded name fits in a name record");
