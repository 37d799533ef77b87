#pragma once

// The kernel's side of naming the program behind each local query: the fixed BPF program of
// helper/bpf, loaded and attached while the helper still holds cap_bpf and cap_perfmon, and the
// ring it fills, mapped into the helper.

#include "helper/EventRing.h"
#include "helper/bpf/SenderEvent.h"

#include <cstddef>
#include <cstdint>

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
    // build or kernel cannot, or whatever loading met. A failure leaves nothing loaded. With
    // bEncrypted it also names who opens each connection to the ports of encrypted DNS.
    bool Open(int hCaptureSocket, bool bEncrypted = false);
    bool IsOpen() const { return m_ring.IsMapped(); }
    // Readable for poll() while events wait in the ring; the first event after a drain to the end
    // wakes a poll() that waits on it.
    int GetFd() const;

    // Calls pfnEvent(const sender_event&) for at most nMost events, oldest first; true when more
    // were left in the ring.
    template <class F>
    bool Drain(size_t nMost, F&& pfnEvent)
    {
        return m_ring.Drain<sender_event>(nMost, pfnEvent);
    }

    // Events the ring had no room for, since the start.
    std::uint64_t GetLost() const;

private:
    void Close();

    sender_events* m_pSkeleton = nullptr;
    CEventRing m_ring;
};
