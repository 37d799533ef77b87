#include "dns/TransportChecksum.h"

#include <iterator>

#include <cstdint>

namespace {

std::uint16_t Fold(std::uint64_t nSum)
{
    while ((nSum >> 16) != 0)
        nSum = (nSum & 0xFFFF) + (nSum >> 16);
    return std::uint16_t(nSum);
}

} // namespace

EChecksum CheckTransportChecksum(const CPacketBytes& datagram, const CTransportHeader& transport, EChecksumHint hint)
{
    if (hint == EChecksumHint::LIVE_VALID || hint == EChecksumHint::LIVE_NOT_SUMMED)
        return EChecksum::SOUND;
    const bool bUdp = transport.nProtocol == PROTOCOL_UDP;
    if (!bUdp && transport.nProtocol != PROTOCOL_TCP)
        return EChecksum::WRONG;
    if (transport.bMoreFragments || transport.nDatagramEnd <= transport.nOffset)
        return EChecksum::UNCHECKED;

    unsigned char bVersion = 0;
    datagram.GetByte(0, bVersion);
    const bool bIpv6 = (bVersion >> 4) == IP_VERSION_6;
    // UDP states its own length, which must lie within the datagram; TCP's is the rest of it.
    size_t nLength = transport.nDatagramEnd - transport.nOffset;
    std::uint16_t nField = 0;
    if (bUdp)
    {
        std::uint16_t nUdpLength = 0;
        if (!datagram.GetUint16(transport.nOffset + UDP_LENGTH_OFFSET, nUdpLength)
            || !datagram.GetUint16(transport.nOffset + UDP_CHECKSUM_OFFSET, nField))
            return EChecksum::UNCHECKED;
        if (nUdpLength < UDP_HEADER_SIZE || nUdpLength > nLength)
            return EChecksum::WRONG;
        nLength = nUdpLength;
        if (nField == 0)
            return bIpv6 ? EChecksum::WRONG : EChecksum::SOUND;
    }
    else if (!datagram.GetUint16(transport.nOffset + TCP_CHECKSUM_OFFSET, nField))
        return EChecksum::UNCHECKED;

    // The pseudo-header: both addresses, the protocol and the transport's length.
    std::uint64_t nPseudo = std::uint64_t(transport.nProtocol) + (nLength >> 16) + (nLength & 0xFFFF);
    const bool bAddresses =
        bIpv6 ? datagram.AddWords(IPV6_SOURCE_OFFSET, 32, nPseudo) : datagram.AddWords(IPV4_SOURCE_OFFSET, 8, nPseudo);
    if (!bAddresses)
        return EChecksum::UNCHECKED;
    if (hint == EChecksumHint::FILE_FRAME && nField == Fold(nPseudo))
        return EChecksum::SOUND;
    std::uint64_t nSum = nPseudo;
    if (!datagram.AddWords(transport.nOffset, nLength, nSum))
        return EChecksum::UNCHECKED;
    return Fold(nSum) == 0xFFFF ? EChecksum::SOUND : EChecksum::WRONG;
}

const char* ChecksumText(EChecksum eChecksum)
{
    // In the order of EChecksum, one row each.
    constexpr const char* TEXTS[] = {"sound", "wrong", "unchecked"};
    static_assert(std::size(TEXTS) == size_t(EChecksum::UNCHECKED) + 1);
    const auto nChecksum = static_cast<size_t>(eChecksum);
    return nChecksum < std::size(TEXTS) ? TEXTS[nChecksum] : "unknown";
}
