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

    size_t m_nLength = 0;

    CNameBuffer() { m_buffer.fill('\xA5'); }
    char* Text() { return m_buffer.data(); }
    std::string Str() const { return std::string(m_buffer.data(), m_nLength); }

    ::testing::AssertionResult Intact() const
    {
        if (m_nLength >= NAME_BUFFER_SIZE || m_buffer[m_nLength] != '\0')
            return ::testing::AssertionFailure() << "no NUL after the text's " << m_nLength << " bytes";
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
    const bool bComplete = DecodeQuestionName(wire.data(), nAvailable, buffer.Text(), buffer.m_nLength);
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

// The text of such a name, or of one whose labels are all of the byte c.
std::string Text(const std::vector<int>& lengths, char c = 0)
{
    std::string strText;
    for (size_t i = 0; i < lengths.size(); ++i)
    {
        if (i != 0)
            strText += '.';
        strText.append(size_t(lengths[i]), c != 0 ? c : char('a' + i % 26));
    }
    return strText;
}

// An IPv4 UDP datagram with a 20-byte header, a DNS header, then `name`.
Bytes Datagram(uint16_t nSourcePort, uint16_t nDestPort, const Bytes& name)
{
    return Ipv4Frame(17, UdpSegment(nSourcePort, nDestPort, DnsMessage(name)));
}

CDecoded Extract(const Bytes& datagram)
{
    CNameBuffer buffer;
    const bool bName = ExtractQueryName(datagram.data(), datagram.size(), buffer.Text(), buffer.m_nLength);
    EXPECT_TRUE(buffer.Intact());
    return {bName, buffer.Str()};
}

// ---------------------------------------------------------------------------------------------
// Which frames are taken: IPv4 and IPv6, UDP and TCP, queries to port 53

// The frame with the given bytes changed.
Bytes Patched(Bytes frame, std::initializer_list<std::pair<size_t, unsigned char>> changes)
{
    for (const auto& [nOffset, nValue] : changes)
        frame.at(nOffset) = nValue;
    return frame;
}

// Destination port 53 over UDP or TCP, IPv4 or IPv6, read where the real header lengths put it and
// only in a first fragment; the whole message within the network header's own length; IPv6
// extension headers followed to the transport, eight of them at most; and the QR bit clear,
// whatever the ports and the other flags say.
TEST(ExtractQueryName, TakesQueriesToPort53AndNothingElse)
{
    constexpr size_t WHOLE = SIZE_MAX;
    const Bytes root = DnsMessage(Wire("\0"));
    const Bytes udp = UdpSegment(1053, 53, root), tcp = TcpSegment(1053, 53, WithLengthPrefix(root));
    const Bytes udp4 = Ipv4Frame(17, udp), tcp6 = Ipv6Frame({}, 6, tcp);
    const std::vector<CExtension> eight(MAX_IPV6_EXTENSION_HEADERS, CExtension {60, 0});
    std::vector<CExtension> nine = eight;
    nine.push_back({0, 0});
    // The flags follow the 20-byte IPv4 and UDP headers, or the IPv6 and TCP ones and the length prefix.
    constexpr size_t UDP4_FLAGS = 20 + 8 + 2, TCP6_FLAGS = 40 + 20 + 2 + 2;
    const struct
    {
        const char* pszWhat;
        Bytes frame;
        size_t nLength;
        bool bName;
    } rows[] = {
        {"IPv4 UDP to 53", udp4, WHOLE, true},
        {"IPv4 UDP from 53", Datagram(53, 1053, Wire("\0")), WHOLE, false},
        {"port bytes swapped", Datagram(1053, 0x3500, Wire("\0")), WHOLE, false},
        {"mDNS", Datagram(5353, 5353, Wire("\0")), WHOLE, false},
        {"IPv4 TCP to 53", Ipv4Frame(6, tcp), WHOLE, true},
        {"IPv6 UDP to 53", Ipv6Frame({}, 17, udp), WHOLE, true},
        {"IPv6 TCP to 53", tcp6, WHOLE, true},
        {"IPv6 UDP from 53", Ipv6Frame({}, 17, UdpSegment(53, 1053, root)), WHOLE, false},
        // A server that asks from port 53 is answered on port 53.
        {"every flag but QR", Patched(udp4, {{UDP4_FLAGS, 0x7F}, {UDP4_FLAGS + 1, 0xFF}}), WHOLE, true},
        {"UDP answer to 53", Patched(Datagram(53, 53, Wire("\0")), {{UDP4_FLAGS, 0x80}}), WHOLE, false},
        {"TCP answer to 53", Patched(tcp6, {{TCP6_FLAGS, 0x81}}), WHOLE, false},
        // Options fill bytes 20-23 with 01; the port lies at the header length, up to 60 bytes.
        {"IPv4 UDP past options", Ipv4Frame(17, udp, 6), WHOLE, true},
        {"IPv4 TCP past 40 bytes of options", Ipv4Frame(6, tcp, 15), WHOLE, true},
        {"an option that looks like 53", Patched(Ipv4Frame(17, UdpSegment(1053, 80, root), 6), {{22, 0}, {23, 0x35}}),
         WHOLE, false},
        {"IPv4 header under 5 words", Ipv4Frame(17, udp, 4), WHOLE, false},
        {"IPv4 header the frame does not hold", Ipv4Frame(17, udp, 15), 60, false},
        {"IP version 5", Patched(udp4, {{0, 0x55}}), WHOLE, false},
        {"ICMP with 53 where a port would be", Ipv4Frame(1, udp), WHOLE, false},
        // Flags do not matter, the fragment offset does: a later fragment holds no transport header.
        {"more fragments", Ipv4Frame(17, udp, 5, 0x2000), WHOLE, true},
        {"do not fragment", Ipv4Frame(17, udp, 5, 0x4000), WHOLE, true},
        {"later fragment", Ipv4Frame(17, udp, 5, 0x0001), WHOLE, false},
        {"later fragment, all flags", Ipv4Frame(17, udp, 5, 0x3FFF), WHOLE, false},
        {"whole TCP query", tcp6, tcp6.size(), true},
        {"TCP query one short", tcp6, tcp6.size() - 1, false},
        {"nothing", udp4, 0, false},
        // The network header's length field ends the datagram, whatever follows it in the frame.
        {"IPv4 total length one short", Patched(udp4, {{3, uint8_t(udp4.size() - 1)}}), WHOLE, false},
        {"IPv6 payload length short", Ipv6Frame({}, 17, {}) + udp, WHOLE, false},
        {"IPv6 past extension headers", Ipv6Frame({{0, 0}, {43, 2}, {44, 0, 0x0001}, {60, 1}}, 17, udp), WHOLE, true},
        {"IPv6 TCP past a long header", Ipv6Frame({{60, 255}}, 6, tcp), WHOLE, true},
        {"IPv6 past a header, to 80", Ipv6Frame({{60, 1}}, 17, UdpSegment(1053, 80, root)), WHOLE, false},
        {"IPv6 later fragment", Ipv6Frame({{44, 0, 0x0008}}, 17, udp), WHOLE, false},
        {"IPv6 later fragment, all bits", Ipv6Frame({{44, 0, 0xFFF9}}, 17, udp), WHOLE, false},
        {"ESP", Ipv6Frame({{50, 0}}, 17, udp), WHOLE, false},
        {"no next header", Ipv6Frame({{59, 0}}, 17, udp), WHOLE, false},
        {"mobility", Ipv6Frame({{135, 0}}, 17, udp), WHOLE, false},
        {"eight extension headers", Ipv6Frame(eight, 17, udp), WHOLE, true},
        {"nine", Ipv6Frame(nine, 17, udp), WHOLE, false},
        {"190", Ipv6Frame(std::vector<CExtension>(190, CExtension {60, 0}), 17, udp), WHOLE, false},
        {"a header past the frame's end", Patched(Ipv6Frame({{60, 0}}, 17, udp), {{41, 200}}), WHOLE, false},
    };
    for (const auto& row : rows)
    {
        const Bytes frame(row.frame.begin(), row.frame.begin() + std::min(row.nLength, row.frame.size()));
        EXPECT_EQ(Extract(frame).m_bComplete, row.bName) << row.pszWhat;
    }
    const Bytes chain = Ipv6Frame({{0, 1}, {60, 1}}, 17, udp);
    for (size_t nLength = 0; nLength < chain.size(); ++nLength)
        EXPECT_FALSE(Extract(Bytes(chain.begin(), chain.begin() + nLength)).m_bComplete) << nLength;
}

// ---------------------------------------------------------------------------------------------
// The decoder

// Whether the name ended within the bytes received, and its text: a cut-off name keeps what was
// decoded, terminated, a full buffer stops the decoder writing rather than reading on, and a label
// longer than DNS allows leaves no text.
TEST(DecodeQuestionName, NamesWholeCutMalformedOrTooLongForTheBuffer)
{
    const Bytes mail = Wire("\x04mail\007example\x03org\0");
    const std::vector<int> sixteen63(16, 63);
    std::vector<int> text1024(15, 63);
    text1024.insert(text1024.end(), {62, 1});
    const struct
    {
        const char* pszWhat;
        Bytes wire;
        size_t nWithheld; // bytes at the end not counted as received
        bool bComplete;
        std::string strText;
    } rows[] = {
        {"well formed", mail, 0, true, "mail.example.org"},
        {"case kept", Wire("\x02Us\x03V27\013DiStRiBuTeD\x03NET\0"), 0, true, "Us.V27.DiStRiBuTeD.NET"},
        {"full stop, space, high byte unescaped", Wire("\003a.b\004c d\xE9\0"), 0, true, "a.b.c d\xE9"},
        {"label of 63", Labels({63, 1}), 0, true, Text({63, 1})},
        {"label of 64", Labels({64, 1}), 0, false, ""},
        {"label of 64 after one of 63", Labels({63, 64}), 0, false, ""},
        {"label of 127", Labels({1, 127}), 0, false, ""},
        {"root", Wire("\0"), 0, true, ""},
        {"nothing read past the root", Wire("\0\003abc\0"), 0, true, ""},
        // High length bytes copy nothing but still write a full stop.
        {"pointer alone", Wire("\xC0\0"), 0, true, ""},
        {"pointer after a label", Wire("\003abc\xC0\0"), 0, true, "abc."},
        {"high length bytes", Wire("\x80\xFF\x01x\0"), 0, true, "..x"},
        {"no zero length byte", Bytes(mail.begin(), mail.end() - 1), 0, false, "mail.example.org"},
        {"cut in a label", Bytes(mail.begin(), mail.end() - 2), 0, false, "mail.example.or"},
        {"cut after a pointer", Wire("\003abc\xC0"), 0, false, "abc."},
        {"nothing received", Wire("\0"), 1, false, ""},
        {"1023 characters fit", Labels(sixteen63), 0, true, Text(sixteen63)},
        // The last label would end exactly at the buffer's end, leaving no room for the NUL.
        {"1024 do not", Labels(text1024), 0, false, Text(text1024).substr(0, 1023)},
        {"1024 empty labels", Repeat(0x80, 1024) + Wire("\0"), 0, true, std::string(1023, '.')},
        {"1025 empty labels", Repeat(0x80, 1025) + Wire("\0"), 0, false, std::string(1023, '.')},
        {"endless empty labels", Repeat(0x80, 1600), 0, false, std::string(1023, '.')},
        {"endless labels", Repeat(63, 1600), 0, false, Text(sixteen63, 63)},
    };
    for (const auto& row : rows)
    {
        const CDecoded decoded = Decode(row.wire, row.wire.size() - row.nWithheld);
        EXPECT_EQ(decoded.m_bComplete, row.bComplete) << row.pszWhat;
        EXPECT_EQ(decoded.m_strText, row.strText) << row.pszWhat;
    }
}

TEST(DecodeQuestionName, CompressionPointerIsNotFollowed)
{
    // C0 gives an empty label, 0C is taken as a label length and the next twelve bytes are copied.
    const CDecoded decoded = Decode(Wire("\xC0\x0C\003abc\003def\0\x01\0\x01\0"));
    ASSERT_TRUE(decoded.m_bComplete);
    EXPECT_EQ(decoded.m_strText, std::string("\x2E\003abc\003def\0\x01\0\x01", 13));
}

// A label may carry a zero byte: the text keeps it and every byte after it, so the name is not
// taken for the one that ends there.
TEST(DecodeQuestionName, ZeroByteInsideALabelIsPartOfTheText)
{
    const Bytes wire = Wire("\003www\004bank\004com\0\006c2data\004evil\004test\0");
    const std::string strText("www.bank.com\0.c2data.evil.test", 30);
    EXPECT_EQ(Decode(wire).m_strText, strText);
    // The helper's text is the name's presentation form: the zero byte is \000, the dot after it
    // one between labels.
    EXPECT_EQ(Extract(Datagram(40000, 53, wire)).m_strText, "www.bank.com\\000.c2data.evil.test");

    // The decoding goes on after the copied zero byte, so a name that runs out later still fails.
    EXPECT_FALSE(Decode(Wire("\003a\0b\005c")).m_bComplete);
}

// ---------------------------------------------------------------------------------------------
// The capture helper's step for each frame

// The helper's text is the name in its master-file form, as dig writes it, so that no name can
// pass for another: each byte the form gives a meaning, in a label, at its end, and the root.
TEST(ExtractQueryName, EveryNameIsInTheFormDigWrites)
{
    const struct
    {
        const char* pszWire;
        size_t nWire;
        const char* pszText;
    } rows[] = {
        {"\003www\007example\003com\0", 17, "www.example.com"},
        {"\0", 1, "."},
        // One label that holds a dot, against two labels.
        {"\010www.bank\003com\0", 14, "www\\.bank.com"},
        {"\003www\004bank\003com\0", 14, "www.bank.com"},
        {"\001\"\001(\001)\001;\001\\\001@\001$\0", 15, "\\\".\\(.\\).\\;.\\\\.\\@.\\$"},
        {"\003a b\0", 5, "a\\032b"},
        {"\002a\t\002\x7f\x80\0", 7, "a\\009.\\127\\128"},
        {"\004end;\0", 6, "end\\;"},
        {"\001\0\0", 3, "\\000"},
        // Printable ASCII the form leaves alone.
        {"\010-_*!#%&+\0", 10, "-_*!#%&+"},
    };
    for (const auto& row : rows)
    {
        const CDecoded decoded = Extract(Datagram(40000, 53, Bytes(row.pszWire, row.pszWire + row.nWire)));
        EXPECT_TRUE(decoded.m_bComplete) << row.pszText;
        EXPECT_EQ(decoded.m_strText, row.pszText);
    }
}

TEST(ExtractQueryName, DatagramOf40BytesOrFewerHasNoName)
{
    const Bytes d = Datagram(40000, 53, Wire("\0"));
    for (size_t nLength : {41, 40, 24, 23})
    {
        const CDecoded decoded = Extract(Bytes(d.begin(), d.begin() + nLength));
        EXPECT_EQ(decoded.m_bComplete, nLength == 41) << nLength;
        // The root's form.
        EXPECT_EQ(decoded.m_strText, nLength == 41 ? "." : "") << nLength;
    }
}

TEST(ExtractQueryName, NoStaleNameIsLeftInTheBuffer)
{
    CNameBuffer buffer;
    const auto Step = [&buffer](const Bytes& frame) {
        return ExtractQueryName(frame.data(), frame.size(), buffer.Text(), buffer.m_nLength);
    };
    const Bytes query = Datagram(40000, 53, Wire("\x04mail\0"));
    ASSERT_TRUE(Step(query));
    ASSERT_EQ(buffer.Str(), "mail");

    EXPECT_FALSE(Step(Datagram(40000, 80, Wire("\x04mail\0"))));
    EXPECT_EQ(buffer.Str(), "");

    ASSERT_TRUE(Step(query));
    EXPECT_FALSE(Step(Datagram(40000, 53, Wire("\x02w"))));
    EXPECT_EQ(buffer.Str(), "w");
    EXPECT_TRUE(buffer.Intact());
}

// Addresses, ports, id and type come from the layers the walk found, options and extension headers
// skipped; a frame cut right after the name still gives the name, with no type, which type 0 is not.
TEST(ExtractQueryName, FactsOfTheQueryComeFromItsOwnLayers)
{
    const Bytes question = Wire("\x04mail\0") + Bytes {0x00, 0x41, 0x00, 0x01}; // HTTPS, IN
    const Bytes udp = UdpSegment(40000, 53, DnsMessage(question));
    const Bytes tcp = TcpSegment(41000, 53, WithLengthPrefix(DnsMessage(question)), 6);
    const Bytes cut = Ipv4Frame(17, UdpSegment(42000, 53, DnsMessage(Wire("\x04mail\0") + Bytes {0x00})));
    const Bytes type0 = Ipv4Frame(17, UdpSegment(42000, 53, DnsMessage(Wire("\x04mail\0") + Bytes {0x00, 0x00})));
    const struct
    {
        const char* pszWhat;
        Bytes frame;
        unsigned char nIpVersion, nProtocol, nSourceFirst, nDestinationLast;
        uint16_t nSourcePort, nQueryType;
        bool bHasType;
    } rows[] = {
        {"IPv6 UDP", Ipv6Frame({}, 17, udp), 6, 17, 0xFD, 1, 40000, 65, true},
        {"IPv6 UDP past hop-by-hop and first-fragment headers", Ipv6Frame({{0, 0}, {44, 0, 1}}, 17, udp), 6, 17, 0xFD,
         1, 40000, 65, true},
        {"IPv4 UDP past 40 bytes of options", Ipv4Frame(17, udp, 15), 4, 17, 10, 1, 40000, 65, true},
        // Options of 01 (no-operation) used to be read as label lengths.
        {"IPv4 TCP past options, after the length prefix", Ipv4Frame(6, tcp, 6), 4, 6, 10, 1, 41000, 65, true},
        {"IPv6 TCP past a destination-options header", Ipv6Frame({{60, 0}}, 6, tcp), 6, 6, 0xFD, 1, 41000, 65, true},
        {"cut before the type", cut, 4, 17, 10, 1, 42000, 0, false},
        {"type 0", type0, 4, 17, 10, 1, 42000, 0, true},
    };
    for (const auto& row : rows)
    {
        CNameBuffer buffer;
        CQueryFacts facts;
        ASSERT_TRUE(ExtractQueryName(row.frame.data(), row.frame.size(), buffer.Text(), buffer.m_nLength, &facts))
            << row.pszWhat;
        EXPECT_EQ(buffer.Str(), "mail") << row.pszWhat;
        EXPECT_EQ(facts.nIpVersion, row.nIpVersion) << row.pszWhat;
        EXPECT_EQ(facts.nProtocol, row.nProtocol) << row.pszWhat;
        EXPECT_EQ(facts.abSource[0], row.nSourceFirst) << row.pszWhat;
        EXPECT_EQ(facts.abDestination[row.nIpVersion == 6 ? 15 : 3], row.nDestinationLast) << row.pszWhat;
        EXPECT_EQ(facts.nSourcePort, row.nSourcePort) << row.pszWhat;
        EXPECT_EQ(facts.nDestinationPort, 53) << row.pszWhat;
        EXPECT_EQ(facts.nDnsId, 0x1234) << row.pszWhat;
        EXPECT_EQ(facts.nQueryType, row.nQueryType) << row.pszWhat;
        EXPECT_EQ(facts.bHasType, row.bHasType) << row.pszWhat;
    }
}

TEST(ExtractQueryName, TcpSegmentGivesItsFirstQueryEvenCut)
{
    // A segment carries only part of a long query: the name is there, the rest need not be.
    Bytes cut = Ipv4Frame(6, TcpSegment(40000, 53, WithLengthPrefix(DnsMessage(Wire("\x04mail\0") + Bytes(3000, 0)))));
    cut.resize(1600);
    EXPECT_EQ(Extract(cut).m_strText, "mail");

    // No reassembly: a second query later in the segment is not read.
    const Bytes two = WithLengthPrefix(DnsMessage(Wire("\x04mail\0"))) + WithLengthPrefix(DnsMessage(Wire("\x02zz\0")));
    EXPECT_EQ(Extract(Ipv4Frame(6, TcpSegment(40000, 53, two))).m_strText, "mail");
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

// Each file's frames, how many give a name, and those names in order: answers (to port 53 too),
// other ports, a later IPv4 fragment, TCP handshakes, acknowledgements and closing segments give
// none, names running past the packet give nothing, and compression loops are read as labels.
TEST(ExtractQueryNameFromCaptures, EachFileGivesTheNamesOfItsQueriesOnly)
{
    const struct
    {
        const char* pszFile;
        size_t nFrames, nNamed;
        const char* pszNames; // joined by |
    } files[] = {
        {"tcpdump-dns_udp.pcap", 2, 1, "www.tcpdump.org"},
        {"tcpdump-dns_udp_8053.pcap", 2, 0, ""},
        // An answer from port 53 to port 53.
        {"zeek-dns53.pcap", 1, 0, ""},
        {"tcpdump-dns_tcp.pcap", 11, 1, "www.tcpdump.org"},
        // Queries and answers alternate on one client port.
        {"zeek-long-connection.pcap", 22, 11,
         "google.com|google.com|104.9.192.66.in-addr.arpa|www.netbsd.org|www.netbsd.org|www.netbsd.org|"
         "www.google.com|www.l.google.com|www.example.com|www.example.notginh|www.isc.org"},
        {"zeek-dns-invalid-names.pcap", 3, 0, ""},
        // Pointers read as labels (one of 0xC0 is empty), in the presentation form.
        {"tcpdump-dns-zlip-1.pcap", 1, 1, ".\\192\\007\\192\\016\\192\\023\\192\\032\\192'\\1920..."},
        {"tcpdump-dns-zlip-2.pcap", 1, 1, ".\\192\\012\\192\\016\\192\\023\\192\\032\\192'\\1920\\192\\255."},
        // A long label followed by pointers that only end with the datagram.
        {"tcpdump-dns-zlip-3.pcap", 1, 0, ""},
        // From the fourth on over IPv6, except the sixth and the last two; the last over TCP behind
        // timestamp options (a 32-byte TCP header).
        {"zeek-dns-edns-ecs.pcap", 89, 20,
         "ns1.weberdns.de|ns1.weberdns.de|weberdns.de|pa.weberlab.de|fg2.weberlab.de|fg2.weberlab.de|"
         "fg2.weberlab.de|fg2.weberlab.de|fg2-mgmt.weberlab.de|fg2-mgmt.weberlab.de|fg2-mgmt.weberlab.de|"
         "fg2-mgmt.weberlab.de|sigok.verteiltesysteme.net|sigfail.verteiltesysteme.net|formel1.de|erfpop.de|"
         "weberlab.de|weberlab.de|weberlab.de|weberlab.de"},
    };
    for (const auto& file : files)
    {
        const std::vector<Bytes> frames = ReadCaptureFrames(file.pszFile);
        std::string strNames;
        size_t nNamed = 0;
        for (const Bytes& frame : frames)
        {
            if (const CDecoded decoded = Extract(frame); decoded.m_bComplete)
            {
                strNames += (nNamed == 0 ? "" : "|") + decoded.m_strText;
                ++nNamed;
            }
        }
        EXPECT_EQ(frames.size(), file.nFrames) << file.pszFile;
        EXPECT_EQ(nNamed, file.nNamed) << file.pszFile;
        EXPECT_EQ(strNames, file.pszNames) << file.pszFile;
    }
}

} // namespace
