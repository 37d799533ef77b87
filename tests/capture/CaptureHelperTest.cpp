#include "capture/CaptureHelperClient.h"
#include "capture/CaptureRecords.h"
#include "capture/PacketRing.h"
#include "capture/PacketSocket.h"
#include "capture/helper/CaptureSandbox.h"
#include "capture/helper/HelperProtocol.h"
#include "common/DnsQuery.h"
#include "common/NetNamespaceFixture.h"
#include "common/ProcessState.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/filter.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace HelperProtocol;

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
    void OnOpened(const COpened& opened) override { m_opened = opened; }
    void OnName(std::int64_t nSeconds, std::uint32_t, std::string_view name) override
    {
        m_names.emplace_back(name);
        m_nLastSeconds = nSeconds;
    }
    void OnCounts(const CCounts& counts) override { m_counts = counts; }
    void OnFailed(std::int32_t nError) override { m_nFailed = nError; }

    COpened m_opened {};
    std::vector<std::string> m_names;
    std::int64_t m_nLastSeconds = 0;
    CCounts m_counts {};
    std::int32_t m_nFailed = 0;
};

void ExpectStep(const CCaptureHelperClient::CStarted& started, int nStep, int nError)
{
    EXPECT_EQ(started.hChannel, -1);
    EXPECT_EQ(started.opened.nStep, nStep);
    EXPECT_EQ(started.opened.nError, nError);
}

bool NoChildLeft()
{
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

// Ends a running helper as the session does: closing its channel.
void EndHelper(const CCaptureHelperClient::CStarted& started)
{
    close(started.hChannel);
    CCaptureHelperClient::Reap(started.pid, CCaptureHelperClient::EXIT_TIMEOUT_MS);
}

} // namespace

TEST(CaptureHelperTest, AcceptsOnlyAddressesAsInetPtonReadsThemAndLinkLocalWithAnInterface)
{
    for (const char* pszGood :
         {"0.0.0.0", "127.0.0.1", "10.53.0.1", "255.255.255.255", "::1", "fd53:1::1", "2001:db8:0:0:0:0:0:1",
          "fe80::1%eth0", "fe80::a:b%tc12345_999c", "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"})
        EXPECT_TRUE(HelperProtocol::IsAcceptedAddress(pszGood)) << pszGood;
    for (const char* pszBad :
         {"", "1.2.3", "1.2.3.4.", ".1.2.3.4", "1..2.3", "1.2.3.4.5", "255.255.255.256", "256.0.0.1", "01.2.3.4",
          "1.2.3.04", "1.2.3.4 ", " 1.2.3.4", "0x7f.0.0.1", "-1.2.3.4", "1.2.3.+4", "1111.2.3.4", "0255.255.255.25",
          "localhost",
          // IPv6: a link-local address names no interface without its scope, and
          // only a link-local one takes a scope; the scope is an interface name.
          "fe80::1", "fd53:1::1%eth0", "1.2.3.4%eth0", "fe80::1%", "fe80::1%eth0%eth1", "fe80::1%a/b", "fe80::1%a b",
          "fe80::1%..", "fe80::1%abcdefghijklmnop", "[::1]", "::1 ", ":::", "1::2::3", "fe80::1%eth0\n"})
        EXPECT_FALSE(HelperProtocol::IsAcceptedAddress(pszBad)) << '"' << pszBad << '"';
    EXPECT_FALSE(HelperProtocol::IsAcceptedAddress(nullptr));
    // Length is checked without reading past the limit: a long run of digits and dots stops early.
    EXPECT_FALSE(HelperProtocol::IsAcceptedAddress(std::string(5000, '1').c_str()));
    EXPECT_FALSE(HelperProtocol::IsAcceptedAddress(("fe80::1%" + std::string(5000, 'e')).c_str()));
}

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
    ASSERT_EQ(run.nReplyBytes, ssize_t(OPENED_BYTES));
    CCollected collected;
    ASSERT_TRUE(ReadRecords(run.reply, OPENED_BYTES, true, collected));
    EXPECT_EQ(collected.m_opened.nStep, CPacketSocket::STEP_OPEN);
    EXPECT_EQ(collected.m_opened.nError, EPERM);
}

TEST(CaptureHelperTest, ClientReportsTheRefusalWhenNoHelperAnswersAndBadAddressesAsTheBindWould)
{
    const int nBefore = CountOpenDescriptors();
    // Missing, not a program, and a program that exits without a word.
    for (const char* pszPath : {"/nonexistent/tarrow-capture-helper", "/etc/hostname", "/bin/true"})
    {
        ExpectStep(CCaptureHelperClient::StartHelper(pszPath, "127.0.0.1"), CPacketSocket::STEP_OPEN, EPERM);
        EXPECT_EQ(CountOpenDescriptors(), nBefore) << pszPath;
        EXPECT_TRUE(NoChildLeft()) << pszPath;
    }
    // Nothing is run for these: had it been, the result would be the refusal.
    for (const char* pszBad : {"", "not an address", "1.2.3.4; rm -rf /", "999.1.1.1"})
        ExpectStep(CCaptureHelperClient::StartHelper("/bin/true", pszBad), CPacketSocket::STEP_BIND, EADDRNOTAVAIL);
    EXPECT_TRUE(NoChildLeft());
}

