#include "dns/DnsName.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = CBytes;

// Wire bytes from a literal, embedded zero bytes included (the literal's own NUL is not).
template <size_t N>
Bytes Wire(const char (&s)[N])
{
    return Bytes(s, s + N - 1);
}

Bytes Repeat(unsigned char b, size_t nCount)
{
    return Bytes(nCount, b);
}

// A name buffer with a fence behind it, so that a write past the 1024 bytes shows up without a sanitizer.
struct CNameBuffer
{
    static constexpr size_t FENCE = 64;
    std::array<char, NAME_BUFFER_SIZE + FENCE> m_buffer;

    CNameBuffer() { m_buffer.fill('\xA5'); }
    char* Text() { return m_buffer.data(); }
    std::string Str() const { return std::string(m_buffer.data()); }
    std::string Raw(size_t n) const { return std::string(m_buffer.data(), n); }

    ::testing::AssertionResult Intact() const
    {
        if (std::memchr(m_buffer.data(), '\0', NAME_BUFFER_SIZE) == nullptr)
            return ::testing::AssertionFailure() << "no NUL within the 1024 bytes";
        for (size_t i = NAME_BUFFER_SIZE; i < m_buffer.size(); ++i)
            if (m_buffer[i] != '\xA5')
                return ::testing::AssertionFailure() << "byte " << i << " past the buffer was written";
        return ::testing::AssertionSuccess();
    }
};

struct CDecoded
{
    bool m_bComplete;
    std::string m_strText;
};

// The bytes live in a vector of exactly their own size, so a sanitizer build also catches reads past them.
CDecoded Decode(const Bytes& wire, size_t nAvailable)
{
    CNameBuffer buffer;
    const bool bComplete = DecodeQuestionName(wire.data(), nAvailable, buffer.Text());
    EXPECT_TRUE(buffer.Intact());
    return {bComplete, buffer.Str()};
}

CDecoded Decode(const Bytes& wire)
{
    return Decode(wire, wire.size());
}

// A wire name with one label of each given length, each filled with its own letter.
Bytes Labels(const std::vector<int>& lengths)
{
    Bytes wire;
    char c = 'a';
    for (int n : lengths)
    {
        wire.push_back(static_cast<unsigned char>(n));
        wire.insert(wire.end(), size_t(n), static_cast<unsigned char>(c));
        c = c == 'z' ? 'a' : char(c + 1);
    }
    wire.push_back(0);
    return wire;
}

// An IPv4 UDP datagram with a 20-byte header, a DNS header, then `name`.
Bytes Datagram(uint16_t nSourcePort, uint16_t nDestPort, const Bytes& name)
{
    return Ipv4Frame(17, UdpSegment(nSourcePort, nDestPort, DnsMessage(name)));
}

CDecoded Extract(const Bytes& datagram)
{
    CNameBuffer buffer;
    const bool bName = ExtractQueryName(datagram.data(), datagram.size(), buffer.Text());
    EXPECT_TRUE(buffer.Intact());
    return {bName, buffer.Str()};
}

// ---------------------------------------------------------------------------------------------
// Which frames are taken: IPv4 and IPv6, UDP and TCP, destination port 53

bool IsDns(const Bytes& frame)
{
    return IsDnsDatagram(frame.data(), frame.size());
}

TEST(IsDnsDatagram, DestinationPort53IsDnsWhateverTheDirectionOfTheOtherPort)
{
    EXPECT_TRUE(IsDns(Datagram(1053, 53, Wire("\0"))));
    EXPECT_FALSE(IsDns(Datagram(53, 1053, Wire("\0"))));
    EXPECT_FALSE(IsDns(Datagram(1053, 0x3500, Wire("\0"))));
    EXPECT_FALSE(IsDns(Datagram(5353, 5353, Wire("\0"))));

    EXPECT_TRUE(IsDns(Ipv4Frame(6, TcpSegment(1053, 53, {}))));
    EXPECT_TRUE(IsDns(Ipv6Frame({}, 17, UdpSegment(1053, 53, {}))));
    EXPECT_TRUE(IsDns(Ipv6Frame({}, 6, TcpSegment(1053, 53, {}))));
    EXPECT_FALSE(IsDns(Ipv6Frame({}, 17, UdpSegment(53, 1053, {}))));
}

