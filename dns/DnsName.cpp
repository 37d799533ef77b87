#include "dns/DnsName.h"
#include "dns/PresentationForm.h"
#include "dns/Ipv4.h"
#include "dns/Ipv6.h"
#include "dns/Transport.h"

#include <algorithm>

namespace {

// Offset of the length byte that follows the one at nOffset. Bytes of 0x80 and above count as
// negative lengths and skip nothing, so a compression pointer is never followed: its second byte
// is read as the next label length.
size_t NextLengthByte(size_t nOffset, unsigned char b)
{
    return nOffset + 1 + (b < 0x80 ? b : 0);
}

// 64 to 127 can only be a label no resolver would take: whoever sent it asked no question, and its
// name gives no text at all.
bool IsTooLongLabel(unsigned char b)
{
    return b > DNS_MAX_LABEL_LENGTH && b < 0x80;
}

// Forced inline: called from two places, GCC keeps it out of line, and the call with its spilled
// arguments costs a fifth of the whole step for a typical query.
template <size_t PORT_OFFSET = DESTINATION_PORT_OFFSET>
__attribute__((always_inline)) inline bool FindDnsTransport(CPacketBytes& bytes, CTransportHeader& transport)
{
    unsigned char bFirst = 0;
    if (!bytes.GetByte(0, bFirst))
        return false;
    const bool bFound =
        (bFirst >> 4) == IP_VERSION_6 ? FindIpv6Transport(bytes, transport) : FindIpv4Transport(bytes, transport);
    return bFound && IsDnsTransport<PORT_OFFSET>(bytes, transport);
}

} // namespace

// The text is the wire name less its first byte, with every later length byte turned into a full
// stop and the zero length byte into the NUL. So the bytes go over in one copy, and a single walk
// along the length bytes puts in the full stops and finds the end.
bool DecodeQuestionName(const unsigned char* name, size_t available, char* text, size_t& nTextLength,
                        size_t* pnWireLength)
{
    const CPacketBytes bytes(name, available);
    text[0] = '\0';
    nTextLength = 0;

    unsigned char b = 0;
    if (!bytes.GetByte(0, b) || IsTooLongLabel(b))
        return false;
    if (b == 0)
    {
        if (pnWireLength != nullptr)
            *pnWireLength = 1;
        return true;
    }

    // Never more than the datagram itself holds, so this costs less than copying the datagram.
    const size_t nCopied = std::min(available, NAME_BUFFER_SIZE) - 1;
    bytes.CopyBytes(1, nCopied, text);

    // A zero length byte at offset 1024 still leaves room for the NUL (its text is 1023 bytes).
    const size_t nLimit = std::min(available, NAME_BUFFER_SIZE + 1);
    for (size_t nOffset = NextLengthByte(0, b); nOffset < nLimit && bytes.GetByte(nOffset, b);
         nOffset = NextLengthByte(nOffset, b))
    {
        if (b == 0)
        {
            text[nOffset - 1] = '\0';
            nTextLength = nOffset - 1;
            if (pnWireLength != nullptr)
                *pnWireLength = nOffset + 1;
            return true;
        }
        if (IsTooLongLabel(b))
        {
            text[0] = '\0';
            nTextLength = 0;
            return false;
        }
        text[nOffset - 1] = '.';
    }
    text[nCopied] = '\0';
    nTextLength = nCopied;
    return false;
}

namespace {

// A label's length byte as the decoder reads it: 0x80 and above skip nothing.
size_t LabelBytes(unsigned char b)
{
    return b < 0x80 ? b : 0;
}

// Whether the decoded text is the name's master-file form already: no byte the form escapes, and
// no dot but those between labels. Nearly every name is; the check costs a look at each byte.
bool IsPlainName(const CPacketBytes& wire, const char* text, size_t nTextLength)
{
    size_t nDots = 0;
    for (size_t i = 0; i < nTextLength; ++i)
    {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '.')
            ++nDots;
        else if (IsDecimalInName(b) || IsSpecialInName(b))
            return false;
    }
    size_t nLabels = 0;
    unsigned char nLength = 0;
    for (size_t nAt = 0; wire.GetByte(nAt, nLength) && nLength != 0; nAt += LabelBytes(nLength) + 1)
        ++nLabels;
    // The root's text is empty: its form is ".".
    return nLabels > 0 && nDots + 1 == nLabels;
}

