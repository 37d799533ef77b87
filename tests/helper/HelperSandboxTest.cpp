// The helper's sandbox, entered with a real capture socket and channel as the helper enters it.
#include "HelperRun.h"
#include "helper/CaptureLoop.h"
#include "helper/CaptureSandbox.h"
#include "helper/PacketRing.h"
#include "helper/PacketSocket.h"
#include "helper/SenderEvents.h"

#include <csignal>
#include <functional>
#include <sys/mman.h>
#include <sys/syscall.h>

namespace {

// Runs pfnTry in a child that holds a real capture socket and both ends of a channel, inside the
// helper's sandbox; the child's exit status, or 128 + the signal that ended it.
int InSandbox(const std::string& strAddress,
              const std::function<bool(int hSocket, int hChannel, int hOtherEnd)>& pfnTry)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        CPacketRing ring;
        COpenedRecord opened;
        const int hSocket = CPacketSocket::Open(strAddress.c_str(), ring, &opened);
        int pair[2];
        if (hSocket < 0 || socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
            _exit(10);
        // As the helper does with the rights to name programs: their ring is read in the sandbox.
        static CSenderEvents s_events;
        if (!s_events.Open(hSocket))
            _exit(13);
        if (!EnterCaptureSandbox(hSocket, pair[0]))
            _exit(11);
        const bool bTried = pfnTry(hSocket, pair[0], pair[1]);
        s_events.Drain(CCaptureLoop::EVENTS_PER_DRAIN, [](const sender_event&) {});
        _exit(bTried && s_events.GetLost() == 0 ? 0 : 12);
    }
    return WaitForChild(pid);
}

} // namespace

// The same sandbox as the helper's: the socket still reads, the ring of sending programs still
// drains and the channel still takes records, but any other call ends the process.
TEST_F(CaptureHelperNetTest, TheSandboxLeavesReadingAndKillsAnythingElse)
{
    const std::string strAddress = m_pNet->GetCaptureAddress();
    EXPECT_EQ(InSandbox(strAddress,
                        [](int hSocket, int hChannel, int) {
                            unsigned nKept = 0, nDropped = 0;
                            return CPacketSocket::ReadStatistics(hSocket, &nKept, &nDropped)
                                   && send(hChannel, "x", 1, 0) == 1;
                        }),
              0);

    const unsigned char frame[64] = {};
    const std::pair<const char*, std::function<bool(int, int, int)>> forbidden[] = {
        {"writing to stderr", [](int, int, int) { return write(STDERR_FILENO, "x", 1) == 1; }},
        {"sending a frame", [&frame](int hSocket, int, int) { return sendto(hSocket, frame, 64, 0, nullptr, 0) > 0; }},
        {"dropping the filter",
         [](int hSocket, int, int) {
             const int nZero = 0;
             return setsockopt(hSocket, SOL_SOCKET, SO_DETACH_FILTER, &nZero, sizeof(nZero)) == 0;
         }},
        {"a new socket", [](int, int, int) { return socket(AF_INET, SOCK_DGRAM, 0) >= 0; }},
        {"loading another program",
         [](int, int, int) { return syscall(SYS_bpf, 5 /* BPF_PROG_LOAD */, nullptr, 0) >= 0; }},
        {"opening a file", [](int, int, int) { return open("/etc/hostname", O_RDONLY) >= 0; }},
        {"sending on the window's end", [](int, int, int hOtherEnd) { return send(hOtherEnd, "x", 1, 0) == 1; }},
        {"mapping the ring again",
         [](int hSocket, int, int) { return mmap(nullptr, 4096, PROT_READ, MAP_SHARED, hSocket, 0) != MAP_FAILED; }},
        {"executable memory",
         [](int, int, int) {
             return mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED;
         }},
    };
    for (const auto& [pszWhat, pfnTry] : forbidden)
        EXPECT_EQ(InSandbox(strAddress, pfnTry), 128 + SIGSYS) << pszWhat;
}
