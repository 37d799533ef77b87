#include "helper/CapturePlaces.h"

#include "platform/UniqueFd.h"

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
#include <netinet/tcp.h>
#include <string>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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

// Unconnected and not listening: nobody can connect to it or send to it, and it stays in the state
// the count asks for. The random tail is what no other user can bind first.
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

struct CPlaceCount
{
    int nPlaces = 0;
    bool bOwnListed = false;
    bool bOwnerShown = false;
};

// One socket of the listing: a place if its name has the prefix and the kernel says the user owns it.
void CountSocket(const nlmsghdr* pMessage, const std::string& strPrefix, uid_t uid, ino_t nOwnInode,
                 CPlaceCount* pCount)
{
    if (pMessage->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg)))
        return;
    const auto* pSocket = static_cast<const unix_diag_msg*>(NLMSG_DATA(pMessage));
    bool bPrefix = false, bOwner = false, bOwnerShown = false;
    auto nLength = int(pMessage->nlmsg_len - NLMSG_LENGTH(sizeof(unix_diag_msg)));
    for (auto* pAttribute = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(pSocket)
                                                            + NLMSG_ALIGN(sizeof(unix_diag_msg)));
         RTA_OK(pAttribute, nLength); pAttribute = RTA_NEXT(pAttribute, nLength))
    {
        const void* pData = RTA_DATA(pAttribute);
        const size_t nSize = RTA_PAYLOAD(pAttribute);
        if (pAttribute->rta_type == UNIX_DIAG_NAME)
            bPrefix = nSize > strPrefix.size() && std::memcmp(pData, strPrefix.data(), strPrefix.size()) == 0;
        else if (pAttribute->rta_type == UNIX_DIAG_UID && nSize == sizeof(std::uint32_t))
        {
            std::uint32_t nOwner = 0;
            std::memcpy(&nOwner, pData, sizeof(nOwner));
            bOwnerShown = true;
            bOwner = nOwner == uid;
        }
    }
    if (bPrefix && bOwner)
        ++pCount->nPlaces;
    if (pSocket->udiag_ino == nOwnInode)
    {
        pCount->bOwnListed = bPrefix && bOwner;
        pCount->bOwnerShown = bOwnerShown;
    }
}

// The user's places in this network namespace, hPlace's own among them. Only unconnected sockets
// are listed: a place never leaves that state, and a short list comes from the kernel in one piece
// (a long one comes in parts, between which a socket that others close can shift past the reader).
bool CountPlaces(int hPlace, const std::string& strPrefix, uid_t uid, int* pnPlaces)
{
    struct stat own
    {};
    if (fstat(hPlace, &own) != 0)
        return false;
    const CUniqueFd diag(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!diag.IsOpen())
        return false;
    struct
    {
        nlmsghdr header;
        unix_diag_req body;
    } request {};
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.body.sdiag_family = AF_UNIX;
    request.body.udiag_states = 1U << TCP_CLOSE;
    request.body.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_UID;
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (sendto(diag.Get(), &request, sizeof(request), 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel))
        != ssize_t(sizeof(request)))
        return false;

    CPlaceCount count;
    // The largest part the kernel hands over at once.
    alignas(nlmsghdr) static char s_buffer[32 * 1024];
    for (;;)
    {
        const ssize_t nReceived = recv(diag.Get(), s_buffer, sizeof(s_buffer), 0);
        if (nReceived <= 0)
        {
            if (nReceived < 0 && errno == EINTR)
                continue;
            if (nReceived == 0)
                errno = EPROTO;
            return false;
        }
        auto nLeft = unsigned(nReceived);
        for (auto* pMessage = reinterpret_cast<const nlmsghdr*>(s_buffer); NLMSG_OK(pMessage, nLeft);
             pMessage = NLMSG_NEXT(pMessage, nLeft))
        {
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
                if (!count.bOwnListed)
                {
                    // Before Linux 5.3 the kernel names no owner, and nothing can be vouched for.
                    errno = count.bOwnerShown ? ENOENT : EPROTONOSUPPORT;
                    return false;
                }
                *pnPlaces = count.nPlaces;
                return true;
            }
            if (pMessage->nlmsg_type == SOCK_DIAG_BY_FAMILY)
                CountSocket(pMessage, strPrefix, uid, own.st_ino, &count);
        }
    }
}

long ElapsedMs(const timespec& start)
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
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