// The name again from its wire labels, walked as the decoder walks them, in the master-file form.
// A name's text may take up to NAME_BUFFER_SIZE - 1 bytes, far more than DNS allows, and its form
// four times as many: what does not fit is cut, never in the middle of an escape, as the decoder
// cuts a text too long.
void WriteNameForm(const CPacketBytes& wire, char* text, size_t& nTextLength)
{
    struct CText
    {
        char* p;
        size_t nLength = 0;
        bool bFull = false;
        void append(const char* pFrom, size_t n)
        {
            bFull = bFull || n > NAME_BUFFER_SIZE - 1 - nLength;
            if (bFull)
                return;
            std::memcpy(p + nLength, pFrom, n);
            nLength += n;
        }
    } form {text};
    unsigned char nLength = 0;
    unsigned char label[63];
    bool bFirst = true;
    for (size_t nAt = 0;
         wire.GetByte(nAt, nLength) && nLength != 0 && wire.CopyBytes(nAt + 1, LabelBytes(nLength), label);
         nAt += LabelBytes(nLength) + 1, bFirst = false)
    {
        if (!bFirst)
            form.append(".", 1);
        AppendNameLabel(form, std::string_view(reinterpret_cast<const char*>(label), LabelBytes(nLength)));
    }
    if (bFirst)
        form.append(".", 1);
    text[form.nLength] = '\0';
    nTextLength = form.nLength;
}

// Read only for a frame that gave a name, so the walk for every other frame costs nothing more.
void ReadFacts(const CPacketBytes& bytes, const CTransportHeader& transport, size_t nMessage, size_t nNameEnd,
               CQueryFacts* pFacts)
{
    *pFacts = CQueryFacts();
    unsigned char b = 0;
    bytes.GetByte(0, b);
    pFacts->nIpVersion = b >> 4;
    pFacts->nProtocol = transport.nProtocol;
    if (pFacts->nIpVersion == IP_VERSION_6)
    {
        bytes.CopyBytes(IPV6_SOURCE_OFFSET, 16, pFacts->abSource);
        bytes.CopyBytes(IPV6_DESTINATION_OFFSET, 16, pFacts->abDestination);
    }
    else
    {
        bytes.CopyBytes(IPV4_SOURCE_OFFSET, 4, pFacts->abSource);
        bytes.CopyBytes(IPV4_DESTINATION_OFFSET, 4, pFacts->abDestination);
    }
    bytes.GetUint16(transport.nOffset, pFacts->nSourcePort);
    bytes.GetUint16(transport.nOffset + DESTINATION_PORT_OFFSET, pFacts->nDestinationPort);
    bytes.GetUint16(nMessage, pFacts->nDnsId);
    pFacts->bHasType = bytes.GetUint16(nNameEnd, pFacts->nQueryType);
}

} // namespace

bool DecodeQuestionForm(const unsigned char* name, size_t available, char* text, size_t& nTextLength,
                        size_t* pnWireLength)
{
    size_t nWireLength = 0;
    if (!DecodeQuestionName(name, available, text, nTextLength, &nWireLength))
        return false;
    if (const CPacketBytes wire(name, nWireLength); !IsPlainName(wire, text, nTextLength))
        WriteNameForm(wire, text, nTextLength);
    if (pnWireLength != nullptr)
        *pnWireLength = nWireLength;
    return true;
}

