#include "dns/DnsName.h"
#include "dns/Ipv4.h"
#include "dns/Ipv6.h"
#include "dns/Transport.h"
#include "helper/PacketRing.h"
#include "helper/PacketSocket.h"
#include "common/DnsQuery.h"
#include "common/NetNamespaceFixture.h"
#include "common/ProcessState.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// Each socket's ring, kept for the test program's life: the product never opens a socket without.
std::map<int, std::unique_ptr<CPacketRing>> g_rings;

// The socket, -1 when it failed, and the reply the helper would send.
struct COpenResult
{
    int fd = -1;
    Channel::COpenedRecord opened;
};

COpenResult OpenWithRing(const char* pszAddress)
{
    auto pRing = std::make_unique<CPacketRing>();
    COpenResult result;
    result.fd = CPacketSocket::Open(pszAddress, *pRing, &result.opened);
    if (result.fd >= 0)
        g_rings[result.fd] = std::move(pRing);
    return result;
}

// Everything the socket's ring yields until it stays quiet for a while.
std::vector<CBytes> ReadAll(int fd, int nQuietMs = 300)
{
    std::vector<CBytes> datagrams;
    CPacketRing& ring = *g_rings.at(fd);
    pollfd pfd {fd, POLLIN, 0};
    while (poll(&pfd, 1, nQuietMs) > 0)
    {
        const bool bBlock = ring.ReadBlock([&datagrams](const CPacketRing::CFrame& frame) {
            datagrams.emplace_back(frame.pData, frame.pData + frame.nLength);
        });
        if (!bBlock)
            break;
    }
    return datagrams;
}

// The names the decoder takes from the frames, in order.
std::vector<std::string> NamesIn(const std::vector<CBytes>& frames)
{
    std::vector<std::string> names;
    char szName[NAME_BUFFER_SIZE];
    size_t nLength = 0;
    for (const CBytes& frame : frames)
        if (ExtractQueryName(frame.data(), frame.size(), szName, nLength))
            names.emplace_back(szName, nLength);
    return names;
}

// Whether the frame goes to port 53 over UDP or TCP, as the decoder's walk finds it.
bool IsToDnsPort(const CBytes& frame)
{
    CPacketBytes bytes(frame.data(), frame.size());
    CTransportHeader transport;
    const bool bFound =
        !frame.empty()
        && (frame[0] >> 4 == 6 ? FindIpv6Transport(bytes, transport) : FindIpv4Transport(bytes, transport));
    return bFound && IsDnsTransport(bytes, transport);
}

class PacketSocketTest : public CNetNamespaceTest
{
protected:
    int OpenCapture(const std::string& strAddress)
    {
        const COpenResult result = OpenWithRing(strAddress.c_str());
        EXPECT_GE(result.fd, 0) << "step " << +result.opened.nStep << " errno " << +result.opened.nError;
        EXPECT_EQ(+result.opened.nReceiveAllError, 0);
        if (result.fd >= 0)
            m_fds.push_back(result.fd);
        return result.fd;
    }
};

TEST_F(PacketSocketTest, BindsToTheOwnerOfTheAddressInPromiscuousModeUntilClosed)
{
    const COpenResult result = OpenWithRing(m_pNet->GetCaptureAddress().c_str());
    ASSERT_GE(result.fd, 0);
    EXPECT_EQ(+result.opened.nReceiveAllError, 0);

    sockaddr_ll sll {};
    socklen_t nLength = sizeof(sll);
    ASSERT_EQ(getsockname(result.fd, reinterpret_cast<sockaddr*>(&sll), &nLength), 0);
    EXPECT_EQ(unsigned(sll.sll_ifindex), if_nametoindex(m_pNet->GetCaptureInterface().c_str()));
    EXPECT_EQ(ntohs(sll.sll_protocol), 0x0003 /* ETH_P_ALL */);
    EXPECT_NE(fcntl(result.fd, F_GETFD) & FD_CLOEXEC, 0);
    // The filter is locked: a holder of the socket (say, one handed over by the capture helper)
    // can neither drop it nor put another in its place.
    const int nUnused = 0;
    EXPECT_NE(setsockopt(result.fd, SOL_SOCKET, SO_DETACH_FILTER, &nUnused, sizeof(nUnused)), 0);
    EXPECT_EQ(errno, EPERM);

    const std::string strShow = "ip -d link show " + m_pNet->GetCaptureInterface();
    std::string strOutput;
    CNetNamespace::RunIn(m_pNet->GetCaptureName(), strShow, &strOutput);
    EXPECT_NE(strOutput.find("promiscuity 1"), std::string::npos) << strOutput;
    close(result.fd);
    g_rings.erase(result.fd); // the mapping holds the socket too
    CNetNamespace::RunIn(m_pNet->GetCaptureName(), strShow, &strOutput);
    EXPECT_NE(strOutput.find("promiscuity 0"), std::string::npos) << strOutput;
}

