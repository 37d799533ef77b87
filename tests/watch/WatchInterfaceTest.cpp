// tarrow-watch choosing where it captures: a choice that is not there is a usage error naming the
// ones that are; an interface by name, and every interface at once, capture live in a private
// namespace pair; an interface deleted while it is captured is said to have gone.
#include "common/DnsQuery.h"
#include "common/NetNamespaceFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sys/capability.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// tarrow-watch with its stdout and stderr on pipes; killed and reaped if the test leaves it.
struct CWatch
{
    pid_t pid = -1;
    int hOut = -1;
    int hErr = -1;
    std::string strOut;

    explicit CWatch(const std::vector<std::string>& args)
    {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<std::string> all {TARROW_WATCH_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, TARROW_WATCH_PATH, &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        hOut = out[0];
        hErr = err[0];
    }
    ~CWatch()
    {
        if (pid > 0)
        {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(hOut);
        close(hErr);
    }
    // Reads what stdout has for up to the time; whether it then holds the text.
    bool ReadUntil(const std::string& strText, std::chrono::milliseconds wait)
    {
        const auto end = std::chrono::steady_clock::now() + wait;
        while (strOut.find(strText) == std::string::npos && std::chrono::steady_clock::now() < end)
        {
            pollfd pfd {hOut, POLLIN, 0};
            char buffer[4096];
            ssize_t n = 0;
            if (poll(&pfd, 1, 20) == 1 && (n = read(hOut, buffer, sizeof(buffer))) > 0)
                strOut.append(buffer, size_t(n));
            else if (n < 0 || (pfd.revents & POLLHUP) != 0)
                break;
        }
        return strOut.find(strText) != std::string::npos;
    }
    // What stderr holds until it closes, or stays quiet for a second while the run goes on.
    std::string ReadErrors()
    {
        std::string strText;
        char buffer[4096];
        pollfd pfd {hErr, POLLIN, 0};
        for (ssize_t n; poll(&pfd, 1, 1000) == 1 && (n = read(hErr, buffer, sizeof(buffer))) > 0;)
            strText.append(buffer, size_t(n));
        return strText;
    }
    // The exit code, or -1 when it did not end within the time.
    int Wait(std::chrono::milliseconds wait)
    {
        const auto end = std::chrono::steady_clock::now() + wait;
        int nStatus = 0;
        while (waitpid(pid, &nStatus, WNOHANG) == 0)
        {
            if (std::chrono::steady_clock::now() > end)
                return -1;
            std::this_thread::sleep_for(5ms);
        }
        pid = -1;
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
    }
};

} // namespace

// Checked before any helper runs, so no right is needed.
TEST(WatchInterfaceTest, AChoiceThatIsNotThereIsAUsageErrorNamingTheChoices)
{
    const struct
    {
        std::vector<std::string> args;
        const char* pszSaid;
    } cases[] = {
        {{"--address", "lo"}, "'lo' is no address of an interface that is up; the choices: "},
        {{"--address", "notanaddress"}, "'notanaddress' is no address"},
        {{"--address", "192.0.2.77"}, "'192.0.2.77' is no address"},
        {{"--interface", "nosuch0"}, "no interface 'nosuch0' is up here; the choices: any, "},
        {{"-i", "a/b"}, "no interface 'a/b'"},
        {{"-i", "lo", "--address", "127.0.0.1"}, "--address and --interface exclude each other"},
    };
    for (const auto& one : cases)
    {
        CWatch run(one.args);
        ASSERT_GT(run.pid, 0);
        const std::string strErrors = run.ReadErrors();
        EXPECT_EQ(run.Wait(10s), 2) << one.args.back();
        EXPECT_NE(strErrors.find(one.pszSaid), std::string::npos) << strErrors;
    }
}

class WatchInterfaceLiveTest : public CNetNamespaceTest
{
protected:
    // The build tree's helper holds the right for the test's length, as for the other live tests.
    void SetUp() override
    {
        CNetNamespaceTest::SetUp();
        if (IsSkipped())
            return;
        const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> pRights(
            cap_from_text("cap_net_raw,cap_bpf,cap_perfmon=p"), &cap_free);
        ASSERT_TRUE(pRights && cap_set_file(TARROW_TEST_HELPER_PATH, pRights.get()) == 0) << std::strerror(errno);
    }
    void TearDown() override
    {
        cap_set_file(TARROW_TEST_HELPER_PATH, nullptr);
        CNetNamespaceTest::TearDown();
    }

    // Sends queries for the name from the peer to the capture side until the run prints it.
    bool SendUntilPrinted(CWatch& run, const std::string& strName)
    {
        const int fd = CNetNamespace::OpenSocketIn(m_pNet->GetPeerName(), SOCK_DGRAM);
        bool bPrinted = false;
        for (int i = 0; fd >= 0 && i < 200 && !bPrinted; ++i)
        {
            SendUdp(fd, m_pNet->GetCaptureAddress(), 53, MakeDnsQuery(strName));
            bPrinted = run.ReadUntil(strName, 25ms);
        }
        close(fd);
        return bPrinted;
    }
};

// On every interface, a query over loopback shows once, as on loopback alone: its outgoing copy
// is left out there and only there, while the peer's query still comes through the veth.
TEST_F(WatchInterfaceLiveTest, AnInterfaceByNameAndEveryInterfaceCapture)
{
    Listen(m_pNet->GetCaptureName(), m_pNet->GetCaptureAddress(), 53);
    Listen(m_pNet->GetCaptureName(), "127.0.0.1", 53);
    for (const std::string& strInterface : {m_pNet->GetCaptureInterface(), std::string("any")})
    {
        CWatch run({"-i", strInterface, "--queries-only", "--format", "tsv"});
        ASSERT_GT(run.pid, 0);
        ASSERT_TRUE(run.ReadUntil("\n", 10s)) << run.ReadErrors();
        const std::string strLoopName = "loop." + strInterface + ".example";
        const int fd = CNetNamespace::OpenSocketIn(m_pNet->GetCaptureName(), SOCK_DGRAM);
        EXPECT_TRUE(SendUdp(fd, "127.0.0.1", 53, MakeDnsQuery(strLoopName)));
        close(fd);
        EXPECT_TRUE(SendUntilPrinted(run, "peer." + strInterface + ".example")) << strInterface;
        kill(run.pid, SIGTERM);
        EXPECT_EQ(run.Wait(5s), 0) << strInterface;
        size_t nLoopLines = 0;
        for (size_t n = run.strOut.find(strLoopName); n != std::string::npos; n = run.strOut.find(strLoopName, n + 1))
            ++nLoopLines;
        EXPECT_EQ(nLoopLines, strInterface == "any" ? 1u : 0u) << run.strOut;
    }
}

TEST_F(WatchInterfaceLiveTest, AnInterfaceDeletedWhileCapturedIsSaidToHaveGone)
{
    const std::string strInterface = m_pNet->GetCaptureInterface();
    CWatch run({"--interface", strInterface, "--queries-only", "--format", "tsv"});
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(run.ReadUntil("\n", 10s)) << run.ReadErrors();
    ASSERT_EQ(CNetNamespace::RunIn(m_pNet->GetCaptureName(), "ip link delete " + strInterface), 0);
    EXPECT_EQ(run.Wait(5s), 1);
    EXPECT_NE(run.ReadErrors().find("tarrow-watch: " + strInterface + " went away\n"), std::string::npos);
}
