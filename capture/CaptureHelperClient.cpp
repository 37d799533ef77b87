#include "capture/CaptureHelperClient.h"

#include "capture/helper/HelperProtocol.h"

#include <cerrno>
#include <cstring>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using CClock = std::chrono::steady_clock;

CPacketSocket::OpenResult FailedAt(CPacketSocket::Step step, int nError)
{
    CPacketSocket::OpenResult result;
    result.failedStep = step;
    result.error = nError;
    return result;
}

int RemainingMs(CClock::time_point deadline)
{
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CClock::now());
    return remaining.count() > 0 ? int(remaining.count()) : 0;
}

// The child end goes to a fixed number in the helper. A dup2 onto itself would keep its
// close-on-exec flag, so it must not already sit there.
int MoveOffChannelNumber(int fd)
{
    if (fd != HelperProtocol::CHANNEL_FD)
        return fd;
    const int nMoved = fcntl(fd, F_DUPFD_CLOEXEC, HelperProtocol::CHANNEL_FD + 1);
    close(fd);
    return nMoved;
}

bool SpawnHelper(const std::string& strHelperPath, const char* pszLocalAddress, int hChildEnd, pid_t* pPid)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    if (posix_spawnattr_init(&attributes) != 0)
    {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }

    // The dup comes first: the child end may itself be 0 or 1 when the caller runs without them.
    bool bReady = posix_spawn_file_actions_adddup2(&actions, hChildEnd, HelperProtocol::CHANNEL_FD) == 0
        && posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0
        && posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) == 0
        && posix_spawn_file_actions_addclosefrom_np(&actions, HelperProtocol::CHANNEL_FD + 1) == 0;

    // A caller that ignores or blocks signals must not pass that on to the helper's alarm().
    sigset_t noSignals, allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    bReady = bReady && posix_spawnattr_setsigmask(&attributes, &noSignals) == 0
        && posix_spawnattr_setsigdefault(&attributes, &allSignals) == 0
        && posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;

    if (bReady)
    {
        std::string strAddress(pszLocalAddress);
        std::string strName("tarrow-capture-helper");
        char* argv[] = {strName.data(), strAddress.data(), nullptr};
        char* envp[] = {nullptr};
        bReady = posix_spawn(pPid, strHelperPath.c_str(), &actions, &attributes, argv, envp) == 0;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return bReady;
}

// The helper ends right after its answer; one that does not is ended, so it is never left behind.
void ReapHelper(pid_t pid, bool bKillNow)
{
    const CClock::time_point deadline = CClock::now() + std::chrono::milliseconds(CCaptureHelperClient::EXIT_TIMEOUT_MS);
    int nStatus = 0;
    while (!bKillNow)
    {
        const pid_t nDone = waitpid(pid, &nStatus, WNOHANG);
        if (nDone == pid || (nDone < 0 && errno != EINTR))
            return;
        if (RemainingMs(deadline) == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR)
    {
    }
}

bool IsPacketSocket(int fd)
{
    int nDomain = 0;
    socklen_t nLength = sizeof(nDomain);
    return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &nDomain, &nLength) == 0 && nDomain == AF_PACKET;
}

