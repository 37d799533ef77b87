// tarrow-watch's lookup lines, live in a private namespace pair: a lookup the hosts file answers
// is a line of its own with no packet anywhere, and behind a local resolver the program's own
// exchange names it while the resolver's upstream one says for whom it asked.
#include "common/NetNamespaceFixture.h"
#include "common/TestUser.h"
#include "common/WatchRun.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

class WatchLookupLiveTest : public CWatchLiveTest
{
protected:
    void TearDown() override
    {
        for (const pid_t pid : m_resolvers)
        {
            kill(pid, SIGTERM);
            WaitForChild(pid);
        }
        std::error_code error;
        if (!m_strEtc.empty())
            std::filesystem::remove_all(m_strEtc, error);
        if (m_bMadeNetns)
            std::filesystem::remove("/etc/netns", error);
        CWatchLiveTest::TearDown();
    }

    // A file that `ip netns exec` lays over /etc in the capture namespace.
    void WriteEtc(const std::string& strName, const std::string& strText)
    {
        if (m_strEtc.empty())
        {
            m_bMadeNetns = !std::filesystem::exists("/etc/netns");
            m_strEtc = "/etc/netns/" + m_pNet->GetCaptureName();
            std::filesystem::create_directories(m_strEtc);
        }
        std::ofstream(m_strEtc + "/" + strName) << strText;
    }

    // A dnsmasq in the namespace, with the options, this test's child until TearDown.
    bool StartDnsmasq(const std::string& strNamespace, const std::vector<std::string>& options)
    {
        std::vector<std::string> args = {"ip",
                                         "netns",
                                         "exec",
                                         strNamespace,
                                         "dnsmasq",
                                         "--keep-in-foreground",
                                         "--conf-file=/dev/null",
                                         "--no-resolv",
                                         "--no-hosts",
                                         "--user=root",
                                         "--bind-interfaces",
                                         "--pid-file="};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawnp(&pid, "ip", nullptr, nullptr, argv.data(), environ) != 0)
            return false;
        m_resolvers.push_back(pid);
        return true;
    }

    // Looks the name up with getent in the capture namespace: getent's pid, and whether it found
    // the address.
    std::string LookUp(const std::string& strName, const std::string& strAddress, bool* pbFound = nullptr)
    {
        std::string strOut;
        CNetNamespace::RunIn(m_pNet->GetCaptureName(), "echo $$; exec getent ahostsv4 " + strName, &strOut);
        if (pbFound != nullptr)
            *pbFound = strOut.find(strAddress) != std::string::npos;
        return strOut.substr(0, strOut.find('\n'));
    }

    std::string m_strEtc;
    bool m_bMadeNetns = false;
    std::vector<pid_t> m_resolvers;
};

} // namespace

TEST_F(WatchLookupLiveTest, ALookupTheHostsFileAnswersIsALineOfItsOwnWithNoPacket)
{
    WriteEtc("hosts", "192.0.2.55 files.lookup.test\n");
    CWatchRun run({"-i", "any", "--format", "tsv", "--name", "*.lookup.test"});
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(run.ReadUntil("\n", 10s)) << run.ReadErrors();
    const std::string strPid = LookUp("files.lookup.test", "192.0.2.55");
    EXPECT_TRUE(run.ReadUntil("files.lookup.test", 10s)) << run.ReadErrors();
    kill(run.pid, SIGTERM);
    ASSERT_EQ(run.Wait(5s), 0);
    const auto lines = TsvLines(run.strOut);
    ASSERT_EQ(lines.size(), 1u) << run.strOut;
    const std::map<std::string, std::string> expected = {
        {"kind", "lookup"},  {"name", "files.lookup.test"},
        {"family", "inet"},  {"rcode", "SUCCESS"},
        {"pid", strPid},     {"program", "getent"},
        {"user", "root"},    {"transport", ""},
        {"source_port", ""}, {"answers", "files.lookup.test. - A 192.0.2.55"},
    };
    for (const auto& [strHead, strValue] : expected)
        EXPECT_EQ(lines[0].at(strHead), strValue) << strHead;
}

TEST_F(WatchLookupLiveTest, AResolversUpstreamExchangeSaysForWhomItAsked)
{
    if (std::system("command -v dnsmasq >/dev/null") != 0)
        GTEST_SKIP() << "dnsmasq is not installed (scripts/install-deps.sh test installs it)";
    // The files module misses, and the library asks the local resolver, which asks the peer's.
    WriteEtc("hosts", "");
    WriteEtc("resolv.conf", "nameserver 127.0.0.1\n");
    ASSERT_TRUE(StartDnsmasq(m_pNet->GetPeerName(), {"--listen-address=" + m_pNet->GetPeerAddress(),
                                                     "--address=/chain.lookup.test/192.0.2.77"}));
    ASSERT_TRUE(StartDnsmasq(m_pNet->GetCaptureName(),
                             {"--listen-address=127.0.0.1", "--cache-size=0", "--server=" + m_pNet->GetPeerAddress()}));
    CWatchRun run({"-i", "any", "--format", "tsv", "--name", "*.lookup.test"});
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(run.ReadUntil("\n", 10s)) << run.ReadErrors();
    // The resolvers may still be starting: the first lookups may fail.
    std::string strPid;
    bool bFound = false;
    for (int i = 0; i < 50 && !bFound; ++i)
    {
        strPid = LookUp("www.chain.lookup.test", "192.0.2.77", &bFound);
        if (!bFound)
            std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(bFound);
    // Each line is written when its end comes: the lookup's may come before the exchanges', whose
    // frames can wait in the ring's block a little longer than the lookup's end in its own ring.
    EXPECT_TRUE(run.ReadUntil("www.chain.lookup.test. - A 192.0.2.77", 10s)) << run.ReadErrors();
    EXPECT_TRUE(run.ReadUntil("getent/" + strPid + "/root/", 10s)) << run.ReadErrors();
    EXPECT_TRUE(run.ReadUntil("\t127.0.0.1\t53\t", 10s)) << run.ReadErrors();
    kill(run.pid, SIGTERM);
    ASSERT_EQ(run.Wait(5s), 0);
    bool bOwn = false, bUpstream = false, bLookup = false;
    for (const auto& line : TsvLines(run.strOut))
    {
        const bool bLast = line.at("pid") == strPid || line.at("for").find("/" + strPid + "/") != std::string::npos;
        if (line.at("kind") != "exchange" && line.at("kind") != "lookup")
            continue;
        if (line.at("kind") == "lookup" && line.at("pid") == strPid)
            bLookup = line.at("answers") == "www.chain.lookup.test. - A 192.0.2.77";
        else if (line.at("program") == "getent" && line.at("pid") == strPid)
            bOwn = bOwn || (line.at("destination") == "127.0.0.1" && line.at("for").empty());
        else if (line.at("program") == "dnsmasq" && bLast)
            bUpstream = line.at("destination") == m_pNet->GetPeerAddress()
                        && line.at("for").starts_with("getent/" + strPid + "/root/");
    }
    EXPECT_TRUE(bOwn) << run.strOut;
    EXPECT_TRUE(bUpstream) << run.strOut;
    EXPECT_TRUE(bLookup) << run.strOut;
}
