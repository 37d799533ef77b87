#pragma once

#include "dns/PacketLayers.h"

// Past the hop-by-hop, routing, destination-options and first-fragment headers, at most
// MAX_IPV6_EXTENSION_HEADERS of them in any order; any other header ends the walk as the
// transport. The bytes end where the payload length says (a jumbogram's 0 included: such frames
// never fit in a capture anyway, and give nothing).
inline bool FindIpv6Transport(CPacketBytes& bytes, CTransportHeader& transport)
{
    unsigned char header[IPV6_NEXT_HEADER_OFFSET + 1];
    if (!bytes.GetHeader(0, header) || (ByteAt<0>(header) >> 4) != IP_VERSION_6)
        return false;
    transport.nDatagramEnd = IPV6_HEADER_SIZE + Uint16At<IPV6_PAYLOAD_LENGTH_OFFSET>(header);
    transport.bMoreFragments = false;
    bytes.Narrow(transport.nDatagramEnd);
    unsigned char nNext = ByteAt<IPV6_NEXT_HEADER_OFFSET>(header);

    // Every extension header is at least 8 bytes long, so the offset only grows; the count bounds
    // the walk however short the headers are.
    size_t nOffset = IPV6_HEADER_SIZE;
    for (unsigned nHeaders = 0;; ++nHeaders)
    {
        const bool bFragment = nNext == IPV6_FRAGMENT;
        if (!bFragment && nNext != IPV6_HOP_BY_HOP && nNext != IPV6_ROUTING && nNext != IPV6_DESTINATION_OPTIONS)
            break;
        if (nHeaders == MAX_IPV6_EXTENSION_HEADERS)
            return false;

        // Next header, length, and (in a fragment header) the offset field.
        unsigned char extension[IPV6_FRAGMENT_OFFSET_FIELD + 2];
        if (!bytes.GetHeader(nOffset, extension))
            return false;
        if (bFragment)
        {
            if ((Uint16At<IPV6_FRAGMENT_OFFSET_FIELD>(extension) & IPV6_FRAGMENT_OFFSET_MASK) != 0)
                return false;
            transport.bMoreFragments = (Uint16At<IPV6_FRAGMENT_OFFSET_FIELD>(extension) & IPV6_MORE_FRAGMENTS) != 0;
            nOffset += IPV6_FRAGMENT_HEADER_SIZE;
        }
        else
        {
            nOffset += (size_t(ByteAt<1>(extension)) + 1) * IPV6_EXTENSION_UNIT;
        }
        nNext = ByteAt<0>(extension);
    }

    if (nOffset >= bytes.GetLength())
        return false;
    transport.nProtocol = nNext;
    transport.nOffset = nOffset;
    return true;
}
