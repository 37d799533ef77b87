#pragma once

#include "dns/PacketLayers.h"

// UDP or TCP, the whole fixed header received, port 53 at PORT_OFFSET: the destination for a query,
// the source for a response.
template <size_t PORT_OFFSET = DESTINATION_PORT_OFFSET>
inline bool IsDnsTransport(const CPacketBytes& bytes, const CTransportHeader& transport)
{
    if (transport.nProtocol == PROTOCOL_UDP)
    {
        unsigned char udp[UDP_HEADER_SIZE];
        return bytes.GetHeader(transport.nOffset, udp) && Uint16At<PORT_OFFSET>(udp) == DNS_PORT;
    }
    if (transport.nProtocol == PROTOCOL_TCP)
    {
        unsigned char tcp[TCP_MIN_HEADER_SIZE];
        return bytes.GetHeader(transport.nOffset, tcp) && Uint16At<PORT_OFFSET>(tcp) == DNS_PORT;
    }
    return false;
}

// For a header that IsDnsTransport took: the offset of the DNS message's 12-byte header, the
// bytes narrowed to where the message can end.
//
// Over TCP only the first message of a segment is read, and only when the segment starts with it:
// there is no reassembly, so a query split over two segments, or a second query later in the same
// segment, is not listed. The length prefix bounds the message; a prefix too short for the DNS
// header and one name byte, or a name running past it, gives nothing, while a prefix longer than
// what was captured is fine (the capture cuts frames). A question count of 0 also gives nothing:
// a query asks one, and a segment that continues a message, read as if it began one, mostly has
// a 0 there (the real message's answer count).
inline bool FindDnsMessage(CPacketBytes& bytes, const CTransportHeader& transport, size_t& nMessage)
{
    if (transport.nProtocol == PROTOCOL_UDP)
    {
        nMessage = transport.nOffset + UDP_HEADER_SIZE;
        return true;
    }

    unsigned char tcp[TCP_DATA_OFFSET_OFFSET + 1];
    if (!bytes.GetHeader(transport.nOffset, tcp))
        return false;
    const size_t nHeaderLength = size_t(ByteAt<TCP_DATA_OFFSET_OFFSET>(tcp) >> 4) * 4;
    if (nHeaderLength < TCP_MIN_HEADER_SIZE)
        return false;

    // No payload (a handshake, an acknowledgement, a FIN) or a data offset past the segment: the
    // prefix cannot be read.
    unsigned char start[DNS_TCP_LENGTH_SIZE + DNS_QUESTION_COUNT_OFFSET + 2];
    const size_t nPayload = transport.nOffset + nHeaderLength;
    if (!bytes.GetHeader(nPayload, start))
        return false;
    const size_t nMessageLength = Uint16At<0>(start);
    if (nMessageLength < DNS_HEADER_SIZE + 1 || Uint16At<DNS_TCP_LENGTH_SIZE + DNS_QUESTION_COUNT_OFFSET>(start) == 0)
        return false;
    nMessage = nPayload + DNS_TCP_LENGTH_SIZE;
    bytes.Narrow(nMessage + nMessageLength);
    return true;
}
