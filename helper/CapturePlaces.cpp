#include "helper/CapturePlaces.h"

#include "platform/UniqueFd.h"

#include <algorithm>
#include <iterator>
#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <string>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

// With its leading NUL: the abstract namespace, where no file and no folder is involved.
std::string PlacePrefix(uid_t uid)
{
    return std::string(1, '\0') + "tarrow-capture/" + std::to_string(uid) + "/";
}

bool RandomNumber(std::uint64_t* pnValue)
{
    const ssize_t nRead = getrandom(pnValue, sizeof(*pnValue), 0);
    if (nRead == ssize_t(sizeof(*pnValue)))
        return true;
    if (nRead >= 0)
        errno = EIO;
    return false;
}

// Unconnected and not listening: nobody can connect to it or send to it. The random tail is what no
// other user can bind first.
CUniqueFd BindPlace(const std::string& strPrefix)
{
    CUniqueFd place(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    std::uint64_t nTail = 0;
    if (!place.IsOpen() || !RandomNumber(&nTail))
        return CUniqueFd();
    char szTail[17];
    std::snprintf(szTail, sizeof(szTail), "%016" PRIx64, nTail);
    const std::string strName = strPrefix + szTail;
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, strName.data(), strName.size());
    if (bind(place.Get(), reinterpret_cast<const sockaddr*>(&addr),
             socklen_t(offsetof(sockaddr_un, sun_path) + strName.size()))
        != 0)
        return CUniqueFd();
    return place;
}

long ElapsedMs(const timespec& start)
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// One socket of a listing. Its inode and name together are a state it can leave only once: a
// closed socket's inode is not given out again, and a socket is bound at most once.
struct CListed
{
    std::uint32_t nInode = 0;
    std::string strName;
    std::uint32_t nOwner = 0;
    bool bOwnerShown = false;

    auto operator<=>(const CListed&) const = default;
};

// How long the kernel's list may keep changing under the count before the start gives up.
constexpr int MAX_LISTINGS = 64;
constexpr long LISTING_WAIT_MS = 500;

bool ParseSocket(const nlmsghdr* pMessage, std::vector<CListed>* pListed)
{
    if (pMessage->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg)))
        return false;
    const auto* pSocket = static_cast<const unix_diag_msg*>(NLMSG_DATA(pMessage));
    CListed listed;
    listed.nInode = pSocket->udiag_ino;
    auto nLength = int(pMessage->nlmsg_len - NLMSG_LENGTH(sizeof(unix_diag_msg)));
    for (auto* pAttribute = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(pSocket)
                                                            + NLMSG_ALIGN(sizeof(unix_diag_msg)));
         RTA_OK(pAttribute, nLength); pAttribute = RTA_NEXT(pAttribute, nLength))
    {
        const auto* pData = static_cast<const char*>(RTA_DATA(pAttribute));
        const size_t nSize = RTA_PAYLOAD(pAttribute);
        if (pAttribute->rta_type == UNIX_DIAG_NAME)
            listed.strName.assign(pData, nSize);
        else if (pAttribute->rta_type == UNIX_DIAG_UID && nSize == sizeof(std::uint32_t))
        {
            std::memcpy(&listed.nOwner, pData, sizeof(listed.nOwner));
            listed.bOwnerShown = true;
        }
    }
    pListed->push_back(std::move(listed));
    return true;
}

// Every Unix socket of this network namespace, whatever its state, sorted, each once (a socket
// bound while the list is read can be listed twice).
bool ReadListing(int hDiag, std::uint32_t nSequence, std::vector<CListed>* pListed)
{
    pListed->clear();
    struct
    {
        nlmsghdr header;
        unix_diag_req body;
    } request {};
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = nSequence;
    request.body.sdiag_family = AF_UNIX;
    request.body.udiag_states = ~0U;
    request.body.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_UID;
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (sendto(hDiag, &request, sizeof(request), 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel))
        != ssize_t(sizeof(request)))
        return false;

    // The largest part the kernel hands over at once.
    alignas(nlmsghdr) static char s_buffer[32 * 1024];
    for (;;)
    {
        const ssize_t nReceived = recv(hDiag, s_buffer, sizeof(s_buffer), MSG_TRUNC);
        if (nReceived <= 0 || nReceived > ssize_t(sizeof(s_buffer)))
        {
            if (nReceived < 0 && errno == EINTR)
                continue;
            if (nReceived >= 0)
                errno = nReceived == 0 ? EPROTO : EMSGSIZE;
            return false;
        }
        auto nLeft = unsigned(nReceived);
        for (auto* pMessage = reinterpret_cast<const nlmsghdr*>(s_buffer); NLMSG_OK(pMessage, nLeft);
             pMessage = NLMSG_NEXT(pMessage, nLeft))
        {
            if (pMessage->nlmsg_seq != nSequence)
                continue;
            if (pMessage->nlmsg_type == NLMSG_ERROR || pMessage->nlmsg_type == NLMSG_DONE)
            {
                // Both carry the kernel's errno, negated; a finished listing carries 0.
                int nError = 0;
                if (pMessage->nlmsg_len >= NLMSG_LENGTH(sizeof(nError)))
                    std::memcpy(&nError, NLMSG_DATA(pMessage), sizeof(nError));
                if (nError != 0)
                {
                    errno = -nError;
                    return false;
                }
                std::sort(pListed->begin(), pListed->end());
                pListed->erase(std::unique(pListed->begin(), pListed->end()), pListed->end());
                return true;
            }
            if (pMessage->nlmsg_type == SOCK_DIAG_BY_FAMILY && !ParseSocket(pMessage, pListed))
            {
                errno = EPROTO;
                return false;
            }
        }
    }
}

