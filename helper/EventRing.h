#pragma once

// A BPF ring of fixed-size events, mapped into the helper: after the sandbox it is read with no
// system call, and its descriptor is only polled.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <linux/bpf.h>

class CEventRing
{
public:
    CEventRing() = default;
    ~CEventRing() { Unmap(); }
    CEventRing(const CEventRing&) = delete;
    CEventRing& operator=(const CEventRing&) = delete;

    // Maps the ring of the map hRing whose data holds nDataBytes; false with errno.
    bool Map(int hRing, size_t nDataBytes);
    void Unmap();
    bool IsMapped() const { return m_pData != nullptr; }

    // Calls pfnEvent(const TEvent&) for at most nMost events, oldest first; true when more were
    // left in the ring. An event may end early, after nLeastBytes (the rest reads as zeros); one
    // of another size is none the program writes, and is passed over.
    template <class TEvent, size_t nLeastBytes = sizeof(TEvent), class F>
    bool Drain(size_t nMost, F&& pfnEvent)
    {
        if (m_pData == nullptr)
            return false;
        std::uint64_t nConsumer = __atomic_load_n(m_pConsumer, __ATOMIC_ACQUIRE);
        const std::uint64_t nProducer = __atomic_load_n(m_pProducer, __ATOMIC_ACQUIRE);
        bool bLeft = false;
        for (size_t n = 0; nConsumer < nProducer; ++n)
        {
            if (n == nMost)
            {
                bLeft = true;
                break;
            }
            const auto* pnHeader = reinterpret_cast<const std::uint32_t*>(m_pData + (nConsumer & m_nMask));
            const std::uint32_t nHeader = __atomic_load_n(pnHeader, __ATOMIC_ACQUIRE);
            if ((nHeader & BUSY_BIT) != 0)
                break;
            const std::uint32_t nLength = nHeader & ~(BUSY_BIT | DISCARD_BIT);
            // The kernel aligns each event to 8 bytes, past an 8-byte header: a whole one is read in
            // place.
            if ((nHeader & DISCARD_BIT) == 0 && nLength == sizeof(TEvent))
                pfnEvent(*reinterpret_cast<const TEvent*>(pnHeader + 2));
            else if ((nHeader & DISCARD_BIT) == 0 && nLength >= nLeastBytes && nLength < sizeof(TEvent))
            {
                TEvent event {};
                std::memcpy(&event, pnHeader + 2, nLength);
                pfnEvent(event);
            }
            nConsumer += (HEADER_BYTES + nLength + 7) & ~std::uint64_t(7);
        }
        // Once per drain: the kernel reads this line on every event it writes, and each store here
        // would take it away from the sending processor.
        __atomic_store_n(m_pConsumer, nConsumer, __ATOMIC_RELEASE);
        return bLeft;
    }

private:
    static constexpr std::uint32_t BUSY_BIT = BPF_RINGBUF_BUSY_BIT, DISCARD_BIT = BPF_RINGBUF_DISCARD_BIT,
                                   HEADER_BYTES = BPF_RINGBUF_HDR_SZ;

    void* m_pConsumerPage = nullptr;
    void* m_pProducerPages = nullptr;
    size_t m_nProducerSize = 0;
    std::uint64_t* m_pConsumer = nullptr;
    const std::uint64_t* m_pProducer = nullptr;
    const unsigned char* m_pData = nullptr;
    std::uint64_t m_nMask = 0;
};
