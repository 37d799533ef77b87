#pragma once

// The layers under a DNS query, one header each: Ipv4.h and Ipv6.h find the transport header,
// Transport.h the DNS message. Each may narrow the bytes to the end its header gives, so the next
// layer never reads the link layer's padding, or what follows a message, as its own. Inline, as
// they run for every frame and the whole walk costs about as much as a copy of the frame.

#include "dns/DnsLayout.h"
#include "dns/PacketBytes.h"

struct CTransportHeader
{
    unsigned char nProtocol = 0; // as the IPv4 protocol field or the last IPv6 next header names it
    size_t nOffset = 0;          // of the transport header's first byte, from the frame's start
    // Where the IP header says the datagram ends, however much of it was captured, and whether
    // this is only its first fragment: a transport checksum covers the whole.
    size_t nDatagramEnd = 0;
    bool bMoreFragments = false;
};
