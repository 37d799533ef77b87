// tarrow-capture-helper ADDRESS
//
// The only file of Tarrow that holds cap_net_raw, and the process that captures for one running
// capture. It opens the capture socket for ADDRESS with its ring, gives up every right it had, and
// from then on only reads frames, decodes their query names and writes records to the session
// through the Unix socket at descriptor 3. It hands out no descriptor, reads no environment and no
// file, and ends when that socket closes or its parent dies.

#include "capture/CaptureRecords.h"
#include "capture/DnsName.h"
#include "capture/PacketRing.h"
#include "capture/PacketSocket.h"
#include "capture/UniqueFd.h"
#include "capture/helper/CaptureSandbox.h"
#include "capture/helper/HelperProtocol.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace HelperProtocol;

namespace {

std::uint64_t NowMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000 + std::uint64_t(now.tv_nsec) / 1000000;
}

// Leaves without the exit handlers: they may want system calls that the sandbox no longer allows.
[[noreturn]] void End(int nCode)
{
    _exit(nCode);
}

// Waits while the session is busy; the channel's end is the end of the capture.
void Send(CRecordWriter& writer)
{
    if (writer.IsEmpty())
        return;
    for (;;)
    {
        const ssize_t nSent = send(CHANNEL_FD, writer.GetData(), writer.GetSize(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (nSent == ssize_t(writer.GetSize()))
            break;
        if (nSent >= 0 || (errno != EAGAIN && errno != EINTR))
            End(EXIT_ENDED);
        pollfd pfd {CHANNEL_FD, POLLOUT, 0};
        if (poll(&pfd, 1, -1) < 0 && errno != EINTR)
            End(EXIT_NO_CHANNEL);
        if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            End(EXIT_ENDED);
    }
    writer.Clear();
}

void SendOpened(std::int32_t nStep, std::int32_t nError, std::int32_t nReceiveAllError)
{
    CRecordWriter writer;
    writer.AddOpened({nStep, nError, nReceiveAllError});
    Send(writer);
}

// A place among the user's running captures: an abstract Unix socket name per place, held for the
// process's life, so the kernel frees it however the helper ends. Nothing touches the file system.
int TakeCapturePlace()
{
    const std::uint64_t nGiveUp = NowMs() + CAPTURE_PLACE_WAIT_MS;
    for (;;)
    {
        for (int nPlace = 0; nPlace < MAX_CAPTURES_PER_USER; ++nPlace)
        {
            CUniqueFd place(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            if (!place.IsOpen())
                return -1;
            sockaddr_un addr {};
            addr.sun_family = AF_UNIX;
            const std::string strName = "tarrow-capture/" + std::to_string(getuid()) + "/" + std::to_string(nPlace);
            std::memcpy(addr.sun_path + 1, strName.data(), strName.size());
            const auto nLength = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + strName.size());
            if (bind(place.Get(), reinterpret_cast<const sockaddr*>(&addr), nLength) == 0)
                return place.Release();
            if (errno != EADDRINUSE)
                return -1;
        }
        if (NowMs() >= nGiveUp)
        {
            errno = EUSERS;
            return -1;
        }
        const timespec pause {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

class CCaptureLoop
{
public:
    CCaptureLoop(int hSocket, CPacketRing& ring) : m_hSocket(hSocket), m_ring(ring) {}

    [[noreturn]] void Run()
    {
        pollfd fds[2] = {{m_hSocket, POLLIN, 0}, {CHANNEL_FD, 0, 0}};
        for (;;)
        {
            if (poll(fds, 2, int(HEARTBEAT_MS)) < 0 && errno != EINTR)
                End(EXIT_NO_CHANNEL);
            if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
                End(EXIT_ENDED);

            while (m_ring.ReadBlock([this](const CPacketRing::CFrame& frame) { OnFrame(frame); }))
            {}
            AddCountsIfDue();
            if ((fds[0].revents & POLLERR) != 0)
                Fail();
            Send(m_writer);
        }
    }

private:
    void Add(bool bAdded)
    {
        // A record always fits in an empty message.
        if (!bAdded)
            Send(m_writer);
    }

    void OnFrame(const CPacketRing::CFrame& frame)
    {
        if (!ExtractQueryName(frame.pData, frame.nLength, m_szName))
            return;
        const std::string_view name(m_szName, std::strlen(m_szName));
        if (!m_writer.AddName(frame.nSeconds, frame.nNanoseconds, name))
        {
            Send(m_writer);
            m_writer.AddName(frame.nSeconds, frame.nNanoseconds, name);
        }
    }

    // Counts go out when they changed, and at least once a heartbeat so that the session can tell
    // a quiet interface from a frozen helper.
    void AddCountsIfDue()
    {
        unsigned nKept = 0, nDropped = 0;
        if (CPacketSocket::ReadStatistics(m_hSocket, &nKept, &nDropped))
        {
            m_counts.nReceived += nKept;
            m_counts.nDropped += nDropped;
        }
        const std::uint64_t nNow = NowMs();
        if (nKept == 0 && nDropped == 0 && nNow - m_nLastCounts < HEARTBEAT_MS)
            return;
        m_nLastCounts = nNow;
        if (!m_writer.AddCounts(m_counts))
        {
            Send(m_writer);
            m_writer.AddCounts(m_counts);
        }
    }

    // The interface went down or away: the socket's pending error says so.
    [[noreturn]] void Fail()
    {
        int nError = 0;
        socklen_t nLength = sizeof(nError);
        if (getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLength) != 0 || nError <= 0)
            nError = EIO;
        if (!m_writer.AddFailed(nError))
        {
            Send(m_writer);
            m_writer.AddFailed(nError);
        }
        Send(m_writer);
        End(EXIT_CAPTURE_FAILED);
    }

    int m_hSocket;
    CPacketRing& m_ring;
    CRecordWriter m_writer;
    CCounts m_counts {};
    std::uint64_t m_nLastCounts = 0;
    char m_szName[NAME_BUFFER_SIZE] = {};
};

} // namespace

int main(int argc, char** argv)
{
    // File capabilities clear an inherited parent-death signal, so it is asked for here; a parent
    // that is already gone left the channel closed, which ends the loop just the same.
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);

    if (argc != 2 || !IsAcceptedAddress(argv[1]))
    {
        std::fputs("usage: tarrow-capture-helper LOCAL-ADDRESS (run by Tarrow, not by hand)\n", stderr);
        return EXIT_BAD_ARGUMENT;
    }
    struct stat channel
    {};
    if (fstat(CHANNEL_FD, &channel) != 0 || !S_ISSOCK(channel.st_mode))
    {
        std::fputs("tarrow-capture-helper: no caller's socket at descriptor 3\n", stderr);
        return EXIT_NO_CHANNEL;
    }

    if (TakeCapturePlace() < 0)
    {
        SendOpened(STEP_NO_PLACE, errno, 0);
        End(EXIT_STEP_FAILED);
    }

    static CPacketRing s_ring;
    const CPacketSocket::OpenResult result = CPacketSocket::Open(argv[1], &s_ring);
    if (result.fd < 0)
    {
        SendOpened(result.failedStep, result.error, 0);
        End(EXIT_STEP_FAILED);
    }
    if (!EnterCaptureSandbox(result.fd, CHANNEL_FD))
    {
        SendOpened(STEP_SANDBOX, errno, 0);
        End(EXIT_STEP_FAILED);
    }
    SendOpened(CPacketSocket::STEP_NONE, 0, result.receiveAllError);

    static CCaptureLoop s_loop(result.fd, s_ring);
    s_loop.Run();
}
