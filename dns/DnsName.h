#pragma once

#include "dns/DnsLayout.h"
#include "dns/TransportChecksum.h"

#include <cstddef>
#include <cstdint>

// Reading a captured frame, which starts at its network header: an IPv4 or IPv6 datagram carrying
// UDP or TCP to port 53, each header read at its real length, and the question name of the DNS
// message in it.

constexpr size_t NAME_BUFFER_SIZE = 1024; // the name text with its NUL never takes more

// What a query's frame tells besides its name. Addresses as they lie in the frame (network order,
// an IPv4 one in the first 4 bytes); ports, id and type in host order. Without bHasType the frame
// ends before the type, and nQueryType is 0; with it, 0 is a type like any other.
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
    bool bHasType = false;
};

// Copies the facts into any record that names its fields as CQueryFacts does (the capture
// helper's name record, for one), so that each side that fills one does it the same way.
template <class TRecord>
void CopyQueryFacts(const CQueryFacts& facts, TRecord* pRecord)
{
    pRecord->nQueryType = facts.nQueryType;
    pRecord->bHasType = facts.bHasType;
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

// Decodes the wire name at `name` into dotted text in `text` (NAME_BUFFER_SIZE bytes), nTextLength
// bytes long. A label may hold any byte, NUL included, so the text is its length: the NUL written
// after it ends it only for a reader that never meets such a label. Never reads at or past
// name + available and never writes past text + NAME_BUFFER_SIZE. False when the name is cut off
// (the bytes end before its zero length byte, or its text would not fit; the text is then what was
// decoded) or has a label longer than 63 bytes.
// *pnWireLength, when given, is the bytes the name took on the wire, its zero length byte included.
bool DecodeQuestionName(const unsigned char* name, size_t available, char* text, size_t& nTextLength,
                        size_t* pnWireLength = nullptr);

// The same walk, with the text in the name's master-file form (dns/PresentationForm.h): its labels
// as the walk reads them, joined by '.', the root as ".". What every front end shows and compares.
bool DecodeQuestionForm(const unsigned char* name, size_t available, char* text, size_t& nTextLength,
                        size_t* pnWireLength = nullptr);

// Each front end's step for each frame, whether the helper captured it or a file holds it: true
// when `text` now holds the nTextLength bytes of a query's name, in its master-file form. A message with the QR bit set is
// an answer, whatever its ports. UDP gives the name after the DNS header; TCP only when the
// segment's payload starts with a message's length prefix (see Transport.h for what is not read).
// With pFacts, also what the frame tells of the query.
bool ExtractQueryName(const unsigned char* datagram, size_t length, char* text, size_t& nTextLength,
                      CQueryFacts* pFacts = nullptr);

// For a front end that shows whole exchanges: a response's frame (UDP or TCP from port 53, the QR
// bit set; over TCP only a segment that starts a message, as for queries). The facts of its frame,
// without a type (the response's question has its own), and where its DNS message lies: nMessage
// bytes into the datagram, nMessageLength long (no more than was captured), and whether its
// transport's checksum holds (TransportChecksum.h), with what the capture knows of it.
bool FindDnsResponse(const unsigned char* datagram, size_t length, CQueryFacts& facts, size_t& nMessage,
                     size_t& nMessageLength, EChecksumHint hint, EChecksum& eChecksum);

// The ports DNS goes encrypted to: over TLS and QUIC to 853, over HTTPS (and HTTP/3) to 443.
constexpr std::uint16_t DNS_OVER_TLS_PORT = 853;
constexpr std::uint16_t HTTPS_PORT = 443;

// For a front end that tells encrypted DNS: a frame of UDP or TCP to one of those ports, its facts
// (without an id or a type), and where its payload lies: nPayload bytes into the datagram,
// nPayloadLength long (no more than was captured, and none of what follows the datagram), after
// TCP's header at its real length. With TCP, *pnSequence is the segment's sequence number.
bool FindEncryptedStart(const unsigned char* datagram, size_t length, CQueryFacts& facts, size_t& nPayload,
                        size_t& nPayloadLength, std::uint32_t* pnSequence);
