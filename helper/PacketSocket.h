#pragma once

// The Linux stand-in for a raw IPv4 socket in receive-all mode: an AF_PACKET socket whose reads
// start at the network header, filtered in the kernel to UDP and TCP over IPv4 and IPv6 sent to
// port 53 (dns/DnsFilter.h), bound to the interface that owns a given IPv4 or IPv6 address, or to
// one named, with that interface in promiscuous mode; or bound to every interface at once.

#include "channel/Channel.h"

class CPacketRing;

class CPacketSocket
{
public:
    // What the filter keeps of a query, and so what the ring holds of it: far more than any
    // question name needs.
    static constexpr unsigned SNAP_LENGTH = 1600;
    // And of a response: a whole EDNS message of 4096 bytes and far more, so that the answers a
    // record keeps (4 KiB of their text) are read live as from a file; a longer one (a TCP segment
    // on loopback) is cut, and the answers past the cut are counted as left out.
    static constexpr unsigned RESPONSE_SNAP_LENGTH = 16384;
    // And of a segment that starts a TLS ClientHello: the whole hello that a loopback segment holds,
    // a post-quantum key share included, and all of the first segment anywhere else.
    static constexpr unsigned HELLO_SNAP_LENGTH = 4096;

    // Opens and configures the socket in the order open, options (filter, ring, loopback's
    // outgoing copies), bind, receive-all, and says how it went in *pOpened: the failed step and its
    // errno, or STEP_NONE with promiscuous mode's errno, if it was refused (the capture runs
    // anyway). The socket, or -1 when a step failed; a failed step closes what was opened. The
    // target is read as CaptureTarget.h says: one that is not a target, or an address no interface
    // owns, fails the bind step with EADDRNOTAVAIL; an interface name that none has, with ENODEV.
    // "any" puts no interface in promiscuous mode. The ring goes on before the bind, so no frame
    // ever waits outside it. The filter keeps what nWants asks for: responses from port 53 too for
    // exchanges, and with WANTS_ENCRYPTED the first segments of encrypted connections.
    static int Open(const char* pszTarget, CPacketRing& ring, Channel::COpenedRecord* pOpened,
                    Channel::Wants nWants = Channel::WANTS_QUERIES);

    // Kernel counters since the last call (reading resets them): datagrams kept and, of those, the
    // ones dropped for want of room.
    static bool ReadStatistics(int fd, unsigned* pnReceived, unsigned* pnDropped);
};
