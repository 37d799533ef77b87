#pragma once

#include "dns/PacketLayers.h"

// Version 4, a header length (IHL) of at least 20 bytes that the datagram holds, and the first
// fragment (offset 0): later fragments carry no transport header. The bytes end where the total
// length says: Ethernet pads short frames to 46 bytes, and a bare TCP acknowledgement would
// otherwise seem to carry six bytes of payload.
inline bool FindIpv4Transport(CPacketBytes& bytes, CTransportHeader& transport)
{
    unsigned char header[IPV4_MIN_HEADER_SIZE];
    if (!bytes.GetHeader(0, header) || (ByteAt<0>(header) >> 4) != IP_VERSION_4)
        return false;
    const size_t nHeaderLength = size_t(ByteAt<0>(header) & 0x0F) * 4;
    const size_t nTotalLength = Uint16At<IPV4_TOTAL_LENGTH_OFFSET>(header);
    if (nHeaderLength < IPV4_MIN_HEADER_SIZE || nTotalLength <= nHeaderLength
        || (Uint16At<IPV4_FRAGMENT_OFFSET>(header) & IPV4_FRAGMENT_OFFSET_MASK) != 0)
        return false;

    bytes.Narrow(nTotalLength);
    if (nHeaderLength >= bytes.GetLength())
        return false;
    transport.nProtocol = ByteAt<IPV4_PROTOCOL_OFFSET>(header);
    transport.nOffset = nHeaderLength;
    transport.nDatagramEnd = nTotalLength;
    transport.bMoreFragments = (Uint16At<IPV4_FRAGMENT_OFFSET>(header) & IPV4_MORE_FRAGMENTS) != 0;
    return true;
}
