// Encrypted DNS, live in a private namespace pair against local TLS servers (openssl s_server): each
// protocol is a line with the program that spoke it, and an ordinary HTTPS connection leaves no
// trace, not even in the helper's records.
#include "capture/HelperProcess.h"
#include "common/TestUser.h"
#include "common/WatchRun.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

class WatchEncryptedLiveTest : public CWatchLiveTest
{
protected:
    void SetUp() override
    {
        CWatchLiveTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (std::system("command -v openssl kdig curl python3 >/dev/null") != 0)
            GTEST_SKIP() << "openssl, kdig, curl or python3 is missing (scripts/install-deps.sh test installs them)";
        char szFolder[] = "/tmp/tarrow-tls-XXXXXX";
        ASSERT_NE(mkdtemp(szFolder), nullptr);
        m_strFolder = szFolder;
        ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                               "-subj /CN=tarrow.test -keyout "
                               + m_strFolder + "/key.pem -out " + m_strFolder + "/cert.pem 2>/dev/null")
                                  .c_str()),
                  0);
        for (const char* pszPort : {"853", "443"})
            StartServer(pszPort);
        // Up once both accept.
        for (int i = 0; i < 100 && !(IsListening(853) && IsListening(443)); ++i)
            std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(IsListening(853) && IsListening(443));
    }
    void TearDown() override
    {
        for (const pid_t pid : m_servers)
        {
            kill(pid, SIGTERM);
            WaitForChild(pid);
        }
        std::error_code error;
        if (!m_strFolder.empty())
            std::filesystem::remove_all(m_strFolder, error);
        CWatchLiveTest::TearDown();
    }

    void StartServer(const char* pszPort)
    {
        std::vector<std::string> args = {"ip",
                                         "netns",
                                         "exec",
                                         m_pNet->GetPeerName(),
                                         "openssl",
                                         "s_server",
                                         "-quiet",
                                         "-accept",
                                         std::string(pszPort),
                                         "-cert",
                                         m_strFolder + "/cert.pem",
                                         "-key",
                                         m_strFolder + "/key.pem",
                                         "-www"};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        if (posix_spawnp(&pid, "ip", &actions, nullptr, argv.data(), environ) == 0)
            m_servers.push_back(pid);
        posix_spawn_file_actions_destroy(&actions);
    }
    bool IsListening(int nPort) const
    {
        return CNetNamespace::RunIn(m_pNet->GetPeerName(),
                                    "ss -Hltn 'sport = :" + std::to_string(nPort) + "' | grep -q LISTEN")
               == 0;
    }

    // Runs the command in the capture namespace as a process of its own; its pid.
    std::string RunClient(const std::string& strCommand)
    {
        std::string strOut;
        CNetNamespace::RunIn(m_pNet->GetCaptureName(), "echo $$; exec " + strCommand + " >/dev/null 2>&1", &strOut);
        return strOut.substr(0, strOut.find('\n'));
    }
    std::string Curl(const std::string& strName)
    {
        return RunClient("curl -sk --max-time 3 --resolve " + strName + ":443:" + m_pNet->GetPeerAddress() + " https://"
                         + strName + "/dns-query");
    }
    // A QUIC Initial's first bytes (long header, version 1), padded as a client pads it.
    std::string SendQuic(int nPort)
    {
        return RunClient("python3 -c \"import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto("
                         "b'\\xc3\\x00\\x00\\x00\\x01' + bytes(1195), ('"
                         + m_pNet->GetPeerAddress() + "', " + std::to_string(nPort) + "))\"");
    }

    std::string m_strFolder;
    std::vector<pid_t> m_servers;
};

} // namespace

