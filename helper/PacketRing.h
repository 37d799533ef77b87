#pragma once

// The memory-mapped receive ring of a packet socket (TPACKET_V3): the kernel fills whole blocks
// of frames, each with the time it crossed the interface, and hands a block over when it is full
// or has waited RETIRE_MS. Reading it takes no system call per frame, and a burst waits in the ring,
// which net.core.rmem_max does not cap, instead of being dropped. No Qt here.

#include <cstddef>
#include <cstdint>
#include <linux/if_packet.h>

class CPacketRing
{
public:
    // The ring holds about two seconds of the fastest burst measured here (tcpreplay at top speed
    // over a veth pair, 200,000 queries a second): the window takes names in far faster than that,
    // so the ring only has to cover the window's stalls. A small query takes 176 bytes of the ring
    // (its frame header and address, aligned). The ring is kernel memory that no cgroup limit
    // counts, pinned while the capture runs, so it is no larger than that. Its blocks are small: a
    // block goes to the reader after RETIRE_MS however little it holds, so while the reader waits,
    // the ring can hold only BLOCK_COUNT * RETIRE_MS of traffic, and a burst must fill each block
    // sooner than that for the ring's bytes to count.
    static constexpr unsigned FASTEST_BURST_PER_SECOND = 200000;
    static constexpr unsigned SMALL_QUERY_RING_BYTES = 176;
    static constexpr unsigned BURST_SECONDS = 2;
    static constexpr unsigned BLOCK_SIZE = 64u << 10;
    static constexpr unsigned BLOCK_COUNT =
        (BURST_SECONDS * FASTEST_BURST_PER_SECOND * SMALL_QUERY_RING_BYTES + BLOCK_SIZE - 1) / BLOCK_SIZE;
    static constexpr unsigned FRAME_SIZE = 2048;
    // A quiet interface still shows a query in the window within this many milliseconds.
    static constexpr unsigned RETIRE_MS = 10;
    // tarrow-watch's lines are written once their exchange ends, which takes longer anyway: a block
    // that waits longer costs the helper and tarrow-watch fewer wakeups (under a stream of new
    // connections, each a hello, 30% of their CPU).
    static constexpr unsigned LINES_RETIRE_MS = 25;

    CPacketRing() = default;
    ~CPacketRing();
    CPacketRing(const CPacketRing&) = delete;
    CPacketRing& operator=(const CPacketRing&) = delete;

    // Puts the ring on the socket and maps it, its blocks handed over after nRetireMs at the latest;
    // false with errno set. Before the bind, so that no frame ever waits outside the ring.
    bool Attach(int fd, unsigned nRetireMs = RETIRE_MS);

    struct CFrame
    {
        const unsigned char* pData; // from the network header on
        size_t nLength;             // bytes captured, at most what the filter kept
        std::int64_t nSeconds;      // when the frame crossed the interface (real time)
        std::uint32_t nNanoseconds;
        // TP_STATUS_* bits: whether the kernel checked the transport checksum, or left it for the card.
        std::uint32_t nStatus;
    };

    // Calls pfnFrame(const CFrame&) for each frame of the oldest block the kernel has handed over
    // and gives the block back. False when no block is ready.
    template <class F>
    bool ReadBlock(F&& pfnFrame)
    {
        tpacket_block_desc* pBlock = ReadyBlock();
        if (pBlock == nullptr)
            return false;
        const auto* pBase = reinterpret_cast<const unsigned char*>(pBlock);
        const tpacket_hdr_v1& header = pBlock->hdr.bh1;
        size_t nOffset = header.offset_to_first_pkt;
        for (unsigned i = 0; i < header.num_pkts; ++i)
        {
            CFrame frame {};
            size_t nNext = 0;
            if (!ReadFrame(pBase, nOffset, &frame, &nNext))
                break;
            // The kernel wrote the next frame from another processor: its header and the start of
            // its packet are asked for while this one is decoded. (Past the block's end, a
            // prefetch reads nothing and faults on nothing.)
            for (size_t nLine = 0; nLine < PREFETCH_BYTES; nLine += 64)
                __builtin_prefetch(pBase + nOffset + nNext + nLine);
            pfnFrame(frame);
            if (nNext == 0)
                break;
            nOffset += nNext;
        }
        ReleaseBlock(pBlock);
        return true;
    }

private:
    static constexpr size_t PREFETCH_BYTES = 256;
    tpacket_block_desc* ReadyBlock() const;
    void ReleaseBlock(tpacket_block_desc* pBlock);
    // The kernel writes the ring, but its offsets are still checked against the block.
    static bool ReadFrame(const unsigned char* pBlock, size_t nOffset, CFrame* pFrame, size_t* pnNext);

    unsigned char* m_pMap = nullptr;
    size_t m_nMapSize = 0;
    unsigned m_nNext = 0;
};
