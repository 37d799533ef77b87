#pragma once

// The Linux stand-in for a raw IPv4 socket in receive-all mode: an AF_PACKET socket whose reads
// start at the network header, filtered in the kernel to UDP and TCP over IPv4 and IPv6 sent to
// port 53 (dns/DnsFilter.h), bound to the interface that owns a given IPv4 or IPv6 address, with
// that interface in promiscuous mode.

#include "channel/Channel.h"

class CPacketRing;

class CPacketSocket
{
public:
    struct OpenResult
    {
        int fd = -1; // the configured socket, or -1 when a step failed
        // STEP_OPEN, STEP_OPTIONS or STEP_BIND when fd is -1
        Channel::OpenStep failedStep = Channel::STEP_NONE;
        int error = 0;           // errno of the failed step
        int receiveAllError = 0; // errno when promiscuous mode was refused; the socket still works
    };

    // Bytes read per datagram; a longer datagram is cut to this length.
    static constexpr int CAPTURE_BUFFER_SIZE = 1600;

    // Opens and configures the socket in the order open, options, bind, receive-all. A failed step
    // closes what was opened. An address text that is empty, not an address as AddressText.h reads
    // it, or not owned by any interface fails the bind step with EADDRNOTAVAIL. With a ring, the
    // options step puts it on the socket, and the datagrams arrive there instead of in the socket's
    // queue.
    static OpenResult Open(const char* pszLocalAddress, CPacketRing* pRing = nullptr);

    // Kernel counters since the last call (reading resets them): datagrams kept and, of those, the
    // ones dropped for want of room.
    static bool ReadStatistics(int fd, unsigned* pnReceived, unsigned* pnDropped);
};
