#include "helper/SenderEvents.h"

#include <cerrno>
#include <memory>
#include <sys/capability.h>

#ifdef TARROW_NAMES_SENDERS
#include "sender_events.skel.h"

#include "platform/InterfaceAddresses.h"

#include <bpf/libbpf.h>
#include <linux/if_packet.h>
#include <sys/mman.h>
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

// Asked first, so that a helper without them never tries, and says EPERM whatever libbpf would
// have made of the refusal.
bool HoldsLoadRights()
{
    const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> pCaps(cap_get_proc(), &cap_free);
    if (!pCaps)
        return false;
    for (const cap_value_t nCap : {CAP_BPF, CAP_PERFMON})
    {
        cap_flag_value_t nValue = CAP_CLEAR;
        if (cap_get_flag(pCaps.get(), nCap, CAP_EFFECTIVE, &nValue) != 0 || nValue != CAP_SET)
        {
            errno = EPERM;
            return false;
        }
    }
    return true;
}

} // namespace

CSenderEvents::~CSenderEvents()
{
    Close();
}

#ifdef TARROW_NAMES_SENDERS

namespace {

// The helper's stderr is /dev/null, and past the sandbox a write kills it: libbpf says nothing.
int Silent(libbpf_print_level, const char*, va_list)
{
    return 0;
}

// libbpf returns -errno, or NULL with errno set; callers read errno.
bool Check(int nResult)
{
    if (nResult == 0)
        return true;
    errno = -nResult;
    return false;
}

} // namespace

bool CSenderEvents::Open(int hCaptureSocket)
{
    if (!HoldsLoadRights())
        return false;
    // Where the socket captures: the program leaves out loopback traffic anywhere else.
    sockaddr_ll where {};
    socklen_t nWhere = sizeof(where);
    struct stat netns
    {};
    if (getsockname(hCaptureSocket, reinterpret_cast<sockaddr*>(&where), &nWhere) != 0
        || stat("/proc/self/ns/net", &netns) != 0)
        return false;
    libbpf_set_print(Silent);
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
        if (!bSendCalls)
            bpf_program__set_autoload(m_pSkeleton->progs.OnSystemCall, false);
        if (Check(sender_events__load(m_pSkeleton)) && Check(sender_events__attach(m_pSkeleton)))
            break;
        const int nError = errno;
        Close();
        errno = nError;
        if (!bSendCalls)
            return false;
    }
    // The ring's layout, as the kernel maps it: a page the reader writes its position to, then a
    // page with the writer's position and the data, mapped twice in a row so that no event wraps.
    const int hRing = bpf_map__fd(m_pSkeleton->maps.events);
    const size_t nPage = size_t(sysconf(_SC_PAGESIZE));
    const size_t nData = bpf_map__max_entries(m_pSkeleton->maps.events);
    m_pConsumerPage = mmap(nullptr, nPage, PROT_READ | PROT_WRITE, MAP_SHARED, hRing, 0);
    m_nProducerSize = nPage + 2 * nData;
    m_pProducerPages = mmap(nullptr, m_nProducerSize, PROT_READ, MAP_SHARED, hRing, off_t(nPage));
    if (m_pConsumerPage == MAP_FAILED || m_pProducerPages == MAP_FAILED || m_pSkeleton->bss == nullptr)
    {
        const int nError = m_pSkeleton->bss == nullptr ? EOPNOTSUPP : errno;
        Close();
        errno = nError;
        return false;
    }
    m_pConsumer = static_cast<std::uint64_t*>(m_pConsumerPage);
    m_pProducer = static_cast<const std::uint64_t*>(m_pProducerPages);
    m_pData = static_cast<const unsigned char*>(m_pProducerPages) + nPage;
    m_nMask = nData - 1;
    return true;
}

std::uint64_t CSenderEvents::GetLost() const
{
    return m_pData == nullptr ? 0 : __atomic_load_n(&m_pSkeleton->bss->lost_events, __ATOMIC_RELAXED);
}

int CSenderEvents::GetFd() const
{
    return m_pData == nullptr ? -1 : bpf_map__fd(m_pSkeleton->maps.events);
}

void CSenderEvents::Close()
{
    if (m_pConsumerPage != nullptr && m_pConsumerPage != MAP_FAILED)
        munmap(m_pConsumerPage, sysconf(_SC_PAGESIZE));
    if (m_pProducerPages != nullptr && m_pProducerPages != MAP_FAILED)
        munmap(m_pProducerPages, m_nProducerSize);
    m_pConsumerPage = m_pProducerPages = nullptr;
    m_pData = nullptr;
    sender_events__destroy(m_pSkeleton);
    m_pSkeleton = nullptr;
}

#else

// Built where the kernel's types were not at hand: the capture runs, its programs unnamed.
bool CSenderEvents::Open(int)
{
    if (HoldsLoadRights())
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