TEST(CaptureHelperTest, FindsTheBuildTreeHelperFirstAndTheInstalledOneLast)
{
    const std::vector<std::string> candidates = CCaptureHelperClient::GetHelperCandidates();
    ASSERT_FALSE(candidates.empty());
    for (const std::string& strPath : candidates)
        EXPECT_EQ(strPath.front(), '/') << strPath;
    EXPECT_EQ(candidates.back().substr(candidates.back().rfind('/')), "/tarrow-capture-helper");
    if (candidates.size() > 1)
    {
        EXPECT_EQ(candidates.front(), TARROW_TEST_HELPER_PATH);
    }
}

TEST(CaptureHelperTest, ProcessWithoutTheRightGetsTheOpenStepRefusal)
{
    EXPECT_TRUE(HoldsWithoutCaptureRight([] {
        const CCaptureHelperClient::CStarted started = CCaptureHelperClient::Start("127.0.0.1");
        const bool bRefused = started.hChannel == -1 && started.opened.nStep == CPacketSocket::STEP_OPEN
                              && started.opened.nError == EPERM;
        return bRefused && NoChildLeft();
    }));
}

// The helper starts in the namespace of the thread that runs it: the capture side.
class CaptureHelperNetTest : public CNetNamespaceTest
{
protected:
    CCaptureHelperClient::CStarted StartCapture()
    {
        const CCaptureHelperClient::CStarted started =
            CCaptureHelperClient::StartHelper(TARROW_TEST_HELPER_PATH, m_pNet->GetCaptureAddress().c_str());
        EXPECT_GE(started.hChannel, 0) << "step " << started.opened.nStep << " errno " << started.opened.nError;
        return started;
    }
};

TEST_F(CaptureHelperNetTest, HelperWritesTheNamesAndEndsWhenItsChannelCloses)
{
    const CCaptureHelperClient::CStarted started = StartCapture();
    ASSERT_GE(started.hChannel, 0);
    EXPECT_EQ(fcntl(started.hChannel, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    const int hPeer = CNetNamespace::OpenSocketIn(m_pNet->GetPeerName(), SOCK_DGRAM, m_pNet->GetPeerAddress(), 41000);
    ASSERT_GE(hPeer, 0);
    const std::time_t tSent = std::time(nullptr);
    ASSERT_TRUE(SendUdp(hPeer, m_pNet->GetCaptureAddress(), 53, MakeDnsQuery("through.helper.example")));
    CCollected collected;
    unsigned char message[MAX_MESSAGE_BYTES];
    pollfd pfd {started.hChannel, POLLIN, 0};
    while (collected.m_names.empty() && poll(&pfd, 1, 3000) == 1)
    {
        const ssize_t nReceived = recv(started.hChannel, message, sizeof(message), 0);
        ASSERT_GT(nReceived, 0);
        ASSERT_TRUE(ReadRecords(message, size_t(nReceived), false, collected));
    }
    ASSERT_EQ(collected.m_names, std::vector<std::string> {"through.helper.example"});
    EXPECT_LE(std::abs(collected.m_nLastSeconds - tSent), 1);
    close(hPeer);

    close(started.hChannel);
    int nStatus = 0;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (waitpid(started.pid, &nStatus, WNOHANG) == 0 && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), EXIT_ENDED);
}

TEST_F(CaptureHelperNetTest, HelperReportsTheFailingStepAndEnds)
{
    // Well formed but owned by no interface of the namespace.
    ExpectStep(CCaptureHelperClient::StartHelper(TARROW_TEST_HELPER_PATH, "192.0.2.77"), CPacketSocket::STEP_BIND,
               EADDRNOTAVAIL);
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(CaptureHelperNetTest, OneUserRunsAtMostFourCapturesAtOnce)
{
    std::vector<CCaptureHelperClient::CStarted> running;
    for (int i = 0; i < MAX_CAPTURES_PER_USER; ++i)
        running.push_back(StartCapture());
    ExpectStep(CCaptureHelperClient::StartHelper(TARROW_TEST_HELPER_PATH, m_pNet->GetCaptureAddress().c_str()),
               STEP_NO_PLACE, EUSERS);
    // A place that frees up while a new capture waits for one is taken.
    std::thread ender([first = running.front()] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EndHelper(first);
    });
    running.front() = StartCapture();
    ender.join();
    for (const auto& started : running)
        EndHelper(started);
    EXPECT_TRUE(NoChildLeft());
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
