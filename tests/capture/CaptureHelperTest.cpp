#include "capture/CaptureHelperClient.h"
#include "capture/helper/HelperProtocol.h"
#include "NetNamespace.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct CHelperRun
{
    int nExitCode = -1;
    ssize_t nReplyBytes = -1;  // 0: the helper closed the channel without a word
    HelperProtocol::CReply reply;
    int fd = -1;               // a descriptor that came with the reply
};

// Runs the built helper with the given arguments and the channel at its fixed number, the way
// the client does, optionally without the capture right.
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
        const int hQuiet = open("/dev/null", O_WRONLY);
        if (hQuiet < 0 || dup2(hQuiet, STDERR_FILENO) < 0)
            _exit(101);
        if (bWithChannel)
        {
            if (dup2(pair[1], HelperProtocol::CHANNEL_FD) < 0)
                _exit(101);
        }
        else
        {
            const int hNull = open("/dev/null", O_RDONLY);
            if (hNull < 0 || dup2(hNull, HelperProtocol::CHANNEL_FD) < 0)
                _exit(101);
        }
        std::vector<char*> argv {const_cast<char*>("tarrow-capture-helper")};
        for (const std::string& strArg : args)
            argv.push_back(const_cast<char*>(strArg.c_str()));
        argv.push_back(nullptr);
        char* envp[] = {nullptr};
        execve(TARROW_TEST_HELPER_PATH, argv.data(), envp);
        _exit(102);
    }
    close(pair[1]);
    if (pid < 0)
    {
        close(pair[0]);
        return run;
    }
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    run.nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);

    iovec iov {&run.reply, sizeof(run.reply)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] {};
    msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    run.nReplyBytes = recvmsg(pair[0], &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (cmsghdr* p = CMSG_FIRSTHDR(&msg); run.nReplyBytes > 0 && p != nullptr && p->cmsg_type == SCM_RIGHTS)
        std::memcpy(&run.fd, CMSG_DATA(p), sizeof(int));
    close(pair[0]);
    return run;
}

CPacketSocket::OpenResult Refused()
{
    CPacketSocket::OpenResult refused;
    refused.failedStep = CPacketSocket::STEP_OPEN;
    refused.error = EPERM;
    return refused;
}

void ExpectRefused(const CPacketSocket::OpenResult& result)
{
    EXPECT_EQ(result.fd, -1);
    EXPECT_EQ(result.failedStep, CPacketSocket::STEP_OPEN);
    EXPECT_EQ(result.error, EPERM);
}

bool NoChildLeft()
{
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

} // namespace

TEST(CaptureHelperTest, AcceptsOnlyAddressesAsInetPtonReadsThemAndLinkLocalWithAnInterface)
{
    for (const char* pszGood : {"0.0.0.0", "127.0.0.1", "10.53.0.1", "255.255.255.255", "::1", "fd53:1::1",
                                "2001:db8:0:0:0:0:0:1", "fe80::1%eth0", "fe80::a:b%tc12345_999c",
                                "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"})
        EXPECT_TRUE(HelperProtocol::IsAcceptedAddress(pszGood)) << pszGood;
    for (const char* pszBad : {"", "1.2.3", "1.2.3.4.", ".1.2.3.4", "1..2.3", "1.2.3.4.5", "255.255.255.256",
                               "256.0.0.1", "01.2.3.4", "1.2.3.04", "1.2.3.4 ", " 1.2.3.4", "0x7f.0.0.1",
                               "-1.2.3.4", "1.2.3.+4", "1111.2.3.4", "0255.255.255.25", "localhost",
                               // IPv6: a link-local address names no interface without its scope, and
                               // only a link-local one takes a scope; the scope is an interface name.
                               "fe80::1", "fd53:1::1%eth0", "1.2.3.4%eth0", "fe80::1%", "fe80::1%eth0%eth1",
                               "fe80::1%a/b", "fe80::1%a b", "fe80::1%..", "fe80::1%abcdefghijklmnop", "[::1]",
                               "::1 ", ":::", "1::2::3", "fe80::1%eth0\n"})
        EXPECT_FALSE(HelperProtocol::IsAcceptedAddress(pszBad)) << '"' << pszBad << '"';
    EXPECT_FALSE(HelperProtocol::IsAcceptedAddress(nullptr));
    // Length is checked without reading past the limit: a long run of digits and dots stops early.
    EXPECT_FALSE(HelperProtocol::IsAcceptedAddress(std::string(5000, '1').c_str()));
    EXPECT_FALSE(HelperProtocol::IsAcceptedAddress(("fe80::1%" + std::string(5000, 'e')).c_str()));
}

TEST(CaptureHelperTest, HelperTurnsDownBadArgumentsWithoutAnswering)
{
    const std::vector<std::vector<std::string>> badArguments = {
        {}, {"127.0.0.1", "127.0.0.1"}, {""}, {"127.0.0.1\n"}, {"256.0.0.1"}, {"127.1"},
        {std::string(100000, '1')}, {"--help"},
    };
    for (const auto& args : badArguments)
    {
        const CHelperRun run = RunHelper(args);
        EXPECT_EQ(run.nExitCode, HelperProtocol::EXIT_BAD_ARGUMENT) << (args.empty() ? "(none)" : args[0].substr(0, 20));
        EXPECT_EQ(run.nReplyBytes, 0);
    }
}