TEST(IsDnsDatagram, Ipv4PortIsReadAtTheRealHeaderLengthOfUdpOrTcpFirstFragments)
{
    // Options fill bytes 20-23 with 01; the port lies at the header length, up to 60 bytes.
    EXPECT_TRUE(IsDns(Ipv4Frame(17, UdpSegment(1053, 53, {}), 6)));
    EXPECT_TRUE(IsDns(Ipv4Frame(6, TcpSegment(1053, 53, {}), 15)));
    Bytes optionLooksLike53 = Ipv4Frame(17, UdpSegment(1053, 80, {}), 6);
    optionLooksLike53[22] = 0x00;
    optionLooksLike53[23] = 0x35;
    EXPECT_FALSE(IsDns(optionLooksLike53));

    // A header length under 5 words, or one the frame does not hold.
    EXPECT_FALSE(IsDns(Ipv4Frame(17, UdpSegment(1053, 53, {}), 4)));
    const Bytes longHeader = Ipv4Frame(17, UdpSegment(1053, 53, {}), 15);
    EXPECT_FALSE(IsDnsDatagram(longHeader.data(), 60));

    // Not version 4, not UDP or TCP (ICMP with 53 where a port would be).
    Bytes version5 = Datagram(1053, 53, {});
    version5[0] = 0x55;
    EXPECT_FALSE(IsDns(version5));
    EXPECT_FALSE(IsDns(Ipv4Frame(1, UdpSegment(1053, 53, {}))));

    // Flags do not matter, the fragment offset does: a later fragment holds no transport header.
    EXPECT_TRUE(IsDns(Ipv4Frame(17, UdpSegment(1053, 53, {}), 5, 0x2000)));
    EXPECT_TRUE(IsDns(Ipv4Frame(17, UdpSegment(1053, 53, {}), 5, 0x4000)));
    EXPECT_FALSE(IsDns(Ipv4Frame(17, UdpSegment(1053, 53, {}), 5, 0x0001)));
    EXPECT_FALSE(IsDns(Ipv4Frame(17, UdpSegment(1053, 53, {}), 5, 0x3FFF)));
}

TEST(IsDnsDatagram, TheWholeTransportHeaderMustBeThere)
{
    const Bytes udp = Datagram(1053, 53, {});
    EXPECT_TRUE(IsDnsDatagram(udp.data(), 28));
    EXPECT_FALSE(IsDnsDatagram(udp.data(), 27));
    EXPECT_FALSE(IsDnsDatagram(udp.data(), 0));
    const Bytes tcp = Ipv6Frame({}, 6, TcpSegment(1053, 53, {}));
    EXPECT_TRUE(IsDnsDatagram(tcp.data(), 60));
    EXPECT_FALSE(IsDnsDatagram(tcp.data(), 59));

    // The network header's length field ends the datagram, whatever follows it in the frame.
    Bytes shortTotal = udp;
    shortTotal[3] = 27;
    EXPECT_FALSE(IsDns(shortTotal));
    const Bytes shortPayload = Ipv6Frame({}, 17, {}) + UdpSegment(1053, 53, {});
    EXPECT_FALSE(IsDns(shortPayload));
}