bool ExtractQueryName(const unsigned char* datagram, size_t length, char* text, size_t& nTextLength,
                      CQueryFacts* pFacts)
{
    // Callers read the buffer whatever the answer, so it never holds a stale name.
    text[0] = '\0';
    nTextLength = 0;
    CPacketBytes bytes(datagram, length);
    CTransportHeader transport;
    size_t nMessage = 0;
    if (!FindDnsTransport(bytes, transport) || !FindDnsMessage(bytes, transport, nMessage))
        return false;
    const size_t nName = nMessage + DNS_HEADER_SIZE;
    // A server that sends from port 53 gets its answers on port 53 too: only the QR bit tells them
    // from its queries.
    unsigned char bFlags = 0;
    if (nName >= bytes.GetLength() || !bytes.GetByte(nMessage + DNS_FLAGS_OFFSET, bFlags) || (bFlags & DNS_QR_BIT) != 0)
        return false;
    // A message that asks nothing is no query, over UDP as over TCP.
    std::uint16_t nQuestions = 0;
    if (!bytes.GetUint16(nMessage + DNS_QUESTION_COUNT_OFFSET, nQuestions) || nQuestions == 0)
        return false;
    size_t nWireLength = 0;
    if (!DecodeQuestionForm(datagram + nName, bytes.GetLength() - nName, text, nTextLength, &nWireLength))
        return false;
    if (pFacts != nullptr)
        ReadFacts(bytes, transport, nMessage, nName + nWireLength, pFacts);
    return true;
}

bool FindDnsResponse(const unsigned char* datagram, size_t length, CQueryFacts& facts, size_t& nMessage,
                     size_t& nMessageLength, EChecksumHint hint, EChecksum& eChecksum)
{
    CPacketBytes bytes(datagram, length);
    CTransportHeader transport;
    unsigned char bFlags = 0;
    if (!FindDnsTransport<SOURCE_PORT_OFFSET>(bytes, transport))
        return false;
    // The whole datagram, before a TCP message narrows it to itself.
    const CPacketBytes whole = bytes;
    if (!FindDnsMessage(bytes, transport, nMessage) || !bytes.GetByte(nMessage + DNS_FLAGS_OFFSET, bFlags)
        || (bFlags & DNS_QR_BIT) == 0 || nMessage + DNS_HEADER_SIZE > bytes.GetLength())
        return false;
    eChecksum = CheckTransportChecksum(whole, transport, hint);
    nMessageLength = bytes.GetLength() - nMessage;
    // The type is the question's, which the response decoder reads with the rest.
    ReadFacts(bytes, transport, nMessage, bytes.GetLength(), &facts);
    facts.bHasType = false;
    facts.nQueryType = 0;
    return true;
}

bool FindEncryptedStart(const unsigned char* datagram, size_t length, CQueryFacts& facts, size_t& nPayload,
                        size_t& nPayloadLength, std::uint32_t* pnSequence)
{
    CPacketBytes bytes(datagram, length);
    CTransportHeader transport;
    unsigned char bFirst = 0;
    if (!bytes.GetByte(0, bFirst))
        return false;
    const bool bFound =
        (bFirst >> 4) == IP_VERSION_6 ? FindIpv6Transport(bytes, transport) : FindIpv4Transport(bytes, transport);
    std::uint16_t nPort = 0;
    if (!bFound || (transport.nProtocol != PROTOCOL_UDP && transport.nProtocol != PROTOCOL_TCP)
        || !bytes.GetUint16(transport.nOffset + DESTINATION_PORT_OFFSET, nPort)
        || (nPort != DNS_OVER_TLS_PORT && nPort != HTTPS_PORT))
        return false;
    *pnSequence = 0;
    if (transport.nProtocol == PROTOCOL_UDP)
        nPayload = transport.nOffset + UDP_HEADER_SIZE;
    else
    {
        unsigned char tcp[TCP_MIN_HEADER_SIZE];
        if (!bytes.GetHeader(transport.nOffset, tcp))
            return false;
        const size_t nHeaderLength = size_t(ByteAt<TCP_DATA_OFFSET_OFFSET>(tcp) >> 4) * 4;
        if (nHeaderLength < TCP_MIN_HEADER_SIZE)
            return false;
        *pnSequence = std::uint32_t(Uint16At<TCP_SEQUENCE_OFFSET>(tcp)) << 16 | Uint16At<TCP_SEQUENCE_OFFSET + 2>(tcp);
        nPayload = transport.nOffset + nHeaderLength;
    }
    if (nPayload >= bytes.GetLength())
        return false;
    nPayloadLength = bytes.GetLength() - nPayload;
    ReadFacts(bytes, transport, nPayload, nPayload, &facts);
    facts.nDnsId = 0;
    facts.bHasType = false;
    facts.nQueryType = 0;
    return true;
}
