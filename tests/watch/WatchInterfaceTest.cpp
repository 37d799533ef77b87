// tarrow-watch choosing where it captures: a choice that is not there is a usage error naming the
// ones that are; an interface by name, and every interface at once, capture live in a private
// namespace pair; an interface deleted while it is captured is said to have gone.
#include "common/DnsQuery.h"
#include "common/NetNamespaceFixture.h"
#include "common/WatchRun.h"

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
        CWatchRun run(one.args);
        ASSERT_GT(run.pid, 0);
        const std::string strErrors = run.ReadErrors();
        EXPECT_EQ(run.Wait(10s), 2) << one.args.back();
        EXPECT_NE(strErrors.find(one.pszSaid), std::string::npos) << strErrors;
    }
}

class WatchInterfaceLiveTest : public CWatchLiveTest
{
protected:
    // Sends queries for the name from the peer to the capture side until the run prints it.
    bool SendUntilPrinted(CWatchRun& run, const std::string& strName)
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
        CWatchRun run({"-i", strInterface, "--queries-only", "--format", "tsv"});
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
    CWatchRun run({"--interface", strInterface, "--queries-only", "--format", "tsv"});
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(run.ReadUntil("\n", 10s)) << run.ReadErrors();
    ASSERT_EQ(CNetNamespace::RunIn(m_pNet->GetCaptureName(), "ip link delete " + strInterface), 0);
    EXPECT_EQ(run.Wait(5s), 1);
    EXPECT_NE(run.ReadErrors().find("tarrow-watch: " + strInterface + " went away\n"), std::string::npos);
}