TEST(IsDnsDatagram, Ipv6ExtensionHeadersAreFollowedToTheTransport)
{
    const Bytes udp = UdpSegment(1053, 53, {});
    EXPECT_TRUE(IsDns(Ipv6Frame({{0, 0}, {43, 2}, {44, 0, 0x0001}, {60, 1}}, 17, udp)));
    EXPECT_TRUE(IsDns(Ipv6Frame({{60, 255}}, 6, TcpSegment(1053, 53, {}))));
    EXPECT_FALSE(IsDns(Ipv6Frame({{60, 1}}, 17, UdpSegment(1053, 80, {}))));

    // A later fragment, or a header that is not walked (ESP, no next header, mobility).
    EXPECT_FALSE(IsDns(Ipv6Frame({{44, 0, 0x0008}}, 17, udp)));
    EXPECT_FALSE(IsDns(Ipv6Frame({{44, 0, 0xFFF9}}, 17, udp)));
    for (unsigned char nType : {50, 59, 135})
        EXPECT_FALSE(IsDns(Ipv6Frame({{nType, 0}}, 17, udp))) << int(nType);

    // The walk is bounded: eight extension headers are followed, a ninth is not.
    const std::vector<CExtension> eight(MAX_IPV6_EXTENSION_HEADERS, CExtension {60, 0});
    EXPECT_TRUE(IsDns(Ipv6Frame(eight, 17, udp)));
    std::vector<CExtension> nine = eight;
    nine.push_back({0, 0});
    EXPECT_FALSE(IsDns(Ipv6Frame(nine, 17, udp)));
    EXPECT_FALSE(IsDns(Ipv6Frame(std::vector<CExtension>(190, CExtension {60, 0}), 17, udp)));

    // A header that claims more bytes than the frame holds.
    Bytes pastTheEnd = Ipv6Frame({{60, 0}}, 17, udp);
    pastTheEnd[41] = 200;
    EXPECT_FALSE(IsDns(pastTheEnd));
    const Bytes chain = Ipv6Frame({{0, 1}, {60, 1}}, 17, udp);
    for (size_t nLength = 0; nLength < chain.size(); ++nLength)
        EXPECT_FALSE(IsDnsDatagram(chain.data(), nLength)) << nLength;
}

// ---------------------------------------------------------------------------------------------
// The decoder

TEST(DecodeQuestionName, WellFormedNamesAreCopiedAsTheyAre)
{
    const CDecoded mail = Decode(Wire("\x04mail\007example\x03org\0"));
    EXPECT_TRUE(mail.m_bComplete);
    EXPECT_EQ(mail.m_strText, "mail.example.org");

    EXPECT_EQ(Decode(Wire("\x04MAIL\0")).m_strText, "MAIL");
    EXPECT_EQ(Decode(Wire("\x02Us\x03V27\013DiStRiBuTeD\x03NET\0")).m_strText, "Us.V27.DiStRiBuTeD.NET");

    // Full stops, spaces and bytes above 0x7F inside a label are not escaped.
    EXPECT_EQ(Decode(Wire("\003a.b\004c d\xE9\0")).m_strText, "a.b.c d\xE9");

    // 127 bytes is the longest label a signed length byte can give; DNS would stop at 63.
    const CDecoded longest = Decode(Labels({127, 64}));
    EXPECT_TRUE(longest.m_bComplete);
    EXPECT_EQ(longest.m_strText, std::string(127, 'a') + "." + std::string(64, 'b'));
}

TEST(DecodeQuestionName, RootGivesTheEmptyTextAndIsComplete)
{
    const CDecoded root = Decode(Wire("\0"));
    EXPECT_TRUE(root.m_bComplete);
    EXPECT_EQ(root.m_strText, "");

    // Whatever follows the zero length byte is not read.
    EXPECT_EQ(Decode(Wire("\0\003abc\0")).m_strText, "");
}

TEST(DecodeQuestionName, HighLengthBytesCopyNothingButStillWriteAFullStop)
{
    const CDecoded pointer = Decode(Wire("\xC0\0"));
    EXPECT_TRUE(pointer.m_bComplete);
    EXPECT_EQ(pointer.m_strText, "");

    EXPECT_EQ(Decode(Wire("\003abc\xC0\0")).m_strText, "abc.");
    EXPECT_EQ(Decode(Wire("\x80\xFF\x01x\0")).m_strText, "..x");
}

TEST(DecodeQuestionName, CompressionPointerIsNotFollowed)
{
    // C0 gives an empty label, 0C is taken as a label length and the next twelve bytes are copied.
    const Bytes wire = Wire("\xC0\x0C\003abc\003def\0\x01\0\x01\0");
    CNameBuffer buffer;
    ASSERT_TRUE(DecodeQuestionName(wire.data(), wire.size(), buffer.Text()));
    EXPECT_EQ(buffer.Raw(14), std::string("\x2E\003abc\003def\0\x01\0\x01\0", 14));
    EXPECT_EQ(buffer.Str(), "\x2E\003abc\003def");
    EXPECT_TRUE(buffer.Intact());
}

