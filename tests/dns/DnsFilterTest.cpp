#include "dns/DnsFilter.h"
#include "dns/DnsName.h"
#include "ClassicBpf.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <linux/if_ether.h>

namespace {

constexpr unsigned SNAP_LENGTH = 1600;
constexpr unsigned RESPONSE_SNAP_LENGTH = 16384;
constexpr unsigned HELLO_SNAP_LENGTH = 4096;

// What the kernel would keep of the frame: its link protocol follows the version nibble, as on
// a real interface.
uint32_t Kept(const CBytes& frame, size_t nLength)
{
    static const std::vector<sock_filter> s_program = BuildDnsFilter(SNAP_LENGTH);
    const uint16_t nProtocol = !frame.empty() && (frame[0] >> 4) == 6 ? ETH_P_IPV6 : ETH_P_IP;
    const std::optional<uint32_t> kept = RunClassicBpf(s_program, frame.data(), nLength, nProtocol);
    EXPECT_TRUE(kept.has_value()) << "the kernel would refuse the program";
    return kept.value_or(0);
}

uint32_t Kept(const CBytes& frame)
{
    return Kept(frame, frame.size());
}

// Whether the decoder names a query in the frame.
bool Named(const CBytes& frame, size_t nLength)
{
    char szText[NAME_BUFFER_SIZE];
    size_t nTextLength = 0;
    return ExtractQueryName(frame.data(), nLength, szText, nTextLength);
}

// Frames the decoder takes and frames it does not, across every rule of the filter, and whether
// the filter keeps each, with bQueriesOnly or without (then responses from port 53 too).
struct CMixedFrame
{
    CBytes frame;
    bool bKept, bKeptWithAnswers;
};

std::vector<CMixedFrame> MixedFrames()
{
    const CBytes query = DnsMessage({3, 'w', 'w', 'w', 0, 0, 1, 0, 1});
    CBytes answer = query;
    answer[2] |= 0x80;
    const CBytes udp = UdpSegment(40000, 53, query);
    const CBytes tcp = TcpSegment(40000, 53, WithLengthPrefix(query), 8);
    const std::vector<CExtension> eight(MAX_IPV6_EXTENSION_HEADERS, CExtension {60, 0});
    std::vector<CExtension> nine = eight;
    nine.push_back({0, 0});
    return {
        {Ipv4Frame(17, udp), true, true},
        {Ipv4Frame(6, tcp), true, true},
        {Ipv4Frame(17, udp, 15), true, true},
        {Ipv4Frame(17, udp, 4), false, false},
        {Ipv4Frame(17, udp, 5, 0x2000), true, true},
        {Ipv4Frame(17, udp, 5, 0x2001), false, false},
        {Ipv4Frame(1, udp), false, false},
        {Ipv4Frame(17, UdpSegment(53, 40000, query)), false, false},
        {Ipv4Frame(17, UdpSegment(53, 53, answer)), false, true},
        {Ipv6Frame({{60, 0}}, 6, TcpSegment(53, 53, WithLengthPrefix(answer), 6)), false, true},
        {Ipv4Frame(6, TcpSegment(40000, 80, {})), false, false},
        {Ipv4Frame(6, TcpSegment(40000, 53, {})), false, false},
        {Ipv4Frame(17, UdpSegment(53, 40000, answer)), false, true},
        {Ipv4Frame(6, TcpSegment(53, 40000, WithLengthPrefix(answer), 8)), false, true},
        {Ipv4Frame(17, UdpSegment(40000, 53, answer)), false, false},
        {Ipv6Frame({}, 17, udp), true, true},
        {Ipv6Frame({}, 6, tcp), true, true},
        {Ipv6Frame({{0, 0}, {43, 2}, {44, 0, 1}, {60, 1}}, 17, udp), true, true},
        {Ipv6Frame({{44, 0, 8}}, 17, udp), false, false},
        {Ipv6Frame(eight, 6, tcp), true, true},
        {Ipv6Frame(nine, 6, tcp), false, false},
        {Ipv6Frame({{60, 255}}, 17, udp), true, true},
        {Ipv6Frame({{50, 0}}, 17, udp), false, false},
        {Ipv6Frame({}, 58, udp), false, false},
        {Ipv6Frame({{0, 0}}, 17, UdpSegment(40000, 5353, query)), false, false},
    };
}

// Queries are cut to 1600 bytes; with answers wanted, responses to 16 KiB, so that their answers
// are read live as from a file.
TEST(DnsFilter, KeepsEveryFrameTheDecoderTakesCutTo1600BytesAndDropsAnswers)
{
    const std::vector<sock_filter> answersToo = BuildDnsFilter(SNAP_LENGTH, false, RESPONSE_SNAP_LENGTH);
    // Encrypted DNS changes nothing for DNS's own frames.
    const std::vector<sock_filter> encryptedToo =
        BuildDnsFilter(SNAP_LENGTH, false, RESPONSE_SNAP_LENGTH, HELLO_SNAP_LENGTH);
    for (const CMixedFrame& mixed : MixedFrames())
    {
        const CBytes& frame = mixed.frame;
        // Each frame, and each of its beginnings, as a capture might cut it.
        for (size_t nLength = 0; nLength <= frame.size(); ++nLength)
        {
            if (Named(frame, nLength))
            {
                EXPECT_EQ(Kept(frame, nLength), SNAP_LENGTH) << nLength << " of " << ::testing::PrintToString(frame);
            }
        }
        EXPECT_EQ(Kept(frame), mixed.bKept ? SNAP_LENGTH : 0u) << ::testing::PrintToString(frame);
        const uint16_t nProtocol = (frame[0] >> 4) == 6 ? ETH_P_IPV6 : ETH_P_IP;
        const auto kept = RunClassicBpf(answersToo, frame.data(), frame.size(), nProtocol);
        EXPECT_EQ(kept, mixed.bKeptWithAnswers ? (mixed.bKept ? SNAP_LENGTH : RESPONSE_SNAP_LENGTH) : 0u)
            << ::testing::PrintToString(frame);
        EXPECT_EQ(RunClassicBpf(encryptedToo, frame.data(), frame.size(), nProtocol), kept);
    }

    // Other link protocols, whatever their bytes look like.
    const CBytes frame = Ipv4Frame(17, UdpSegment(40000, 53, {}));
    const std::vector<sock_filter> program = BuildDnsFilter(SNAP_LENGTH);
    EXPECT_EQ(RunClassicBpf(program, frame.data(), frame.size(), ETH_P_ARP), 0u);
}

// With encrypted DNS, what opens a connection to port 853 or 443 is kept too, and nothing else of
// it: a TLS ClientHello's segment, and a QUIC packet with the long header.
TEST(DnsFilter, WithEncryptedDnsKeepsOnlyWhatOpensAConnection)
{
    const CBytes hello = TlsClientHello({TlsServerName("dns.google")});
    const CBytes quicInitial = CBytes {0xc3, 0, 0, 0, 1} + CBytes(40);
    const struct
    {
        const char* pszWhat;
        CBytes frame;
        unsigned nKept;
    } cases[] = {
        {"a hello to 853", Ipv4Frame(6, TcpSegment(40000, 853, hello)), HELLO_SNAP_LENGTH},
        {"a hello to 443, options first", Ipv4Frame(6, TcpSegment(40000, 443, hello, 8)), HELLO_SNAP_LENGTH},
        {"a hello to 443 over IPv6", Ipv6Frame({{0, 0}}, 6, TcpSegment(40000, 443, hello)), HELLO_SNAP_LENGTH},
        {"a hello to another port", Ipv4Frame(6, TcpSegment(40000, 8443, hello)), 0},
        {"a hello from 443", Ipv4Frame(6, TcpSegment(443, 40000, hello)), 0},
        {"the handshake's empty segments", Ipv4Frame(6, TcpSegment(40000, 443, {})), 0},
        {"the connection's data", Ipv4Frame(6, TcpSegment(40000, 443, {23, 3, 3, 0, 20, 1, 2, 3})), 0},
        {"a server's hello", Ipv4Frame(6, TcpSegment(40000, 443, {22, 3, 3, 0, 20, 2, 0, 0})), 0},
        {"a hello's first six bytes", Ipv4Frame(6, TcpSegment(40000, 443, CBytes(hello.begin(), hello.begin() + 6))),
         HELLO_SNAP_LENGTH},
        {"QUIC's Initial to 443", Ipv4Frame(17, UdpSegment(40000, 443, quicInitial)), QUIC_SNAP_LENGTH},
        {"QUIC to 853", Ipv6Frame({}, 17, UdpSegment(40000, 853, quicInitial)), QUIC_SNAP_LENGTH},
        {"QUIC's short header", Ipv4Frame(17, UdpSegment(40000, 443, {0x41, 1, 2, 3})), 0},
        {"a long header without the fixed bit", Ipv4Frame(17, UdpSegment(40000, 853, {0x80, 0, 0, 0, 1})), 0},
        {"an empty datagram", Ipv4Frame(17, UdpSegment(40000, 853, {})), 0},
    };
    const std::vector<sock_filter> program =
        BuildDnsFilter(SNAP_LENGTH, false, RESPONSE_SNAP_LENGTH, HELLO_SNAP_LENGTH);
    const std::vector<sock_filter> without = BuildDnsFilter(SNAP_LENGTH, false, RESPONSE_SNAP_LENGTH);
    for (const auto& one : cases)
    {
        const uint16_t nProtocol = (one.frame[0] >> 4) == 6 ? ETH_P_IPV6 : ETH_P_IP;
        EXPECT_EQ(RunClassicBpf(program, one.frame.data(), one.frame.size(), nProtocol), one.nKept) << one.pszWhat;
        EXPECT_EQ(RunClassicBpf(without, one.frame.data(), one.frame.size(), nProtocol), 0u) << one.pszWhat;
    }
}

// Every frame the decoder names is kept, and in these files nothing else: answers, other ports,
// handshakes and acknowledgements are dropped.
TEST(DnsFilter, AgreesWithTheDecoderOnRealCaptures)
{
    const std::pair<const char*, size_t> files[] = {
        {"tcpdump-dns_tcp.pcap", 1},      {"zeek-dns-edns-ecs.pcap", 20},    {"zeek-mdns.pcap", 0},
        {"tcpdump-dns_udp_8053.pcap", 0}, {"zeek-long-connection.pcap", 11}, {"zeek-dns53.pcap", 0},
    };
    for (const auto& [pszFile, nKept] : files)
    {
        size_t nKeptHere = 0;
        for (const CBytes& frame : ReadCaptureFrames(pszFile))
        {
            const bool bKept = Kept(frame) == SNAP_LENGTH;
            nKeptHere += bKept;
            EXPECT_TRUE(bKept || !Named(frame, frame.size())) << pszFile << " " << ::testing::PrintToString(frame);
        }
        EXPECT_EQ(nKeptHere, nKept) << pszFile;
    }
}

} // namespace