// One answer, checked as if it came from anyone: a malformed one counts as no answer.
bool ReceiveReply(int hChannel, CPacketSocket::OpenResult* pResult)
{
    const CClock::time_point deadline = CClock::now() + std::chrono::milliseconds(CCaptureHelperClient::REPLY_TIMEOUT_MS);
    pollfd pfd {hChannel, POLLIN, 0};
    for (;;)
    {
        const int nReady = poll(&pfd, 1, RemainingMs(deadline));
        if (nReady > 0)
            break;
        if (nReady == 0 || errno != EINTR)
            return false;
    }

    HelperProtocol::CReply reply;
    iovec iov {&reply, sizeof(reply)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] {};
    msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t nReceived = -1;
    do
        nReceived = recvmsg(hChannel, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    while (nReceived < 0 && errno == EINTR);

    // Every descriptor that came along is taken now, so none can leak whatever the verdict.
    std::vector<int> fds;
    if (nReceived >= 0)
    {
        for (cmsghdr* p = CMSG_FIRSTHDR(&msg); p != nullptr; p = CMSG_NXTHDR(&msg, p))
        {
            if (p->cmsg_level != SOL_SOCKET || p->cmsg_type != SCM_RIGHTS)
                continue;
            const size_t nCount = (p->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < nCount; ++i)
            {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(p) + i * sizeof(int), sizeof(int));
                fds.push_back(fd);
            }
        }
    }

    bool bValid = nReceived == ssize_t(sizeof(reply)) && (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0;
    if (bValid && reply.nStep == CPacketSocket::STEP_NONE)
    {
        bValid = fds.size() == 1 && IsPacketSocket(fds[0]) && reply.nError == 0 && reply.nReceiveAllError >= 0;
        if (bValid)
        {
            pResult->fd = fds[0];
            pResult->failedStep = CPacketSocket::STEP_NONE;
            pResult->error = 0;
            pResult->receiveAllError = reply.nReceiveAllError;
            return true;
        }
    }
    else if (bValid)
    {
        bValid = fds.empty() && reply.nError > 0
            && (reply.nStep == CPacketSocket::STEP_OPEN || reply.nStep == CPacketSocket::STEP_OPTIONS
                || reply.nStep == CPacketSocket::STEP_BIND);
        if (bValid)
            *pResult = FailedAt(CPacketSocket::Step(reply.nStep), reply.nError);
    }
    for (int fd : fds)
        close(fd);
    return bValid;
}

} // namespace

CPacketSocket::OpenResult CCaptureHelperClient::Open(const char* pszLocalAddress)
{
    const CPacketSocket::OpenResult opened = CPacketSocket::Open(pszLocalAddress);
    if (opened.fd >= 0 || opened.failedStep != CPacketSocket::STEP_OPEN || opened.error != EPERM)
        return opened;

    // A build-tree helper that was never granted the right gives way to an installed one.
    for (const std::string& strPath : GetHelperCandidates())
    {
        if (access(strPath.c_str(), F_OK) != 0)
            continue;
        const CPacketSocket::OpenResult helped = OpenThroughHelper(strPath, pszLocalAddress, opened);
        if (helped.fd >= 0 || helped.failedStep != CPacketSocket::STEP_OPEN || helped.error != EPERM)
            return helped;
    }
    return opened;
}

CPacketSocket::OpenResult CCaptureHelperClient::OpenThroughHelper(const std::string& strHelperPath,
                                                                  const char* pszLocalAddress,
                                                                  const CPacketSocket::OpenResult& refused)
{
    if (!HelperProtocol::IsAcceptedAddress(pszLocalAddress))
        return FailedAt(CPacketSocket::STEP_BIND, EADDRNOTAVAIL);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return refused;
    const int hChannel = pair[0];
    const int hChildEnd = MoveOffChannelNumber(pair[1]);
    if (hChildEnd < 0)
    {
        close(hChannel);
        return refused;
    }

    pid_t pid = -1;
    const bool bSpawned = SpawnHelper(strHelperPath, pszLocalAddress, hChildEnd, &pid);
    // Closed here so that a helper that dies unheard shows as the end of the channel.
    close(hChildEnd);
    if (!bSpawned)
    {
        close(hChannel);
        return refused;
    }

    CPacketSocket::OpenResult result;
    const bool bAnswered = ReceiveReply(hChannel, &result);
    close(hChannel);
    ReapHelper(pid, !bAnswered);
    return bAnswered ? result : refused;
}

std::vector<std::string> CCaptureHelperClient::GetHelperCandidates()
{
    std::vector<std::string> candidates;
#if defined(TARROW_HELPER_BUILD_PATH) && defined(TARROW_BUILD_DIR)
    char szExe[4096];
    const ssize_t nLength = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (nLength > 0)
    {
        const std::string strExe(szExe, size_t(nLength));
        const std::string strBuildDir = std::string(TARROW_BUILD_DIR) + "/";
        if (strExe.compare(0, strBuildDir.size(), strBuildDir) == 0)
            candidates.emplace_back(TARROW_HELPER_BUILD_PATH);
    }
#endif
#if defined(TARROW_HELPER_GRANTED_PATH)
    candidates.emplace_back(TARROW_HELPER_GRANTED_PATH);
#endif
    candidates.emplace_back(TARROW_HELPER_INSTALL_PATH);
    return candidates;
}