TEST(DecodeQuestionName, ZeroByteInsideALabelEndsTheTextButNotTheDecoding)
{
    const Bytes wire = Wire("\003a\0b\001c\0");
    CNameBuffer buffer;
    ASSERT_TRUE(DecodeQuestionName(wire.data(), wire.size(), buffer.Text()));
    EXPECT_EQ(buffer.Raw(6), std::string("a\0b.c\0", 6));

    // The decoding goes on after the copied zero byte, so a name that runs out later still fails.
    EXPECT_FALSE(Decode(Wire("\003a\0b\005c")).m_bComplete);
}

TEST(DecodeQuestionName, NameEndingAtTheLastReceivedByteAndOneShort)
{
    const Bytes wire = Wire("\x04mail\007example\x03org\0");

    const CDecoded exact = Decode(wire, wire.size());
    EXPECT_TRUE(exact.m_bComplete);
    EXPECT_EQ(exact.m_strText, "mail.example.org");

    // Without its zero length byte the name is cut off; the bytes received stay decoded, terminated.
    const CDecoded noZero = Decode(Bytes(wire.begin(), wire.end() - 1));
    EXPECT_FALSE(noZero.m_bComplete);
    EXPECT_EQ(noZero.m_strText, "mail.example.org");

    const CDecoded midLabel = Decode(Bytes(wire.begin(), wire.end() - 2));
    EXPECT_FALSE(midLabel.m_bComplete);
    EXPECT_EQ(midLabel.m_strText, "mail.example.or");

    const CDecoded afterPointer = Decode(Wire("\003abc\xC0"));
    EXPECT_FALSE(afterPointer.m_bComplete);
    EXPECT_EQ(afterPointer.m_strText, "abc.");
}

TEST(DecodeQuestionName, NothingAvailableIsNotAName)
{
    CNameBuffer buffer;
    const unsigned char zero = 0;
    EXPECT_FALSE(DecodeQuestionName(&zero, 0, buffer.Text()));
    EXPECT_EQ(buffer.Str(), "");
    EXPECT_TRUE(buffer.Intact());

    EXPECT_TRUE(Decode(Wire("\0"), 1).m_bComplete);
}

TEST(DecodeQuestionName, TextOf1023CharactersFitsAndOf1024DoesNot)
{
    const CDecoded fits = Decode(Labels({127, 127, 127, 127, 127, 127, 127, 127}));
    EXPECT_TRUE(fits.m_bComplete);
    EXPECT_EQ(fits.m_strText.size(), 1023u);
    EXPECT_EQ(fits.m_strText.substr(895), "." + std::string(127, 'h'));

    // The last label would end exactly at the buffer's end, leaving no room for the NUL.
    const CDecoded tooLong = Decode(Labels({127, 127, 127, 127, 127, 127, 127, 63, 64}));
    EXPECT_FALSE(tooLong.m_bComplete);
    EXPECT_EQ(tooLong.m_strText.size(), 1023u);
    EXPECT_EQ(tooLong.m_strText.substr(959), "." + std::string(63, 'i'));

    // Full stops alone: 1024 empty labels make 1023 characters, 1025 make one too many.
    const CDecoded dots = Decode(Repeat(0x80, 1024) + Wire("\0"));
    EXPECT_TRUE(dots.m_bComplete);
    EXPECT_EQ(dots.m_strText, std::string(1023, '.'));
    const CDecoded moreDots = Decode(Repeat(0x80, 1025) + Wire("\0"));
    EXPECT_FALSE(moreDots.m_bComplete);
    EXPECT_EQ(moreDots.m_strText, std::string(1023, '.'));

    // The buffer fills before the bytes run out; the decoder must stop writing rather than read on.
    const CDecoded endless = Decode(Repeat(0x80, 1600));
    EXPECT_FALSE(endless.m_bComplete);
    EXPECT_EQ(endless.m_strText, std::string(1023, '.'));

    const CDecoded endlessLabels = Decode(Repeat(0x7F, 1600));
    EXPECT_FALSE(endlessLabels.m_bComplete);
    EXPECT_EQ(endlessLabels.m_strText.size(), 1023u);
}

