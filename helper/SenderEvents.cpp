#include "helper/SenderEvents.h"

#include "helper/BpfLoad.h"

#include <cerrno>

#ifdef TARROW_NAMES_SENDERS
#include "sender_events.skel.h"

#include "platform/InterfaceAddresses.h"

#include <bpf/libbpf.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef TARROW_NAMES_SENDERS
// A capture on every interface sees this namespace's loopback, and only that one: the program
// keeps the loopback traffic of one interface, so it is given this one.
int LoopbackIndex()
{
    int nIndex = 0;
    ForEachInterface([&nIndex](const CInterfaceFacts& facts) {
        if (nIndex == 0 && (facts.nFlags & IFF_LOOPBACK) != 0)
            nIndex = int(facts.nIndex);
    });
    return nIndex;
}
#endif

} // namespace

CSenderEvents::~CSenderEvents()
{
    Close();
}

#ifdef TARROW_NAMES_SENDERS

bool CSenderEvents::Open(int hCaptureSocket, bool bEncrypted)
{
    if (!HoldsBpfLoadRights())
        return false;
    // Where the socket captures: the program leaves out loopback traffic anywhere else.
    sockaddr_ll where {};
    socklen_t nWhere = sizeof(where);
    struct stat netns
    {};
    if (getsockname(hCaptureSocket, reinterpret_cast<sockaddr*>(&where), &nWhere) != 0
        || stat("/proc/self/ns/net", &netns) != 0)
        return false;
    SilenceLibbpf();
    // Without the watch on send calls, all but a query that left from a softirq on a socket never
    // seen sending are still named: that is not worth a word in the reply, which says that nobody
    // is named, and such a query is listed as unknown all the same.
    for (const bool bSendCalls : {true, false})
    {
        m_pSkeleton = sender_events__open();
        if (m_pSkeleton == nullptr)
            return false;
        m_pSkeleton->rodata->capture_netns = std::uint32_t(netns.st_ino);
        m_pSkeleton->rodata->capture_ifindex = where.sll_ifindex != 0 ? where.sll_ifindex : LoopbackIndex();
        m_pSkeleton->rodata->capture_encrypted = bEncrypted ? 1 : 0;
        if (!bSendCalls)
            bpf_program__set_autoload(m_pSkeleton->progs.OnSystemCall, false);
        if (CheckLibbpf(sender_events__load(m_pSkeleton)) && CheckLibbpf(sender_events__attach(m_pSkeleton)))
            break;
        const int nError = errno;
        Close();
        errno = nError;
        if (!bSendCalls)
            return false;
    }
    if (m_pSkeleton->bss == nullptr)
    {
        Close();
        errno = EOPNOTSUPP;
        return false;
    }
    if (!m_ring.Map(bpf_map__fd(m_pSkeleton->maps.events), bpf_map__max_entries(m_pSkeleton->maps.events)))
    {
        const int nError = errno;
        Close();
        errno = nError;
        return false;
    }
    return true;
}

std::uint64_t CSenderEvents::GetLost() const
{
    return !IsOpen() ? 0 : __atomic_load_n(&m_pSkeleton->bss->lost_events, __ATOMIC_RELAXED);
}

int CSenderEvents::GetFd() const
{
    return !IsOpen() ? -1 : bpf_map__fd(m_pSkeleton->maps.events);
}

void CSenderEvents::Close()
{
    m_ring.Unmap();
    sender_events__destroy(m_pSkeleton);
    m_pSkeleton = nullptr;
}

#else

// Built where the kernel's types were not at hand: the capture runs, its programs unnamed.
bool CSenderEvents::Open(int, bool)
{
    if (HoldsBpfLoadRights())
        errno = EOPNOTSUPP;
    return false;
}

std::uint64_t CSenderEvents::GetLost() const
{
    return 0;
}

int CSenderEvents::GetFd() const
{
    return -1;
}

void CSenderEvents::Close()
{}

#endif