TEST_F(PacketSocketTest, AddressesOfNoInterfaceHereFailTheBindAndLeaveNothingOpen)
{
    const int nOpenBefore = CountOpenDescriptors();
    // The peer's address exists, but in another namespace.
    for (const std::string& strAddress :
         {std::string("10.99.99.99"), std::string("not-an-address"), std::string(), m_pNet->GetPeerAddress(),
          std::string("10.53.0.1 "), std::string("0.0.0.0"), m_pNet->GetPeerAddress6(), std::string("::"),
          m_pNet->GetCaptureAddress6() + "%" + m_pNet->GetCaptureInterface()})
    {
        const COpenResult result = OpenWithRing(strAddress.c_str());
        EXPECT_EQ(result.fd, -1) << strAddress;
        EXPECT_EQ(+result.opened.nStep, Channel::STEP_BIND) << strAddress;
        EXPECT_EQ(+result.opened.nError, EADDRNOTAVAIL) << strAddress;
    }
    EXPECT_EQ(+OpenWithRing(nullptr).opened.nError, EADDRNOTAVAIL);
    EXPECT_EQ(CountOpenDescriptors(), nOpenBefore);
}

TEST_F(PacketSocketTest, WithoutTheCaptureRightTheOpenStepFailsWithEperm)
{
    EXPECT_TRUE(HoldsWithoutCaptureRight([this] {
        const COpenResult result = OpenWithRing(m_pNet->GetCaptureAddress().c_str());
        return result.fd == -1 && result.opened.nStep == Channel::STEP_OPEN && result.opened.nError == EPERM;
    }));
}

TEST_F(PacketSocketTest, Ipv6AddressesFindTheirInterfaceALinkLocalOneOnlyThroughItsScope)
{
    const std::string& strInterface = m_pNet->GetCaptureInterface();
    std::string strOutput;
    ASSERT_EQ(CNetNamespace::RunIn(m_pNet->GetCaptureName(), "ip addr add fe80::53:1/64 dev " + strInterface + " nodad",
                                   &strOutput),
              0)
        << strOutput;
    for (const std::string& strAddress : {m_pNet->GetCaptureAddress6(), "fe80::53:1%" + strInterface})
    {
        const int fd = OpenCapture(strAddress);
        sockaddr_ll sll {};
        socklen_t nLength = sizeof(sll);
        ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&sll), &nLength), 0) << strAddress;
        EXPECT_EQ(unsigned(sll.sll_ifindex), if_nametoindex(strInterface.c_str())) << strAddress;
    }
    for (const std::string& strAddress : {std::string("fe80::53:1"), std::string("fe80::53:1%lo")})
        EXPECT_EQ(+OpenWithRing(strAddress.c_str()).opened.nError, EADDRNOTAVAIL) << strAddress;
}

// Real clients ask a server on the capture side over UDP and TCP of both families, and the capture
// side asks the peer, once behind a destination-options header (one PadN option). The socket, bound
// to the IPv6 address, watches the whole interface; the kernel keeps only frames the decoder takes
// (no answer, other port, neighbour discovery or listener report), and each query gives its name
// once, its handshake and closing segments none.
TEST_F(PacketSocketTest, KeepsOnlyQueriesToPort53BothWaysOverBothFamiliesAndEachGivesItsNameOnce)
{
    const std::string& strHereNs = m_pNet->GetCaptureName();
    const std::string strPidFile = "/run/" + strHereNs + "-dnsmasq.pid";
    ASSERT_EQ(CNetNamespace::RunIn(strHereNs, "dnsmasq --no-resolv --no-hosts --address=/#/192.0.2.1 --port 53 "
                                              "--bind-interfaces --listen-address="
                                                  + m_pNet->GetCaptureAddress() + " --listen-address="
                                                  + m_pNet->GetCaptureAddress6() + " -u root --pid-file=" + strPidFile),
              0);
    struct CServerStop
    {
        const std::string& strNs;
        const std::string& strPidFile;
        ~CServerStop() { CNetNamespace::RunIn(strNs, "kill $(cat " + strPidFile + "); rm -f " + strPidFile); }
    } stopServer {strHereNs, strPidFile};
    const std::string &strPeer = m_pNet->GetPeerAddress(), &strPeer6 = m_pNet->GetPeerAddress6();
    Listen(m_pNet->GetPeerName(), strPeer, 53);
    Listen(m_pNet->GetPeerName(), strPeer, 5353);
    Listen(m_pNet->GetPeerName(), strPeer6, 53);
    const int hLocal = Listen(strHereNs, m_pNet->GetCaptureAddress(), 42000);
    const int hOptions = Listen(strHereNs, m_pNet->GetCaptureAddress6(), 42001);
    const unsigned char options[8] = {0, 0, 1, 4, 0, 0, 0, 0};
    ASSERT_EQ(setsockopt(hOptions, IPPROTO_IPV6, IPV6_DSTOPTS, options, sizeof(options)), 0) << strerror(errno);
    const int fd = OpenCapture(m_pNet->GetCaptureAddress6());
    ASSERT_GE(fd, 0);

    const std::string strAsk = "dig +tries=2 +time=2 ";
    for (const std::string& strQuery :
         {strAsk + "@" + m_pNet->GetCaptureAddress() + " udp-four.example",
          strAsk + "@" + m_pNet->GetCaptureAddress6() + " udp-six.example",
          strAsk + "+tcp @" + m_pNet->GetCaptureAddress() + " tcp-four.example",
          "kdig +retry=1 +timeout=2 +tcp @" + m_pNet->GetCaptureAddress6() + " tcp-six.example"})
    {
        std::string strOutput;
        EXPECT_EQ(CNetNamespace::RunIn(m_pNet->GetPeerName(), strQuery, &strOutput), 0) << strOutput;
    }
    ASSERT_TRUE(SendUdp(hLocal, strPeer, 53, MakeDnsQuery("outgoing.example"))) << strerror(errno);
    ASSERT_TRUE(SendUdp(hLocal, strPeer, 5353, MakeDnsQuery("other.port"))) << strerror(errno);
    ASSERT_TRUE(SendUdp(hOptions, strPeer6, 53, MakeDnsQuery("options.example"))) << strerror(errno);

    const std::vector<CBytes> frames = ReadAll(fd);
    size_t nBehindOptions = 0;
    for (const CBytes& frame : frames)
    {
        EXPECT_TRUE(IsToDnsPort(frame)) << ::testing::PrintToString(frame);
        nBehindOptions += frame.at(0) >> 4 == 6 && frame.at(6) == IPPROTO_DSTOPTS;
    }
    EXPECT_EQ(nBehindOptions, 1u);
    EXPECT_EQ(NamesIn(frames), (std::vector<std::string> {"udp-four.example", "udp-six.example", "tcp-four.example",
                                                          "tcp-six.example", "outgoing.example", "options.example"}));
}

