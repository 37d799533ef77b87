// tarrow-capture-helper ADDRESS
//
// The only file of Tarrow that holds cap_net_raw. It opens and configures the capture socket for
// ADDRESS and hands it to the caller through the Unix socket at descriptor 3, or tells the caller
// which step failed and why. It reads no environment and no file, and it ends within a few seconds
// whatever happens.

#include "capture/PacketSocket.h"
#include "capture/helper/HelperProtocol.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool SendReply(const CPacketSocket::OpenResult& result)
{
    HelperProtocol::CReply reply;
    reply.nStep = result.failedStep;
    reply.nError = result.error;
    reply.nReceiveAllError = result.receiveAllError;

    iovec iov {&reply, sizeof(reply)};
    msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;

    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] {};
    if (result.fd >= 0)
    {
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        cmsghdr* pHeader = CMSG_FIRSTHDR(&msg);
        pHeader->cmsg_level = SOL_SOCKET;
        pHeader->cmsg_type = SCM_RIGHTS;
        pHeader->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(pHeader), &result.fd, sizeof(int));
    }
    return sendmsg(HelperProtocol::CHANNEL_FD, &msg, MSG_NOSIGNAL) == ssize_t(sizeof(reply));
}

} // namespace

int main(int argc, char** argv)
{
    // A caller that never reads must not keep a process with the capability alive; the alarm's
    // signal is made deadly again first, since an ignored or blocked signal survives exec.
    std::signal(SIGALRM, SIG_DFL);
    sigset_t alarmOnly;
    sigemptyset(&alarmOnly);
    sigaddset(&alarmOnly, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarmOnly, nullptr);
    alarm(HelperProtocol::TIME_LIMIT_SECONDS);

    if (argc != 2 || !HelperProtocol::IsAcceptedAddress(argv[1]))
    {
        std::fputs("usage: tarrow-capture-helper DOTTED-IPV4-ADDRESS (run by Tarrow, not by hand)\n", stderr);
        return HelperProtocol::EXIT_BAD_ARGUMENT;
    }

    struct stat channel {};
    if (fstat(HelperProtocol::CHANNEL_FD, &channel) != 0 || !S_ISSOCK(channel.st_mode))
    {
        std::fputs("tarrow-capture-helper: no caller's socket at descriptor 3\n", stderr);
        return HelperProtocol::EXIT_NO_CHANNEL;
    }

    const CPacketSocket::OpenResult result = CPacketSocket::Open(argv[1]);
    const bool bSent = SendReply(result);
    if (result.fd >= 0)
        close(result.fd);
    close(HelperProtocol::CHANNEL_FD);
    if (!bSent)
        return HelperProtocol::EXIT_NO_CHANNEL;
    return result.fd >= 0 ? HelperProtocol::EXIT_OPENED : HelperProtocol::EXIT_STEP_FAILED;
}