TEST(CaptureHelperTest, HelperNeedsTheCallersSocket)
{
    EXPECT_EQ(RunHelper({"127.0.0.1"}, false, false).nExitCode, HelperProtocol::EXIT_NO_CHANNEL);
}

TEST(CaptureHelperTest, HelperWithoutTheRightReportsTheRefusedOpen)
{
    const CHelperRun run = RunHelper({"127.0.0.1"}, true);
    ASSERT_EQ(run.nExitCode, HelperProtocol::EXIT_STEP_FAILED);
    ASSERT_EQ(run.nReplyBytes, ssize_t(sizeof(HelperProtocol::CReply)));
    EXPECT_EQ(run.reply.nStep, CPacketSocket::STEP_OPEN);
    EXPECT_EQ(run.reply.nError, EPERM);
    EXPECT_EQ(run.fd, -1);
}

TEST(CaptureHelperTest, ClientKeepsTheRefusalWhenNoHelperAnswers)
{
    const int nBefore = CountOpenDescriptors();
    // Missing, not a program, and a program that exits without a word.
    for (const char* pszPath : {"/nonexistent/tarrow-capture-helper", "/etc/hostname", "/bin/true"})
    {
        ExpectRefused(CCaptureHelperClient::OpenThroughHelper(pszPath, "127.0.0.1", Refused()));
        EXPECT_EQ(CountOpenDescriptors(), nBefore) << pszPath;
        EXPECT_TRUE(NoChildLeft()) << pszPath;
    }
}

TEST(CaptureHelperTest, ClientTurnsDownBadAddressesAsTheBindWould)
{
    // The helper path does not exist: had anything been run, the result would be the refusal.
    for (const char* pszBad : {"", "not an address", "1.2.3.4; rm -rf /", "999.1.1.1"})
    {
        const CPacketSocket::OpenResult result =
            CCaptureHelperClient::OpenThroughHelper("/nonexistent/helper", pszBad, Refused());
        EXPECT_EQ(result.fd, -1);
        EXPECT_EQ(result.failedStep, CPacketSocket::STEP_BIND) << pszBad;
        EXPECT_EQ(result.error, EADDRNOTAVAIL) << pszBad;
    }
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
        const CPacketSocket::OpenResult result = CCaptureHelperClient::Open("127.0.0.1");
        const bool bRefused = result.fd == -1 && result.failedStep == CPacketSocket::STEP_OPEN && result.error == EPERM;
        return bRefused && NoChildLeft();
    }));
}

// The helper starts in the namespace of the thread that runs it: the capture side.
class CaptureHelperNetTest : public CNetNamespaceTest
{
};

TEST_F(CaptureHelperNetTest, HelperHandsOverAWorkingCaptureSocket)
{
    const int nBefore = CountOpenDescriptors();
    const CPacketSocket::OpenResult result =
        CCaptureHelperClient::OpenThroughHelper(TARROW_TEST_HELPER_PATH, m_pNet->GetCaptureAddress().c_str(), Refused());
    ASSERT_GE(result.fd, 0) << "step " << result.failedStep << " errno " << result.error;
    EXPECT_EQ(result.receiveAllError, 0);
    EXPECT_EQ(CountOpenDescriptors(), nBefore + 1);
    EXPECT_TRUE(NoChildLeft());
    EXPECT_EQ(fcntl(result.fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    const int hPeer = CNetNamespace::OpenSocketIn(m_pNet->GetPeerName(), SOCK_DGRAM, m_pNet->GetPeerAddress(), 41000);
    ASSERT_GE(hPeer, 0);
    ASSERT_TRUE(SendUdp(hPeer, m_pNet->GetCaptureAddress(), 53, MakeDnsQuery("through.helper.example")));
    pollfd pfd {result.fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 3000), 1);
    unsigned char buffer[CPacketSocket::CAPTURE_BUFFER_SIZE];
    const ssize_t nReceived = recv(result.fd, buffer, sizeof(buffer), 0);
    ASSERT_GT(nReceived, 28);
    EXPECT_EQ(buffer[0] >> 4, 4);
    EXPECT_EQ((buffer[22] << 8) | buffer[23], 53);
    close(hPeer);
    close(result.fd);
}

TEST_F(CaptureHelperNetTest, HelperReportsTheFailingStepAsInProcess)
{
    // Well formed but owned by no interface of the namespace.
    const CPacketSocket::OpenResult result =
        CCaptureHelperClient::OpenThroughHelper(TARROW_TEST_HELPER_PATH, "192.0.2.77", Refused());
    EXPECT_EQ(result.fd, -1);
    EXPECT_EQ(result.failedStep, CPacketSocket::STEP_BIND);
    EXPECT_EQ(result.error, EADDRNOTAVAIL);
    EXPECT_TRUE(NoChildLeft());
}
