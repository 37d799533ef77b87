#include "helper/PacketSocket.h"

#include "platform/CaptureTarget.h"
#include "dns/DnsFilter.h"
#include "platform/InterfaceAddresses.h"
#include "helper/PacketRing.h"
#include "platform/UniqueFd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <linux/filter.h>
#include <net/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// Where the socket binds: no interface (0) for "any". An address or name no interface has leaves
// nIndex 0 with bFound false.
struct CBindPlace
{
    bool bFound = false;
    bool bAny = false;
    unsigned nIndex = 0;
    bool bLoopback = false;
    int nMissingError = EADDRNOTAVAIL;
};

CBindPlace FindBindPlace(const char* pszTarget)
{
    CBindPlace place;
    CCaptureTarget target;
    if (!ParseCaptureTarget(pszTarget, target))
        return place;
    CInterfaceFacts facts;
    switch (target.nKind)
    {
    case CCaptureTarget::ANY_INTERFACE:
        place.bFound = place.bAny = true;
        return place;
    case CCaptureTarget::INTERFACE:
        place.nMissingError = ENODEV;
        place.bFound = FindInterface(target.szInterface, facts);
        break;
    case CCaptureTarget::ADDRESS:
        place.bFound = FindAddressOwner(target.address, facts);
        break;
    case CCaptureTarget::NONE:
        return place;
    }
    place.nIndex = facts.nIndex;
    place.bLoopback = (facts.nFlags & IFF_LOOPBACK) != 0;
    return place;
}

// On every interface at once, loopback's outgoing copies cannot be left out by a socket option
// without losing every other interface's outgoing queries: the kernel drops them by their packet
// type and device type before the filter proper, and before they take room in the ring.
void PrependLoopbackOutgoingDrop(std::vector<sock_filter>& instructions)
{
    const sock_filter drop[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, __u32(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, __u32(SKF_AD_OFF + SKF_AD_HATYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPHRD_LOOPBACK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0),
        // The filter proper starts as a program does, with nothing in its accumulator.
        BPF_STMT(BPF_LD | BPF_IMM, 0),
    };
    instructions.insert(instructions.begin(), std::begin(drop), std::end(drop));
}

// Only what the decoder can use is kept, cut to what the helper reads, so nothing else ever wakes
// the helper or fills its ring.
bool AttachDnsFilter(int fd, Channel::Wants nWants, bool bAny)
{
    std::vector<sock_filter> instructions = BuildDnsFilter(
        CPacketSocket::SNAP_LENGTH, Channel::WantsOfFrames(nWants) != Channel::WANTS_EXCHANGES,
        CPacketSocket::RESPONSE_SNAP_LENGTH, Channel::WantsEncrypted(nWants) ? CPacketSocket::HELLO_SNAP_LENGTH : 0);
    if (bAny)
        PrependLoopbackOutgoingDrop(instructions);
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

bool SetOptions(int fd, const CBindPlace& place, Channel::Wants nWants, CPacketRing& ring)
{
    const unsigned nRetireMs =
        Channel::WantsOfFrames(nWants) == Channel::WANTS_NAMES ? CPacketRing::RETIRE_MS : CPacketRing::LINES_RETIRE_MS;
    if (!AttachDnsFilter(fd, nWants, place.bAny) || !ring.Attach(fd, nRetireMs))
        return false;
    if (place.bLoopback)
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

int CPacketSocket::Open(const char* pszTarget, CPacketRing& ring, Channel::COpenedRecord* pOpened,
                        Channel::Wants nWants)
{
    *pOpened = Channel::COpenedRecord();
    const CBindPlace place = FindBindPlace(pszTarget);

    // Protocol 0 receives nothing until the bind names the interface, so no datagram of another
    // interface can slip into the ring in between; the bind switches on every protocol.
    CUniqueFd socketFd(socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int fd = socketFd.Get();
    if (fd < 0)
        return Fail(pOpened, Channel::STEP_OPEN, errno);

    if (!SetOptions(fd, place, nWants, ring))
        return Fail(pOpened, Channel::STEP_OPTIONS, errno);

    if (!place.bFound)
        return Fail(pOpened, Channel::STEP_BIND, place.nMissingError);
    sockaddr_ll sll {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = static_cast<int>(place.nIndex);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&sll), sizeof(sll)) != 0)
        return Fail(pOpened, Channel::STEP_BIND, errno);
    // Promiscuous mode on every interface at once would be more than anyone asked for.
    if (place.bAny)
        return socketFd.Release();

    packet_mreq mreq {};
    mreq.mr_ifindex = static_cast<int>(place.nIndex);
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