// ---------------------------------------------------------------------------------------------
// The capture helper's step for each frame

TEST(ExtractQueryName, QueryGivesItsNameAndAnswerGivesNone)
{
    const Bytes name = Wire("\x03www\007example\003com\0\0\x01\0\x01");
    const CDecoded query = Extract(Datagram(40000, 53, name));
    EXPECT_TRUE(query.m_bComplete);
    EXPECT_EQ(query.m_strText, "www.example.com");

    const CDecoded answer = Extract(Datagram(53, 40000, name));
    EXPECT_FALSE(answer.m_bComplete);
    EXPECT_EQ(answer.m_strText, "");
}

TEST(ExtractQueryName, DatagramOf40BytesOrFewerHasNoName)
{
    const Bytes d = Datagram(40000, 53, Wire("\0"));
    CNameBuffer buffer;
    EXPECT_TRUE(ExtractQueryName(d.data(), 41, buffer.Text()));
    EXPECT_EQ(buffer.Str(), "");
    EXPECT_FALSE(ExtractQueryName(d.data(), 40, buffer.Text()));
    EXPECT_FALSE(ExtractQueryName(d.data(), 24, buffer.Text()));
    EXPECT_FALSE(ExtractQueryName(d.data(), 23, buffer.Text()));
    EXPECT_TRUE(buffer.Intact());
}

TEST(ExtractQueryName, NoStaleNameIsLeftInTheBuffer)
{
    CNameBuffer buffer;
    const Bytes query = Datagram(40000, 53, Wire("\x04mail\0"));
    ASSERT_TRUE(ExtractQueryName(query.data(), query.size(), buffer.Text()));
    ASSERT_EQ(buffer.Str(), "mail");

    const Bytes other = Datagram(40000, 80, Wire("\x04mail\0"));
    EXPECT_FALSE(ExtractQueryName(other.data(), other.size(), buffer.Text()));
    EXPECT_EQ(buffer.Str(), "");

    ASSERT_TRUE(ExtractQueryName(query.data(), query.size(), buffer.Text()));
    const Bytes cut = Datagram(40000, 53, Wire("\x02w"));
    EXPECT_FALSE(ExtractQueryName(cut.data(), cut.size(), buffer.Text()));
    EXPECT_EQ(buffer.Str(), "w");
}

TEST(ExtractQueryName, UdpOverIpv6AndPastIpv4Options)
{
    const Bytes message = DnsMessage(Wire("\x04mail\0"));
    EXPECT_EQ(Extract(Ipv6Frame({}, 17, UdpSegment(40000, 53, message))).m_strText, "mail");
    EXPECT_EQ(Extract(Ipv6Frame({{0, 0}, {44, 0, 1}}, 17, UdpSegment(40000, 53, message))).m_strText, "mail");
    EXPECT_EQ(Extract(Ipv4Frame(17, UdpSegment(40000, 53, message), 15)).m_strText, "mail");
}

