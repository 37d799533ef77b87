// The capture helper as a process of its own, started the way the window starts it: what it turns
// down before it answers, what it answers, the names it writes, its place among the user's
// captures, and the sandbox it lives in.
#include "capture/HelperProcess.h"
#include "channel/CaptureRecords.h"
#include "channel/Channel.h"
#include "common/DnsQuery.h"
#include "common/NetNamespaceFixture.h"
#include "common/ProcessState.h"
#include "helper/CaptureSandbox.h"
#include "helper/PacketRing.h"
#include "helper/PacketSocket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <linux/filter.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace Channel;

namespace {

struct CHelperRun
{
    int nExitCode = -1;
    ssize_t nReplyBytes = -1; // 0: the helper closed the channel without a word
    unsigned char reply[64] = {};
};

// Runs the built helper with the given arguments and the channel at its fixed number, the way
// the client does, optionally without the capture right, and waits for its end.
CHelperRun RunHelper(const std::vector<std::string>& args, bool bWithoutRight = false, bool bWithChannel = true)
{
    CHelperRun run;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return run;
    const pid_t pid = fork();
    if (pid == 0)
    {
        if (bWithoutRight && !DropCaptureRight())
            _exit(100);
        // The helper's usage line would only clutter the test log.
        const int hQuiet = open("/dev/null", O_RDWR);
        if (hQuiet < 0 || dup2(hQuiet, STDERR_FILENO) < 0 || dup2(bWithChannel ? pair[1] : hQuiet, CHANNEL_FD) < 0)
            _exit(101);
        std::vector<char*> argv {const_cast<char*>("tarrow-capture-helper")};
        for (const std::string& strArg : args)
            argv.push_back(const_cast<char*>(strArg.c_str()));
        argv.push_back(nullptr);
        char* envp[] = {nullptr};
        execve(TARROW_TEST_HELPER_PATH, argv.data(), envp);
        _exit(102);
    }
    close(pair[1]);
    if (pid > 0)
    {
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        run.nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        run.nReplyBytes = recv(pair[0], run.reply, sizeof(run.reply), MSG_DONTWAIT);
    }
    close(pair[0]);
    return run;
}

// Collects what a message holds.
class CCollected : public CRecordSink
{
public:
    void OnOpened(const COpenedRecord& opened) override { m_opened = opened; }
    void OnName(std::int64_t nSeconds, std::uint32_t, std::string_view name) override
    {
        m_names.emplace_back(name);
        m_nLastSeconds = nSeconds;
    }
    void OnCounts(const CCountsRecord&) override {}
    void OnFailed(std::int32_t) override {}

    COpenedRecord m_opened;
    std::vector<std::string> m_names;
    std::int64_t m_nLastSeconds = 0;
};

void ExpectStep(const CHelperProcess::CStarted& started, int nStep, int nError)
{
    EXPECT_FALSE(started.channel.IsOpen());
    EXPECT_EQ(started.opened.nStep, nStep);
    EXPECT_EQ(started.opened.nError, nError);
}

} // namespace

TEST(CaptureHelperTest, HelperTurnsDownBadArgumentsAndAMissingChannelWithoutAnswering)
{
    const std::vector<std::vector<std::string>> badArguments = {
        {},        {"127.0.0.1", "127.0.0.1"}, {""},       {"127.0.0.1\n"}, {"256.0.0.1"},
        {"127.1"}, {std::string(100000, '1')}, {"--help"},
    };
    for (const auto& args : badArguments)
    {
        const CHelperRun run = RunHelper(args);
        EXPECT_EQ(run.nExitCode, EXIT_BAD_ARGUMENT) << (args.empty() ? "(none)" : args[0].substr(0, 20));
        EXPECT_EQ(run.nReplyBytes, 0);
    }
    EXPECT_EQ(RunHelper({"127.0.0.1"}, false, false).nExitCode, EXIT_NO_CHANNEL);
}

TEST(CaptureHelperTest, HelperWithoutTheRightReportsTheRefusedOpen)
{
    const CHelperRun run = RunHelper({"127.0.0.1"}, true);
    ASSERT_EQ(run.nExitCode, EXIT_STEP_FAILED);
    ASSERT_EQ(run.nReplyBytes, ssize_t(sizeof(COpenedRecord)));
    CCollected collected;
    ASSERT_TRUE(ReadRecords(run.reply, sizeof(COpenedRecord), true, collected));
    EXPECT_EQ(collected.m_opened.nStep, STEP_OPEN);
    EXPECT_EQ(collected.m_opened.nError, EPERM);
}