// The user's places in this network namespace, hPlace's own among them.
//
// The kernel hands a long list over in parts and resumes each part at a position counted inside a
// hash bucket; a socket ahead of that position that leaves its bucket between two parts (closed,
// or bound, which moves it) makes the next part start one socket late, and that socket, a place
// among them, is not listed. The user controls when their own helper reads (they can stop it
// between two parts), so a count from one listing can be made to miss a place. Hence listings are
// read until one is wholly contained in the next, and the count comes from the first of the two:
// had it skipped a socket, some socket listed in it would have closed or been bound while it was
// read, and no later listing can show that socket with its old inode and name again. Sockets that
// come while a listing is read cannot hide one that was there all along, so the next listing may
// hold more. On a machine where sockets come and go all the time (any program that opens and
// closes socket pairs in a loop) no two listings ever agree: then every place that any of them
// showed is counted, so a place passed over in one counts all the same as long as another showed
// it, and one that has just closed counts too. The count can only be too high, and a start then
// waits and counts again, or is refused, never let past the limit.
//
// A fixed set of names per user, bound by the kernel all or nothing, was the other way; but a name
// another user binds first has to be told apart by asking its holder, and a holder's listening
// queue can be filled by anyone, which leaves the question without an answer.
bool CountPlaces(int hPlace, const std::string& strPrefix, uid_t uid, int* pnPlaces)
{
    struct stat own
    {};
    if (fstat(hPlace, &own) != 0)
        return false;
    const CUniqueFd diag(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!diag.IsOpen())
        return false;
    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::vector<CListed> previous, current, all, merged;
    if (!ReadListing(diag.Get(), 1, &previous))
        return false;
    all = previous;
    const std::vector<CListed>* pCounted = &all;
    for (int nListing = 2; nListing <= MAX_LISTINGS && ElapsedMs(start) < LISTING_WAIT_MS; ++nListing)
    {
        if (!ReadListing(diag.Get(), std::uint32_t(nListing), &current))
            return false;
        if (std::includes(current.begin(), current.end(), previous.begin(), previous.end()))
        {
            pCounted = &previous;
            break;
        }
        merged.clear();
        std::set_union(all.begin(), all.end(), current.begin(), current.end(), std::back_inserter(merged));
        all.swap(merged);
        previous.swap(current);
    }
    int nPlaces = 0;
    bool bOwnListed = false, bOwnerShown = false;
    for (const CListed& listed : *pCounted)
    {
        const bool bPlace = listed.bOwnerShown && listed.nOwner == uid && listed.strName.size() > strPrefix.size()
                            && listed.strName.compare(0, strPrefix.size(), strPrefix) == 0;
        nPlaces += bPlace ? 1 : 0;
        if (listed.nInode == own.st_ino)
        {
            bOwnListed = bOwnListed || bPlace;
            bOwnerShown = bOwnerShown || listed.bOwnerShown;
        }
    }
    if (!bOwnListed)
    {
        // Before Linux 5.3 the kernel names no owner, and nothing can be vouched for.
        errno = bOwnerShown ? ENOENT : EPROTONOSUPPORT;
        return false;
    }
    *pnPlaces = nPlaces;
    return true;
}

} // namespace

int TakeCapturePlace()
{
    const uid_t uid = getuid();
    const std::string strPrefix = PlacePrefix(uid);
    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;)
    {
        CUniqueFd place = BindPlace(strPrefix);
        int nPlaces = 0;
        if (!place.IsOpen() || !CountPlaces(place.Get(), strPrefix, uid, &nPlaces))
            return -1;
        if (nPlaces <= MAX_CAPTURES_PER_USER)
            return place.Release();
        // Over the limit: this start leaves, as does any other that counted too many; starts that
        // keep meeting again part after a random pause.
        place.Reset();
        std::uint64_t nRandom = 0;
        if (!RandomNumber(&nRandom))
            return -1;
        if (ElapsedMs(start) >= long(CAPTURE_PLACE_WAIT_MS))
        {
            errno = EUSERS;
            return -1;
        }
        const timespec pause {0, long(2 + nRandom % 10) * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}
