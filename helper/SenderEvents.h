#pragma once

// The kernel's side of naming the program behind each local query: the fixed BPF program of
// helper/bpf, loaded and attached while the helper still holds cap_bpf and cap_perfmon, and the
// ring it fills, mapped into the helper. After the sandbox the mapped memory is read with no system
// call, and the ring's descriptor is only polled.

#include "helper/bpf/SenderEvent.h"

#include <cstddef>
#include <cstdint>
#include <linux/bpf.h>

struct sender_events;

class CSenderEvents
{
public:
    CSenderEvents() = default;
    ~CSenderEvents();
    CSenderEvents(const CSenderEvents&) = delete;
    CSenderEvents& operator=(const CSenderEvents&) = delete;

    // Loads and attaches the program for what hCaptureSocket, a bound packet socket, captures, and
    // maps its ring. False with errno: EPERM without cap_bpf and cap_perfmon, EOPNOTSUPP when this
    // build or kernel cannot, or whatever loading met. A failure leaves nothing loaded.
    bool Open(int hCaptureSocket);
    bool IsOpen() const { return m_pData != nullptr; }
    // Readable for poll() while events wait in the ring; the first event after a drain to the end
    // wakes a poll() that waits on it.
    int GetFd() const;

    // Calls pfnEvent(const sender_event&) for at most nMost events, oldest first; true when more
    // were left in the ring.
    template <class F>
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
            // The kernel aligns each event to 8 bytes, past an 8-byte header: it is read in place.
            if ((nHeader & DISCARD_BIT) == 0 && nLength == sizeof(sender_event))
                pfnEvent(*reinterpret_cast<const sender_event*>(pnHeader + 2));
            nConsumer += (HEADER_BYTES + nLength + 7) & ~std::uint64_t(7);
        }
        // Once per drain: the kernel reads this line on every event it writes, and each store here
        // would take it away from the sending processor.
        __atomic_store_n(m_pConsumer, nConsumer, __ATOMIC_RELEASE);
        return bLeft;
    }

    // Events the ring had no room for, since the start.
    std::uint64_t GetLost() const;

private:
    static constexpr std::uint32_t BUSY_BIT = BPF_RINGBUF_BUSY_BIT, DISCARD_BIT = BPF_RINGBUF_DISCARD_BIT,
                                   HEADER_BYTES = BPF_RINGBUF_HDR_SZ;

    void Close();

    sender_events* m_pSkeleton = nullptr;
    void* m_pConsumerPage = nullptr;
    void* m_pProducerPages = nullptr;
    size_t m_nProducerSize = 0;
    std::uint64_t* m_pConsumer = nullptr;
    const std::uint64_t* m_pProducer = nullptr;
    const unsigned char* m_pData = nullptr;
    std::uint64_t m_nMask = 0;
};