// DoT from kdig, DoH from curl by a built-in name and by one of the user's, and DoQ from a QUIC
// packet to port 853: each one line, with the program and its pid.
TEST_F(WatchEncryptedLiveTest, EachProtocolIsALineWithTheProgramThatSpokeIt)
{
    const std::string strNames = m_strFolder + "/doh-names";
    std::ofstream(strNames) << "# the user's own\ndoh.own.test\n";
    CWatchRun run({"-i", "any", "--format", "tsv", "--doh-names", strNames});
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(run.ReadUntil("\n", 10s)) << run.ReadErrors();
    const std::string strPeer = m_pNet->GetPeerAddress();
    const std::string strKdig =
        RunClient("kdig +tls +tls-hostname=tarrow.test +timeout=1 +retry=0 @" + strPeer + " example.test");
    const std::string strCurl = Curl("dns.google");
    const std::string strOwnCurl = Curl("doh.own.test");
    const std::string strQuic = SendQuic(853);
    EXPECT_TRUE(run.ReadUntil("DoQ", 10s)) << run.ReadErrors();
    kill(run.pid, SIGTERM);
    ASSERT_EQ(run.Wait(5s), 0);

    struct
    {
        const char* pszEncrypted;
        const char* pszName;
        const char* pszTransport;
        const char* pszProgram;
        const std::string& strPid;
    } expected[] = {
        {"DoT", "tarrow.test", "tcp", "kdig", strKdig},
        {"DoH", "dns.google", "tcp", "curl", strCurl},
        {"DoH", "doh.own.test", "tcp", "curl", strOwnCurl},
        {"DoQ", "", "udp", "python3", strQuic},
    };
    const auto lines = TsvLines(run.strOut);
    for (const auto& one : expected)
    {
        const auto it = std::find_if(lines.begin(), lines.end(), [&](const auto& line) {
            return line.at("kind") == "encrypted" && line.at("encrypted") == one.pszEncrypted
                   && line.at("name") == one.pszName;
        });
        ASSERT_NE(it, lines.end()) << one.pszEncrypted << " " << one.pszName << "\n" << run.strOut;
        EXPECT_EQ(it->at("program"), one.pszProgram) << one.pszName;
        EXPECT_EQ(it->at("pid"), one.strPid) << one.pszName;
        EXPECT_EQ(it->at("transport"), one.pszTransport) << one.pszName;
        EXPECT_EQ(it->at("destination"), strPeer) << one.pszName;
        EXPECT_EQ(it->at("dns_id"), "") << one.pszName;
    }
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(), [](const auto& line) { return line.at("kind") == "encrypted"; }), 4)
        << run.strOut;
    const auto doh =
        std::find_if(lines.begin(), lines.end(), [](const auto& line) { return line.at("name") == "dns.google"; });
    EXPECT_NE(doh->at("alpn").find("http/1.1"), std::string::npos) << doh->at("alpn");
}

// An ordinary HTTPS connection, and QUIC to an address on no list, make no line, and the server
// name appears nowhere: not in the lines, not on stderr, not in a byte of the helper's records. A
// DoH connection in the same run shows that the capture saw them.
TEST_F(WatchEncryptedLiveTest, OrdinaryHttpsLeavesNoTraceEvenInTheHelpersRecords)
{
    CHelperProcess::CStarted helper = CHelperProcess::StartHelper(
        TARROW_TEST_HELPER_PATH, "any", Channel::Wants(Channel::WANTS_EXCHANGES | Channel::WANTS_ENCRYPTED));
    ASSERT_TRUE(helper.channel.IsOpen()) << helper.opened.nStep << " " << helper.opened.nError;
    CWatchRun run({"-i", "any", "--format", "tsv"});
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(run.ReadUntil("\n", 10s)) << run.ReadErrors();
    Curl("private-site.example");
    SendQuic(443);
    Curl("dns.google");
    EXPECT_TRUE(run.ReadUntil("dns.google", 10s)) << run.ReadErrors();
    kill(run.pid, SIGTERM);
    ASSERT_EQ(run.Wait(5s), 0);
    const std::string strRecords = CWatchRun::ReadFor(helper.channel.Get(), 1s);
    helper.process.Kill();

    EXPECT_NE(strRecords.find("dns.google"), std::string::npos);
    EXPECT_EQ(strRecords.find("private-site"), std::string::npos);
    EXPECT_EQ(run.strOut.find("private-site"), std::string::npos) << run.strOut;
    EXPECT_EQ(run.ReadErrors().find("private-site"), std::string::npos);
    EXPECT_EQ(TsvLines(run.strOut).size(), 1u) << run.strOut;
}
