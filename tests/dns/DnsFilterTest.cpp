#include "dns/DnsFilter.h"
#include "dns/DnsName.h"
#include "ClassicBpf.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <linux/if_ether.h>

namespace {

constexpr unsigned SNAP_LENGTH = 1600;

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

// Frames the decoder takes and frames it does not, across every rule of the filter.
std::vector<CBytes> MixedFrames()
{
    const CBytes query = DnsMessage({3, 'w', 'w', 'w', 0, 0, 1, 0, 1});
    const CBytes udp = UdpSegment(40000, 53, query);
    const CBytes tcp = TcpSegment(40000, 53, WithLengthPrefix(query), 8);
    const std::vector<CExtension> eight(MAX_IPV6_EXTENSION_HEADERS, CExtension {60, 0});
    std::vector<CExtension> nine = eight;
    nine.push_back({0, 0});
    return {
        Ipv4Frame(17, udp),
        Ipv4Frame(6, tcp),
        Ipv4Frame(17, udp, 15),
        Ipv4Frame(17, udp, 4),
        Ipv4Frame(17, udp, 5, 0x2000),
        Ipv4Frame(17, udp, 5, 0x2001),
        Ipv4Frame(1, udp),
        Ipv4Frame(17, UdpSegment(53, 40000, query)),
        Ipv4Frame(6, TcpSegment(40000, 80, {})),
        Ipv4Frame(6, TcpSegment(40000, 53, {})),
        Ipv6Frame({}, 17, udp),
        Ipv6Frame({}, 6, tcp),
        Ipv6Frame({{0, 0}, {43, 2}, {44, 0, 1}, {60, 1}}, 17, udp),
        Ipv6Frame({{44, 0, 8}}, 17, udp),
        Ipv6Frame(eight, 6, tcp),
        Ipv6Frame(nine, 6, tcp),
        Ipv6Frame({{60, 255}}, 17, udp),
        Ipv6Frame({{50, 0}}, 17, udp),
        Ipv6Frame({}, 58, udp),
        Ipv6Frame({{0, 0}}, 17, UdpSegment(40000, 5353, query)),
    };
}

TEST(DnsFilter, KeepsEveryFrameTheDecoderTakesCutTo1600BytesAndDropsTheRest)
{
    size_t nDropped = 0;
    for (const CBytes& frame : MixedFrames())
    {
        // Each frame, and each of its beginnings, as a capture might cut it.
        for (size_t nLength = 0; nLength <= frame.size(); ++nLength)
        {
            if (IsDnsDatagram(frame.data(), nLength))
            {
                EXPECT_EQ(Kept(frame, nLength), SNAP_LENGTH) << nLength << " of " << ::testing::PrintToString(frame);
            }
        }
        if (!IsDnsDatagram(frame.data(), frame.size()))
        {
            EXPECT_EQ(Kept(frame), 0u) << ::testing::PrintToString(frame);
            ++nDropped;
        }
    }
    EXPECT_EQ(nDropped, 10u);

    // Other link protocols, whatever their bytes look like.
    const CBytes frame = Ipv4Frame(17, UdpSegment(40000, 53, {}));
    const std::vector<sock_filter> program = BuildDnsFilter(SNAP_LENGTH);
    EXPECT_EQ(RunClassicBpf(program, frame.data(), frame.size(), ETH_P_ARP), 0u);
}

TEST(DnsFilter, AgreesWithTheDecoderOnRealCaptures)
{
    for (const char* pszFile : {"tcpdump-dns_tcp.pcap", "zeek-dns-edns-ecs.pcap", "zeek-mdns.pcap",
                                "tcpdump-dns_udp_8053.pcap", "zeek-long-connection.pcap"})
    {
        for (const CBytes& frame : ReadCaptureFrames(pszFile))
        {
            const bool bDns = IsDnsDatagram(frame.data(), frame.size());
            EXPECT_EQ(Kept(frame), bDns ? SNAP_LENGTH : 0u) << pszFile << " " << ::testing::PrintToString(frame);
        }
    }
}

} // namespace
