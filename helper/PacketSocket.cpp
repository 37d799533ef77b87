#include "helper/PacketSocket.h"

#include "platform/AddressText.h"
#include "dns/DnsFilter.h"
#include "platform/InterfaceAddresses.h"
#include "helper/PacketRing.h"
#include "platform/UniqueFd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct CInterfaceMatch
{
    unsigned nIndex = 0; // 0: no interface owns the address
    bool bLoopback = false;
};

CInterfaceMatch FindInterfaceOf(const char* pszLocalAddress)
{
    CInterfaceMatch match;
    CAddressText address;
    if (!ParseAddressText(pszLocalAddress, address))
        return match;

    ForEachInterfaceAddress([&address, &match](const ifaddrs& interface) {
        if (interface.ifa_addr->sa_family != address.nFamily)
            return true;
        if (address.nFamily == AF_INET)
        {
            const auto* pIn = reinterpret_cast<const sockaddr_in*>(interface.ifa_addr);
            if (pIn->sin_addr.s_addr != address.ipv4.s_addr)
                return true;
        }
        else
        {
            // A link-local address belongs to the interface its scope names, and only to that one.
            const auto* pIn6 = reinterpret_cast<const sockaddr_in6*>(interface.ifa_addr);
            if (std::memcmp(&pIn6->sin6_addr, &address.ipv6, sizeof(in6_addr)) != 0
                || (address.szScope[0] != '\0' && std::strcmp(interface.ifa_name, address.szScope) != 0))
                return true;
        }
        match.nIndex = if_nametoindex(interface.ifa_name);
        match.bLoopback = (interface.ifa_flags & IFF_LOOPBACK) != 0;
        return match.nIndex == 0;
    });
    return match;
}

// Only what the decoder can use is kept, cut to what the helper reads, so nothing else ever wakes
// the helper or fills its ring.
bool AttachDnsFilter(int fd, bool bResponsesToo)
{
    std::vector<sock_filter> instructions = BuildDnsFilter(CPacketSocket::SNAP_LENGTH, !bResponsesToo);
    sock_fprog program {};
    program.len = static_cast<unsigned short>(instructions.size());
    program.filter = instructions.data();
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)) != 0)
        return false;
    // Locked, so that even code that took over the sandboxed helper cannot drop the filter and read
    // all of the interface's traffic.
    const int nOne = 1;
    return setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &nOne, sizeof(nOne)) == 0;
}

bool SetOptions(int fd, bool bLoopback, bool bResponsesToo, CPacketRing& ring)
{
    if (!AttachDnsFilter(fd, bResponsesToo) || !ring.Attach(fd))
        return false;
    if (bLoopback)
    {
        // Loopback shows every datagram twice, leaving and arriving; the arriving copy is enough.
        int nOn = 1;
        if (setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &nOn, sizeof(nOn)) != 0)
            return false;
    }
    return true;
}

int Fail(Channel::COpenedRecord* pOpened, Channel::OpenStep nStep, int nError)
{
    pOpened->nStep = nStep;
    pOpened->nError = nError;
    return -1;
}

} // namespace

int CPacketSocket::Open(const char* pszLocalAddress, CPacketRing& ring, Channel::COpenedRecord* pOpened,
                        bool bResponsesToo)
{
    *pOpened = Channel::COpenedRecord();
    const CInterfaceMatch match = FindInterfaceOf(pszLocalAddress);

    // Protocol 0 receives nothing until the bind names the interface, so no datagram of another
    // interface can slip into the ring in between; the bind switches on every protocol.
    CUniqueFd socketFd(socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int fd = socketFd.Get();
    if (fd < 0)
        return Fail(pOpened, Channel::STEP_OPEN, errno);

    if (!SetOptions(fd, match.bLoopback, bResponsesToo, ring))
        return Fail(pOpened, Channel::STEP_OPTIONS, errno);

    if (match.nIndex == 0)
        return Fail(pOpened, Channel::STEP_BIND, EADDRNOTAVAIL);
    sockaddr_ll sll {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = static_cast<int>(match.nIndex);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&sll), sizeof(sll)) != 0)
        return Fail(pOpened, Channel::STEP_BIND, errno);

    packet_mreq mreq {};
    mreq.mr_ifindex = static_cast<int>(match.nIndex);
    mreq.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0)
        pOpened->nReceiveAllError = errno;
    return socketFd.Release();
}

bool CPacketSocket::ReadStatistics(int fd, unsigned* pnReceived, unsigned* pnDropped)
{
    tpacket_stats stats {};
    socklen_t nLength = sizeof(stats);
    if (getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &stats, &nLength) != 0)
        return false;
    // The kernel counts dropped datagrams among the received ones; report them apart.
    if (pnReceived != nullptr)
        *pnReceived = stats.tp_packets - stats.tp_drops;
    if (pnDropped != nullptr)
        *pnDropped = stats.tp_drops;
    return true;
}