// Addresses, ports, id and type come from the layers the walk found, options and extension headers
// skipped; a frame cut right after the name still gives the name, with type 0.
TEST(ExtractQueryName, FactsOfTheQueryComeFromItsOwnLayers)
{
    const Bytes question = Wire("\x04mail\0") + Bytes {0x00, 0x41, 0x00, 0x01}; // HTTPS, IN
    const Bytes udp6 = Ipv6Frame({{0, 0}}, 17, UdpSegment(40000, 53, DnsMessage(question)));
    const Bytes tcp4 = Ipv4Frame(6, TcpSegment(41000, 53, WithLengthPrefix(DnsMessage(question)), 6), 6);
    const Bytes cut = Ipv4Frame(17, UdpSegment(42000, 53, DnsMessage(Wire("\x04mail\0") + Bytes {0x00})));
    const struct
    {
        const char* pszWhat;
        Bytes frame;
        unsigned char nIpVersion, nProtocol, nSourceFirst, nDestinationLast;
        uint16_t nSourcePort, nQueryType;
    } rows[] = {
        {"IPv6 UDP past a hop-by-hop header", udp6, 6, 17, 0xFD, 1, 40000, 65},
        {"IPv4 TCP past options", tcp4, 4, 6, 10, 1, 41000, 65},
        {"cut before the type", cut, 4, 17, 10, 1, 42000, 0},
    };
    for (const auto& row : rows)
    {
        CNameBuffer buffer;
        CQueryFacts facts;
        ASSERT_TRUE(ExtractQueryName(row.frame.data(), row.frame.size(), buffer.Text(), &facts)) << row.pszWhat;
        EXPECT_EQ(buffer.Str(), "mail") << row.pszWhat;
        EXPECT_EQ(facts.nIpVersion, row.nIpVersion) << row.pszWhat;
        EXPECT_EQ(facts.nProtocol, row.nProtocol) << row.pszWhat;
        EXPECT_EQ(facts.abSource[0], row.nSourceFirst) << row.pszWhat;
        EXPECT_EQ(facts.abDestination[row.nIpVersion == 6 ? 15 : 3], row.nDestinationLast) << row.pszWhat;
        EXPECT_EQ(facts.nSourcePort, row.nSourcePort) << row.pszWhat;
        EXPECT_EQ(facts.nDestinationPort, 53) << row.pszWhat;
        EXPECT_EQ(facts.nDnsId, 0x1234) << row.pszWhat;
        EXPECT_EQ(facts.nQueryType, row.nQueryType) << row.pszWhat;
    }
}

TEST(ExtractQueryName, TcpQueryIsReadAfterTheOptionsAndTheLengthPrefix)
{
    // Options of 01 (no-operation) used to be read as label lengths.
    const Bytes query = WithLengthPrefix(DnsMessage(Wire("\x04mail\007example\0\0\x01\0\x01")));
    const CDecoded overIpv4 = Extract(Ipv4Frame(6, TcpSegment(40000, 53, query, 8)));
    EXPECT_TRUE(overIpv4.m_bComplete);
    EXPECT_EQ(overIpv4.m_strText, "mail.example");
    EXPECT_EQ(Extract(Ipv6Frame({{60, 0}}, 6, TcpSegment(40000, 53, query, 5))).m_strText, "mail.example");
    EXPECT_FALSE(Extract(Ipv6Frame({}, 6, TcpSegment(53, 40000, query))).m_bComplete);

    // A segment carries only part of a long query: the name is there, the rest need not be.
    Bytes cut = Ipv4Frame(6, TcpSegment(40000, 53, WithLengthPrefix(DnsMessage(Wire("\x04mail\0") + Bytes(3000, 0)))));
    cut.resize(1600);
    EXPECT_EQ(Extract(cut).m_strText, "mail");

    // No reassembly: a second query later in the segment is not read.
    EXPECT_EQ(
        Extract(Ipv4Frame(6, TcpSegment(40000, 53, query + WithLengthPrefix(DnsMessage(Wire("\x02zz\0")))))).m_strText,
        "mail.example");
}

TEST(ExtractQueryName, TcpSegmentsWithoutAWholeMessageStartGiveNoName)
{
    // Handshake, acknowledgement and FIN carry no payload, even with options.
    EXPECT_FALSE(Extract(Ipv4Frame(6, TcpSegment(40000, 53, {}, 10))).m_bComplete);
    EXPECT_FALSE(Extract(Ipv6Frame({}, 6, TcpSegment(40000, 53, {}))).m_bComplete);

    // Ethernet pads a bare acknowledgement; what follows the datagram's length is not its payload.
    const Bytes padded = Ipv4Frame(6, TcpSegment(40000, 53, {})) + WithLengthPrefix(DnsMessage(Wire("\x01x\0")));
    EXPECT_FALSE(Extract(padded).m_bComplete);

    // Data offset under 5 words, or past the segment.
    const Bytes query = WithLengthPrefix(DnsMessage(Wire("\x01x\0")));
    EXPECT_FALSE(Extract(Ipv4Frame(6, TcpSegment(40000, 53, query, 4))).m_bComplete);
    Bytes pastTheEnd = Ipv4Frame(6, TcpSegment(40000, 53, query));
    pastTheEnd[32] = 0xF0;
    EXPECT_FALSE(Extract(pastTheEnd).m_bComplete);

    // A client that writes the length on its own: neither segment starts a whole message, and
    // the second, read as if it did, asks no question (its answer count is where that would be).
    const Bytes message = DnsMessage(Wire("\x04mail\0"));
    const Bytes lengthOnly = {0, static_cast<unsigned char>(message.size())};
    EXPECT_FALSE(Extract(Ipv4Frame(6, TcpSegment(40000, 53, lengthOnly))).m_bComplete);
    EXPECT_FALSE(Extract(Ipv4Frame(6, TcpSegment(40000, 53, message))).m_bComplete);
}