// Each query arrives once, though loopback hands every frame over twice; a long one (loopback carries
// 3000 bytes unfragmented, so the whole datagram passes the port test) gives its first 1600 bytes,
// and the next one still arrives whole.
TEST_F(PacketSocketTest, OnLoopbackEachQueryArrivesOnceAndALongOneIsCutTo1600Bytes)
{
    for (const char* pszLoopback : {"127.0.0.1", "::1"})
    {
        Listen(m_pNet->GetCaptureName(), pszLoopback, 53);
        const int fd = OpenCapture(pszLoopback);
        ASSERT_GE(fd, 0);
        const int hClient = Listen(m_pNet->GetCaptureName(), pszLoopback, 43000);
        ASSERT_TRUE(SendUdp(hClient, pszLoopback, 53, MakeDnsQuery("long.example", 3000))) << strerror(errno);
        ASSERT_TRUE(SendUdp(hClient, pszLoopback, 53, MakeDnsQuery("short.example"))) << strerror(errno);
        const std::vector<CBytes> datagrams = ReadAll(fd);
        EXPECT_EQ(NamesIn(datagrams), (std::vector<std::string> {"long.example", "short.example"})) << pszLoopback;
        ASSERT_EQ(datagrams.size(), 2u) << pszLoopback;
        EXPECT_EQ(datagrams[0].size(), size_t(CPacketSocket::SNAP_LENGTH)) << pszLoopback;
        EXPECT_EQ(datagrams[1].size(), (pszLoopback[0] == ':' ? 40u : 20u) + 8u + MakeDnsQuery("short.example").size())
            << pszLoopback;
    }
}

TEST_F(PacketSocketTest, StatisticsCountWhatPassedAndResetWhenRead)
{
    Listen(m_pNet->GetCaptureName(), m_pNet->GetCaptureAddress(), 53);
    const int fd = OpenCapture(m_pNet->GetCaptureAddress());
    ASSERT_GE(fd, 0);
    const int hPeer = Listen(m_pNet->GetPeerName(), m_pNet->GetPeerAddress(), 44000);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(SendUdp(hPeer, m_pNet->GetCaptureAddress(), 53, MakeDnsQuery("n" + std::to_string(i) + ".example")))
            << strerror(errno);
    ASSERT_TRUE(SendUdp(hPeer, m_pNet->GetCaptureAddress(), 54, MakeDnsQuery("filtered.example"))) << strerror(errno);
    EXPECT_EQ(ReadAll(fd).size(), 5u);

    unsigned nReceived = 99, nDropped = 99;
    ASSERT_TRUE(CPacketSocket::ReadStatistics(fd, &nReceived, &nDropped));
    EXPECT_EQ(nReceived, 5u);
    EXPECT_EQ(nDropped, 0u);
    ASSERT_TRUE(CPacketSocket::ReadStatistics(fd, &nReceived, &nDropped));
    EXPECT_EQ(nReceived, 0u);
    EXPECT_FALSE(CPacketSocket::ReadStatistics(-1, &nReceived, &nDropped));
}

} // namespace
