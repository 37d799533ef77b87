#include "helper/PacketRing.h"

#include <cerrno>
#include <sys/mman.h>
#include <sys/socket.h>

static_assert(CPacketRing::BLOCK_SIZE % CPacketRing::FRAME_SIZE == 0);
// A block must fill before it is retired, even in a burst of the smallest queries, with the shorter
// wait.
static_assert(CPacketRing::BLOCK_SIZE / CPacketRing::SMALL_QUERY_RING_BYTES
              < CPacketRing::FASTEST_BURST_PER_SECOND / 1000 * CPacketRing::RETIRE_MS);
static_assert(CPacketRing::RETIRE_MS <= CPacketRing::LINES_RETIRE_MS);

CPacketRing::~CPacketRing()
{
    if (m_pMap != nullptr)
        munmap(m_pMap, m_nMapSize);
}

bool CPacketRing::Attach(int fd, unsigned nRetireMs)
{
    const int nVersion = TPACKET_V3;
    if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &nVersion, sizeof(nVersion)) != 0)
        return false;
    tpacket_req3 request {};
    request.tp_block_size = BLOCK_SIZE;
    request.tp_block_nr = BLOCK_COUNT;
    request.tp_frame_size = FRAME_SIZE;
    request.tp_frame_nr = BLOCK_SIZE / FRAME_SIZE * BLOCK_COUNT;
    request.tp_retire_blk_tov = nRetireMs;
    if (setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &request, sizeof(request)) != 0)
        return false;
    const size_t nSize = size_t(BLOCK_SIZE) * BLOCK_COUNT;
    void* p = mmap(nullptr, nSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        return false;
    m_pMap = static_cast<unsigned char*>(p);
    m_nMapSize = nSize;
    m_nNext = 0;
    return true;
}

tpacket_block_desc* CPacketRing::ReadyBlock() const
{
    if (m_pMap == nullptr)
        return nullptr;
    auto* pBlock = reinterpret_cast<tpacket_block_desc*>(m_pMap + size_t(m_nNext) * BLOCK_SIZE);
    // Acquire: the frames the kernel wrote before it flipped the status are seen whole.
    const unsigned nStatus = __atomic_load_n(&pBlock->hdr.bh1.block_status, __ATOMIC_ACQUIRE);
    return (nStatus & TP_STATUS_USER) != 0 ? pBlock : nullptr;
}

void CPacketRing::ReleaseBlock(tpacket_block_desc* pBlock)
{
    __atomic_store_n(&pBlock->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    m_nNext = (m_nNext + 1) % BLOCK_COUNT;
}

bool CPacketRing::ReadFrame(const unsigned char* pBlock, size_t nOffset, CFrame* pFrame, size_t* pnNext)
{
    if (nOffset >= BLOCK_SIZE || BLOCK_SIZE - nOffset < sizeof(tpacket3_hdr))
        return false;
    const auto* pHeader = reinterpret_cast<const tpacket3_hdr*>(pBlock + nOffset);
    const size_t nData = pHeader->tp_mac;
    if (nData > BLOCK_SIZE - nOffset || pHeader->tp_snaplen > BLOCK_SIZE - nOffset - nData)
        return false;
    pFrame->pData = pBlock + nOffset + nData;
    pFrame->nLength = pHeader->tp_snaplen;
    pFrame->nSeconds = pHeader->tp_sec;
    pFrame->nNanoseconds = pHeader->tp_nsec;
    pFrame->nStatus = pHeader->tp_status;
    *pnNext = pHeader->tp_next_offset;
    return true;
}
