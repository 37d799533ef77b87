#pragma once

#include "dns/DnsLayout.h"

#include <cstddef>
#include <cstdint>

// Reading a captured frame, which starts at its network header: an IPv4 or IPv6 datagram carrying
// UDP or TCP to port 53, each header read at its real length, and the question name of the DNS
// message in it.

constexpr size_t NAME_BUFFER_SIZE = 1024; // the name text with its NUL never takes more

// Whether the frame is a first (or only) fragment of IPv4 or IPv6 whose UDP or TCP header is all
// there and goes to port 53.
bool IsDnsDatagram(const unsigned char* datagram, size_t length);

// What a query's frame tells besides its name. Addresses as they lie in the frame (network order,
// an IPv4 one in the first 4 bytes); ports, id and type in host order. A query type of 0 means the
// frame ends before it.
struct CQueryFacts
{
    unsigned char nIpVersion = 0; // IP_VERSION_4 or IP_VERSION_6
    unsigned char nProtocol = 0;  // PROTOCOL_UDP or PROTOCOL_TCP
    unsigned char abSource[16] = {};
    unsigned char abDestination[16] = {};
    std::uint16_t nSourcePort = 0;
    std::uint16_t nDestinationPort = 0;
    std::uint16_t nDnsId = 0;
    std::uint16_t nQueryType = 0;
};

// Copies the facts into any record that names its fields as CQueryFacts does (the capture
// helper's name record, for one), so that each side that fills one does it the same way.
template <class TRecord>
void CopyQueryFacts(const CQueryFacts& facts, TRecord* pRecord)
{
    pRecord->nQueryType = facts.nQueryType;
    pRecord->nProtocol = facts.nProtocol;
    pRecord->nIpVersion = facts.nIpVersion;
    static_assert(sizeof(pRecord->abSource) == sizeof(facts.abSource));
    static_assert(sizeof(pRecord->abDestination) == sizeof(facts.abDestination));
    for (size_t i = 0; i < sizeof(facts.abSource); ++i)
    {
        pRecord->abSource[i] = facts.abSource[i];
        pRecord->abDestination[i] = facts.abDestination[i];
    }
    pRecord->nSourcePort = facts.nSourcePort;
    pRecord->nDestinationPort = facts.nDestinationPort;
    pRecord->nDnsId = facts.nDnsId;
}

// Decodes the wire name at `name` into dotted text in `text` (NAME_BUFFER_SIZE bytes). Never reads
// at or past name + available, never writes past text + NAME_BUFFER_SIZE, and always leaves a
// NUL-terminated text. False when the name is cut off: the bytes end before its zero length byte,
// or its text would not fit.
// *pnWireLength, when given, is the bytes the name took on the wire, its zero length byte included.
bool DecodeQuestionName(const unsigned char* name, size_t available, char* text, size_t* pnWireLength = nullptr);

// The capture helper's step for each frame: true when `text` now holds a name to deliver. UDP gives the
// name after the DNS header; TCP only when the segment's payload starts with a message's length
// prefix (see Transport.h for what is not read). With pFacts, also what the frame tells of the query.
bool ExtractQueryName(const unsigned char* datagram, size_t length, char* text, CQueryFacts* pFacts = nullptr);
