#include "helper/CaptureLoop.h"

#include "helper/PacketRing.h"
#include "helper/PacketSocket.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Channel;

namespace {

std::uint64_t NowMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000 + std::uint64_t(now.tv_nsec) / 1000000;
}

} // namespace

void CCaptureLoop::End(int nCode)
{
    _exit(nCode);
}

void CCaptureLoop::Send(CRecordWriter& writer)
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

void CCaptureLoop::Run()
{
    pollfd fds[2] = {{m_hSocket, POLLIN, 0}, {CHANNEL_FD, 0, 0}};
    for (;;)
    {
        if (poll(fds, 2, int(HEARTBEAT_MS)) < 0 && errno != EINTR)
            End(EXIT_NO_CHANNEL);
        if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            End(EXIT_ENDED);

        while (m_ring.ReadBlock([this](const CPacketRing::CFrame& frame) {
            OnFrame(frame.pData, frame.nLength, frame.nSeconds, frame.nNanoseconds);
        }))
        {}
        AddCountsIfDue();
        if ((fds[0].revents & POLLERR) != 0)
            Fail();
        Send(m_writer);
    }
}

void CCaptureLoop::OnFrame(const unsigned char* pData, size_t nLength, std::int64_t nSeconds,
                           std::uint32_t nNanoseconds)
{
    if (!ExtractQueryName(pData, nLength, m_szName))
        return;
    const std::string_view name(m_szName, std::strlen(m_szName));
    // A record always fits in an empty message.
    if (!m_writer.AddName(nSeconds, nNanoseconds, name))
    {
        Send(m_writer);
        m_writer.AddName(nSeconds, nNanoseconds, name);
    }
}

// Counts go out when they changed, and at least once a heartbeat so that the window can tell a
// quiet interface from a frozen helper.
void CCaptureLoop::AddCountsIfDue()
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
void CCaptureLoop::Fail()
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