TEST(ExtractQueryName, TcpLengthPrefixThatLies)
{
    const Bytes message = DnsMessage(Wire("\x04mail\0"));
    const auto WithPrefix = [&message](uint16_t nLength) {
        const Bytes prefix = {static_cast<unsigned char>(nLength >> 8), static_cast<unsigned char>(nLength)};
        return Extract(Ipv4Frame(6, TcpSegment(40000, 53, prefix + message)));
    };
    EXPECT_TRUE(WithPrefix(uint16_t(message.size())).m_bComplete);
    // Longer than the segment: the capture may have cut it, so the name still counts.
    EXPECT_TRUE(WithPrefix(0xFFFF).m_bComplete);
    // Too short for the header and a name, or ending inside the name.
    for (uint16_t nLength : {0, 1, 12, 13, 17})
        EXPECT_FALSE(WithPrefix(nLength).m_bComplete) << nLength;
    EXPECT_TRUE(Extract(Ipv4Frame(6, TcpSegment(40000, 53, WithLengthPrefix(DnsMessage(Wire("\0")))))).m_bComplete);

    Bytes noQuestion = WithLengthPrefix(message);
    noQuestion[2 + 5] = 0;
    EXPECT_FALSE(Extract(Ipv4Frame(6, TcpSegment(40000, 53, noQuestion))).m_bComplete);
}

// ---------------------------------------------------------------------------------------------
// Frames from real captures

TEST(ExtractQueryNameFromCaptures, OrdinaryQueriesAndTheirAnswers)
{
    const std::vector<Bytes> udp = ReadCaptureFrames("tcpdump-dns_udp.pcap");
    ASSERT_EQ(udp.size(), 2u);
    EXPECT_EQ(Extract(udp[0]).m_strText, "www.tcpdump.org");
    EXPECT_TRUE(Extract(udp[0]).m_bComplete);
    EXPECT_FALSE(Extract(udp[1]).m_bComplete);

    const std::vector<Bytes> other = ReadCaptureFrames("tcpdump-dns_udp_8053.pcap");
    ASSERT_EQ(other.size(), 2u);
    for (const Bytes& d : other)
        EXPECT_FALSE(Extract(d).m_bComplete);

    // Queries and answers alternate on one client port; the answers come from 53 and are dropped.
    const std::vector<Bytes> session = ReadCaptureFrames("zeek-long-connection.pcap");
    ASSERT_EQ(session.size(), 22u);
    std::vector<std::string> names;
    for (const Bytes& d : session)
    {
        const CDecoded decoded = Extract(d);
        if (decoded.m_bComplete)
            names.push_back(decoded.m_strText);
    }
    ASSERT_EQ(names.size(), 11u);
    EXPECT_EQ(names[0], "google.com");
    EXPECT_EQ(names[2], "104.9.192.66.in-addr.arpa");
    EXPECT_EQ(names[3], "www.netbsd.org");
}