// The helper starts in the namespace of the thread that runs it: the capture side.
class CaptureHelperNetTest : public CNetNamespaceTest
{
protected:
    CHelperProcess::CStarted StartCapture()
    {
        CHelperProcess::CStarted started =
            CHelperProcess::StartHelper(TARROW_TEST_HELPER_PATH, m_pNet->GetCaptureAddress().c_str());
        EXPECT_TRUE(started.channel.IsOpen()) << "step " << started.opened.nStep << " errno " << started.opened.nError;
        return started;
    }
};

TEST_F(CaptureHelperNetTest, HelperWritesTheNamesAndEndsWhenItsChannelCloses)
{
    CHelperProcess::CStarted started = StartCapture();
    ASSERT_TRUE(started.channel.IsOpen());
    EXPECT_EQ(fcntl(started.channel.Get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    const int hPeer = CNetNamespace::OpenSocketIn(m_pNet->GetPeerName(), SOCK_DGRAM, m_pNet->GetPeerAddress(), 41000);
    ASSERT_GE(hPeer, 0);
    m_fds.push_back(hPeer);
    const std::time_t tSent = std::time(nullptr);
    ASSERT_TRUE(SendUdp(hPeer, m_pNet->GetCaptureAddress(), 53, MakeDnsQuery("through.helper.example")));
    CCollected collected;
    unsigned char message[MAX_MESSAGE_BYTES];
    pollfd pfd {started.channel.Get(), POLLIN, 0};
    while (collected.m_names.empty() && poll(&pfd, 1, 3000) == 1)
    {
        const ssize_t nReceived = recv(started.channel.Get(), message, sizeof(message), 0);
        ASSERT_GT(nReceived, 0);
        ASSERT_TRUE(ReadRecords(message, size_t(nReceived), false, collected));
    }
    ASSERT_EQ(collected.m_names, std::vector<std::string> {"through.helper.example"});
    EXPECT_LE(std::abs(collected.m_nLastSeconds - tSent), 1);

    const int hPidFd = int(syscall(SYS_pidfd_open, started.process.GetPid(), 0));
    ASSERT_GE(hPidFd, 0);
    m_fds.push_back(hPidFd);
    started.channel.Reset();
    pollfd ended {hPidFd, POLLIN, 0};
    ASSERT_EQ(poll(&ended, 1, 3000), 1);
    siginfo_t info {};
    ASSERT_EQ(waitid(P_PIDFD, id_t(hPidFd), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(info.si_code, CLD_EXITED);
    EXPECT_EQ(info.si_status, EXIT_ENDED);
}

TEST_F(CaptureHelperNetTest, OneUserRunsAtMostFourCapturesAtOnce)
{
    std::vector<CHelperProcess::CStarted> running;
    for (int i = 0; i < MAX_CAPTURES_PER_USER; ++i)
        running.push_back(StartCapture());
    ExpectStep(CHelperProcess::StartHelper(TARROW_TEST_HELPER_PATH, m_pNet->GetCaptureAddress().c_str()), STEP_NO_PLACE,
               EUSERS);
    // A place that frees up while a new capture waits for one is taken.
    std::thread ender([&first = running.front()] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        first.channel.Reset();
    });
    CHelperProcess::CStarted next = StartCapture();
    ender.join();
    running.clear();
    EXPECT_TRUE(next.channel.IsOpen());
}

// The same sandbox as the helper's, entered by a child that holds a real capture socket: the
// socket still reads, but nothing can be sent, changed or opened any more.
TEST_F(CaptureHelperNetTest, TheSandboxLeavesReadingAndTakesEverythingElse)
{
    const std::string strAddress = m_pNet->GetCaptureAddress();
    const pid_t pid = fork();
    if (pid == 0)
    {
        CPacketRing ring;
        const CPacketSocket::OpenResult opened = CPacketSocket::Open(strAddress.c_str(), &ring);
        int pair[2];
        if (opened.fd < 0 || socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
            _exit(10);
        if (!EnterCaptureSandbox(opened.fd, pair[0]))
            _exit(11);
        const unsigned char frame[64] = {};
        const int nZero = 0;
        unsigned nKept = 0, nDropped = 0;
        const bool bHeld = sendto(opened.fd, frame, sizeof(frame), 0, nullptr, 0) < 0 && errno == EPERM
                           && write(opened.fd, frame, sizeof(frame)) < 0
                           && setsockopt(opened.fd, SOL_SOCKET, SO_DETACH_FILTER, &nZero, sizeof(nZero)) < 0
                           && socket(AF_PACKET, SOCK_RAW, 0) < 0 && socket(AF_INET, SOCK_DGRAM, 0) < 0
                           && open("/etc/hostname", O_RDONLY) < 0 && send(pair[1], frame, 1, 0) < 0
                           && send(pair[0], frame, 1, 0) == 1
                           && CPacketSocket::ReadStatistics(opened.fd, &nKept, &nDropped);
        _exit(bHeld ? 0 : 12);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
}