TEST(ExtractQueryNameFromCaptures, CompressionLoopsAreReadAsLabels)
{
    const std::vector<Bytes> loop1 = ReadCaptureFrames("tcpdump-dns-zlip-1.pcap");
    ASSERT_EQ(loop1.size(), 1u);
    const CDecoded decoded1 = Extract(loop1[0]);
    EXPECT_TRUE(decoded1.m_bComplete);
    EXPECT_EQ(decoded1.m_strText, ".\xC0\x07\xC0\x10\xC0\x17\xC0\x20\xC0\x27\xC0\x30...");

    const std::vector<Bytes> loop2 = ReadCaptureFrames("tcpdump-dns-zlip-2.pcap");
    ASSERT_EQ(loop2.size(), 1u);
    const CDecoded decoded2 = Extract(loop2[0]);
    EXPECT_TRUE(decoded2.m_bComplete);
    EXPECT_EQ(decoded2.m_strText, ".\xC0\x0C\xC0\x10\xC0\x17\xC0\x20\xC0\x27\xC0\x30\xC0\xFF.");

    // A long label followed by pointers that only end with the datagram.
    const std::vector<Bytes> loop3 = ReadCaptureFrames("tcpdump-dns-zlip-3.pcap");
    ASSERT_EQ(loop3.size(), 1u);
    const CDecoded decoded3 = Extract(loop3[0]);
    EXPECT_FALSE(decoded3.m_bComplete);
    EXPECT_EQ(decoded3.m_strText.substr(0, 13), "thisleetostri");
}

TEST(ExtractQueryNameFromCaptures, NamesRunningPastThePacketGiveNothing)
{
    const std::vector<Bytes> invalid = ReadCaptureFrames("zeek-dns-invalid-names.pcap");
    ASSERT_EQ(invalid.size(), 3u);
    for (const Bytes& d : invalid)
    {
        ASSERT_TRUE(IsDnsDatagram(d.data(), d.size()));
        EXPECT_FALSE(Extract(d).m_bComplete);
    }
}

// The names of all frames that give one, in order.
std::vector<std::string> NamesIn(const std::vector<Bytes>& frames)
{
    std::vector<std::string> names;
    for (const Bytes& frame : frames)
    {
        const CDecoded decoded = Extract(frame);
        if (decoded.m_bComplete)
            names.push_back(decoded.m_strText);
    }
    return names;
}

TEST(ExtractQueryNameFromCaptures, DnsOverTcpGivesTheQueryOnceAndNothingForTheRestOfTheConnection)
{
    // Handshake, acknowledgements, the answer from port 53 and the closing segments give nothing.
    const std::vector<Bytes> tcp = ReadCaptureFrames("tcpdump-dns_tcp.pcap");
    ASSERT_EQ(tcp.size(), 11u);
    EXPECT_EQ(NamesIn(tcp), std::vector<std::string> {"www.tcpdump.org"});
    EXPECT_EQ(Extract(tcp[3]).m_strText, "www.tcpdump.org");
    EXPECT_TRUE(IsDnsDatagram(tcp[2].data(), tcp[2].size()));
}

TEST(ExtractQueryNameFromCaptures, QueriesOverIpv6AndTcpWithOptions)
{
    // Answers over IPv4 and IPv6, UDP and TCP, and a later IPv4 fragment give nothing; the last
    // query goes over TCP behind timestamp options (a 32-byte TCP header).
    const std::vector<std::string> names = NamesIn(ReadCaptureFrames("zeek-dns-edns-ecs.pcap"));
    // From the fourth on they go over IPv6, except the sixth and the last two; the last over TCP.
    const std::vector<std::string> expected = {"ns1.weberdns.de",
                                               "ns1.weberdns.de",
                                               "weberdns.de",
                                               "pa.weberlab.de",
                                               "fg2.weberlab.de",
                                               "fg2.weberlab.de",
                                               "fg2.weberlab.de",
                                               "fg2.weberlab.de",
                                               "fg2-mgmt.weberlab.de",
                                               "fg2-mgmt.weberlab.de",
                                               "fg2-mgmt.weberlab.de",
                                               "fg2-mgmt.weberlab.de",
                                               "sigok.verteiltesysteme.net",
                                               "sigfail.verteiltesysteme.net",
                                               "formel1.de",
                                               "erfpop.de",
                                               "weberlab.de",
                                               "weberlab.de",
                                               "weberlab.de",
                                               "weberlab.de"};
    EXPECT_EQ(names, expected);
}

} // namespace
