// tarrow-watch's short options, filters, output file and counts: the command line as a table, the
// filters on one capture file, and a live capture whose output file is moved away and reopened.
#include "common/DnsQuery.h"
#include "common/NetNamespaceFixture.h"
#include "common/TestUser.h"
#include "common/WatchRun.h"
#include "watch/WatchOptions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/capability.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// The name field of each TSV line, joined by |; with heads, they come first.
std::string TsvNames(const std::string& strOut)
{
    std::string strNames;
    for (const std::string& strName : TsvColumn(strOut, "name"))
        strNames += (strNames.empty() ? "" : "|") + strName;
    return strNames;
}

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::filesystem::path TempDirectory()
{
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("tarrow-watch-options-" + std::to_string(getpid()));
    std::filesystem::create_directory(path);
    return path;
}

} // namespace

TEST(WatchOptionsTest, ShortOptionsAndFilterValuesParseOrAreRefusedByName)
{
    const struct
    {
        std::vector<const char*> args;
        const char* pszError; // nullptr: accepted
    } cases[] = {
        {{"-c5", "-Fcsv", "-q", "-rfile.pcap", "-o", "out.csv"}, nullptr},
        {{"-c", "5", "-F", "csv", "-r", "file.pcap", "-oout.csv"}, nullptr},
        {{"--name", "*.example.com", "--type", "A,TYPE28", "--rcode", "NXDOMAIN", "--min-latency", "2.5"}, nullptr},
        {{"-c0"}, "-c: a whole number above 0, not '0'"},
        {{"-c"}, "-c needs a value"},
        {{"-Fxml"}, "-F: text, tsv, csv or json, not 'xml'"},
        {{"-q1"}, "-q takes no value"},
        {{"-i"}, "-i needs a value"},
        {{"--stats=yes"}, "--stats takes no value"},
        {{"-o", ""}, "-o: a file name"},
        {{"--type", "A,,MX"}, "--type: a type"},
        {{"--source", "10.1/8"}, "--source: a CIDR"},
        {{"--min-latency", "soon"}, "--min-latency: a number"},
        {{"--name=*.com", "--exclude-name", ""}, "--exclude-name: a glob"},
        {{"--queries-only", "--rcode", "NXDOMAIN"}, "cannot go with --queries-only"},
        {{"--min-latency", "5", "--queries-only"}, "cannot go with --queries-only"},
        {{"--encrypted", "--queries-only"}, "cannot go together"},
        {{"--doh-names", "names.txt", "--no-encrypted"}, "--doh-names adds to"},
        {{"--doh-names", "names.txt", "--queries-only"}, "--doh-names adds to"},
    };
    for (const auto& entry : cases)
    {
        std::vector<const char*> argv {"tarrow-watch"};
        argv.insert(argv.end(), entry.args.begin(), entry.args.end());
        CWatchOptions options;
        std::string strError;
        const bool bParsed = options.Parse(int(argv.size()), argv.data(), strError);
        EXPECT_EQ(bParsed, entry.pszError == nullptr) << entry.args[0] << ": " << strError;
        if (entry.pszError != nullptr)
        {
            EXPECT_NE(strError.find(entry.pszError), std::string::npos) << strError;
        }
    }
    CWatchOptions options;
    std::string strError;
    const char* const argv[] = {"tarrow-watch", "-c5", "-Fcsv", "-q", "-rfile.pcap", "-oout.csv", "--stats"};
    ASSERT_TRUE(options.Parse(7, argv, strError)) << strError;
    EXPECT_EQ(options.nCount, 5u);
    EXPECT_EQ(options.nAction, CWatchOptions::READ_FILE);
    EXPECT_EQ(options.strFile, "file.pcap");
    EXPECT_EQ(options.strOutput, "out.csv");
    EXPECT_TRUE(options.bNoHeads && options.bStats);

    // --doh-names' file is read after the line, and what is wrong with it is said with its line.
    char szFolder[] = "/tmp/tarrow-names-XXXXXX";
    ASSERT_NE(mkdtemp(szFolder), nullptr);
    const std::string strNames = std::string(szFolder) + "/names";
    const struct
    {
        const char* pszText; // nullptr: no file
        const char* pszError;
        const char* pszEntries;
    } files[] = {
        {"# mine\nDoh.Mine.Example.\n192.0.2.53\n", nullptr, "doh.mine.example\n192.0.2.53\n"},
        {"doh.mine.example\nhttps://doh.mine.example/dns-query\n", "names: line 2: \"https://", ""},
        {nullptr, "No such file or directory", ""},
    };
    for (const auto& file : files)
    {
        if (file.pszText != nullptr)
            std::ofstream(strNames) << file.pszText;
        else
            std::filesystem::remove(strNames);
        CWatchOptions withNames;
        const char* const names[] = {"tarrow-watch", "--doh-names", strNames.c_str()};
        ASSERT_TRUE(withNames.Parse(3, names, strError)) << strError;
        strError.clear();
        EXPECT_EQ(withNames.ReadDohNames(strError), file.pszError == nullptr) << strError;
        EXPECT_EQ(withNames.strDohResolvers, file.pszEntries);
        EXPECT_NE(strError.find(file.pszError != nullptr ? file.pszError : ""), std::string::npos) << strError;
    }
    std::filesystem::remove_all(szFolder);
}

TEST(WatchOptionsTest, TopTakesAnOptionalRowCountAndIntervalTakesSeconds)
{
    struct CCase
    {
        std::vector<const char*> args;
        bool bOk;
        std::uint64_t nRows;
        std::uint64_t nIntervalMs;
    };
    const CCase cases[] = {
        {{"--top"}, true, 20, 2000},
        {{"--top", "5", "--utc"}, true, 5, 2000},
        {{"--top=7", "--interval", "0.5"}, true, 7, 500},
        // A following option or file is no row count.
        {{"--top", "--read", "5"}, true, 20, 2000},
        {{"--top", "0"}, false, 0, 0},
        {{"--top=x"}, false, 0, 0},
        {{"--top", "--interval", "0"}, false, 0, 0},
    };
    for (const CCase& test : cases)
    {
        std::vector<const char*> argv = {"tarrow-watch"};
        argv.insert(argv.end(), test.args.begin(), test.args.end());
        CWatchOptions options;
        std::string strError;
        const bool bOk = options.Parse(int(argv.size()), argv.data(), strError);
        ASSERT_EQ(bOk, test.bOk) << test.args.front() << " " << strError;
        if (bOk)
        {
            EXPECT_TRUE(options.bTop);
            EXPECT_EQ(options.nTopRows, test.nRows);
            EXPECT_EQ(options.nIntervalMs, test.nIntervalMs);
        }
    }
}

// The bash completion offers every option of the table and no other, and completes each value as
// the option's row says; each word it offers is a value the parser takes.
TEST(WatchOptionsTest, TheBashCompletionIsTheTableOfOptions)
{
    const std::string strScript = ReadFile(TARROW_COMPLETION_PATH);
    ASSERT_FALSE(strScript.empty());
    // The arms of its case on the word before the cursor: each option name's body.
    std::map<std::string, std::string> arms;
    const size_t nCase = strScript.find("case $prev in"), nEsac = strScript.find("esac", nCase);
    ASSERT_NE(nEsac, std::string::npos);
    std::istringstream caseLines(strScript.substr(nCase, nEsac - nCase));
    std::vector<std::string> armNames;
    std::string strBody;
    for (std::string strLine; std::getline(caseLines, strLine);)
    {
        const size_t nText = strLine.find_first_not_of(' ');
        if (nText == std::string::npos || strLine[nText] == '#')
            continue;
        if (strLine[nText] == '-' && strLine.ends_with(")"))
        {
            std::istringstream names(strLine.substr(nText, strLine.size() - nText - 1));
            armNames.clear();
            strBody.clear();
            for (std::string strName; names >> strName;)
            {
                if (strName != "|")
                    armNames.push_back(strName);
            }
        }
        else if (strLine.substr(nText) == ";;")
        {
            for (const std::string& strName : armNames)
                arms[strName] = strBody;
        }
        else
            strBody += strLine.substr(nText) + "\n";
    }
    const size_t nOptions = strScript.find("local options=\"") + 15;
    std::istringstream offeredWords(strScript.substr(nOptions, strScript.find('"', nOptions) - nOptions));
    std::set<std::string> offered, names;
    for (std::string strWord; offeredWords >> strWord;)
        offered.insert(strWord);

    const std::map<std::string, std::string> sources = {{"@interfaces", "/sys/class/net"},
                                                        {"@addresses", "--list-addresses"},
                                                        {"@files", "compgen -f"},
                                                        {"@users", "compgen -u"},
                                                        {"@commands", "compgen -c"}};
    for (const CWatchOptions::COption& option : CWatchOptions::Options())
    {
        std::vector<std::string> optionNames;
        if (option.pszLong != nullptr)
            optionNames.push_back(option.pszLong);
        if (option.chShort != 0)
            optionNames.push_back(std::string {'-', option.chShort});
        const std::string strCompletion = option.pszCompletion;
        for (const std::string& strName : optionNames)
        {
            names.insert(strName);
            // An optional value is no value to complete: the options are offered after it.
            if (option.nValue != CWatchOptions::COption::NEEDED)
            {
                EXPECT_FALSE(arms.contains(strName)) << strName;
                continue;
            }
            ASSERT_TRUE(arms.contains(strName)) << strName;
            const std::string& strArm = arms[strName];
            if (strCompletion.empty())
                EXPECT_EQ(strArm, "return\n") << strName;
            else if (strCompletion[0] == '@')
                EXPECT_NE(strArm.find(sources.at(strCompletion)), std::string::npos) << strName << ": " << strArm;
            else
                EXPECT_NE(strArm.find("compgen -W \"" + strCompletion + "\""), std::string::npos)
                    << strName << ": " << strArm;
        }
        if (strCompletion.empty() || strCompletion[0] == '@')
            continue;
        std::istringstream words(strCompletion);
        for (std::string strWord; words >> strWord;)
        {
            const char* const argv[] = {"tarrow-watch", option.pszLong, strWord.c_str()};
            CWatchOptions options;
            std::string strError;
            EXPECT_TRUE(options.Parse(3, argv, strError)) << strError;
        }
    }
    EXPECT_EQ(offered, names);
}

// One capture with MX, LOC, PTR, A, AAAA, ANY, an NXDOMAIN and latencies from 0.4 to 832 ms, all
// from 192.168.170.8 to 192.168.170.20, no program named.
TEST(WatchOptionsTest, FiltersKeepTheNamesTheySayFromACaptureFile)
{
    const std::string strFile = TARROW_CAPTURES_DIR "/zeek-long-connection.pcap";
    const struct
    {
        std::vector<std::string> args;
        const char* pszNames;
    } cases[] = {
        {{},
         "google.com|google.com|104.9.192.66.in-addr.arpa|www.netbsd.org|www.netbsd.org|www.netbsd.org|"
         "www.google.com|www.l.google.com|www.example.com|www.example.notginh|www.isc.org"},
        {{"--name", "*.NETBSD.org"}, "www.netbsd.org|www.netbsd.org|www.netbsd.org"},
        {{"--name", "*.google.com", "--name", "*.arpa"}, "104.9.192.66.in-addr.arpa|www.google.com|www.l.google.com"},
        {{"--type", "aaaa,TYPE29", "--exclude-name", "www.l.*", "--exclude-name", "*.netbsd.org"},
         "google.com|www.google.com|www.example.com|www.example.notginh"},
        {{"--rcode", "nxdomain"}, "www.example.notginh"},
        {{"--min-latency", "200"}, "google.com|www.netbsd.org|www.example.com|www.example.notginh"},
        // Past 100 ms a query is unanswered and its late response stands alone, with no latency.
        {{"--timeout", "0.1", "--rcode", "unanswered", "--type", "AAAA"},
         "www.netbsd.org|www.example.com|www.example.notginh"},
        {{"--timeout", "0.1", "--min-latency", "50", "--name", "*google*"}, "google.com|google.com"},
        {{"--source", "192.168.170.0/24", "--type", "MX"}, "google.com"},
        {{"--source", "192.168.170.20"}, ""},
        {{"--program", "dig"}, ""},
        {{"--queries-only", "--type", "PTR,ANY"}, "104.9.192.66.in-addr.arpa|www.isc.org"},
        {{"-c", "2", "--name", "*.google.com"}, "www.google.com|www.l.google.com"},
    };
    for (const auto& entry : cases)
    {
        std::vector<std::string> args {"-r", strFile, "-Ftsv"};
        args.insert(args.end(), entry.args.begin(), entry.args.end());
        const CRunResult result = RunWatch(args);
        EXPECT_EQ(result.nExit, 0) << result.strErr;
        EXPECT_EQ(TsvNames(result.strOut), "name" + std::string(*entry.pszNames ? "|" : "") + entry.pszNames)
            << entry.args.size() << " " << result.strErr;
    }

    // A bad value is a usage error; a file that cannot be opened for -o fails as output does.
    const CRunResult bad = RunWatch({"-r", strFile, "--source", "10.0.0.0/40"});
    EXPECT_EQ(bad.nExit, 2);
    EXPECT_NE(bad.strErr.find("--source: a CIDR"), std::string::npos) << bad.strErr;
    const std::filesystem::path directory = TempDirectory();
    EXPECT_EQ(RunWatch({"-r", strFile, "-o", (directory / "none" / "out").string()}).nExit, 4);

    // -o appends, each run with its heads; --stats counts what was seen, not what was printed.
    const std::string strOutput = (directory / "out.tsv").string();
    for (int i = 0; i < 2; ++i)
    {
        const CRunResult result = RunWatch({"-r", strFile, "-Ftsv", "-o", strOutput, "--stats", "--rcode", "NXDOMAIN"});
        EXPECT_EQ(result.nExit, 0) << result.strErr;
        EXPECT_EQ(result.strOut, "");
        EXPECT_NE(result.strErr.find(
                      "frames 22, queries 11, missed 0, named 0, unnamed 11, answered 11, unanswered 0 "
                      "(given up early 0, for a full key 0), wrong checksums 0, unchecked 0, encrypted 0, printed 1\n"),
                  std::string::npos)
            << result.strErr;
    }
    EXPECT_EQ(TsvNames(ReadFile(strOutput)), "name|www.example.notginh|name|www.example.notginh");
    std::filesystem::remove_all(directory);
}

using WatchOutputLiveTest = CWatchLiveTest;

// Each query is sent once and must be in exactly one of the two files; the lines after the HUP
// are in the new one.
// Root's log goes where root says and nowhere another user points it: in a folder anyone may write,
// no link is followed and no file of another's, or with another name, is appended to.
TEST(WatchOptionsTest, RootsOutputFileIsNeverOneAnotherUserPlacedThere)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: another user's files in a folder anyone may write";
    CTestUser other("tarrow-otherlog");
    ASSERT_TRUE(other.IsReady());
    const std::filesystem::path sticky = TempDirectory() / "sticky", kept = TempDirectory() / "roots-file";
    std::filesystem::create_directory(sticky);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    std::ofstream(kept) << "root's own\n";
    ASSERT_EQ(link(kept.c_str(), (sticky / "linked").c_str()), 0);
    ASSERT_EQ(mkfifo((sticky / "fifo").c_str(), 0600), 0);
    std::ofstream(sticky / "roots") << "";
    const pid_t child = other.Start([&] {
        return symlink(kept.c_str(), (sticky / "symlink").c_str()) == 0 && creat((sticky / "theirs").c_str(), 0666) >= 0
                       && chmod((sticky / "theirs").c_str(), 0666) == 0
                   ? 0
                   : 1;
    });
    ASSERT_EQ(WaitForChild(child), 0);
    const struct
    {
        const char* pszName;
        int nExit;
        const char* pszSaid; // in stderr
    } cases[] = {
        {"symlink", 4, "is a symbolic link"},
        {"theirs", 4, "belongs to uid"},
        {"linked", 4, "has 2 names"},
        {"fifo", 4, "is not a regular file"},
        {"roots", 0, ""},
        {"new", 0, ""},
    };
    const mode_t nUmask = umask(0);
    for (const auto& entry : cases)
    {
        const std::filesystem::path path = sticky / entry.pszName;
        const CRunResult result =
            RunWatch({"-r", std::string(TARROW_CAPTURES_DIR) + "/tcpdump-dns_udp.pcap", "-q", "-o", path.string()});
        EXPECT_EQ(result.nExit, entry.nExit) << entry.pszName << ": " << result.strErr;
        EXPECT_NE(result.strErr.find(entry.pszSaid), std::string::npos) << entry.pszName << ": " << result.strErr;
        if (entry.nExit == 0)
        {
            EXPECT_NE(ReadFile(path).find("www.tcpdump.org"), std::string::npos) << entry.pszName;
            struct stat facts
            {};
            ASSERT_EQ(stat(path.c_str(), &facts), 0);
            EXPECT_EQ(facts.st_mode & 07777, std::string(entry.pszName) == "new" ? 0600u : 0644u) << entry.pszName;
        }
    }
    umask(nUmask);
    EXPECT_EQ(ReadFile(kept), "root's own\n");
    EXPECT_EQ(ReadFile(sticky / "theirs"), "");
    std::filesystem::remove_all(TempDirectory());
}

TEST_F(WatchOutputLiveTest, SighupReopensTheMovedFileWithNoLineLostAndSigusr1TellsTheCounts)
{
    Listen(m_pNet->GetCaptureName(), m_pNet->GetCaptureAddress(), 53);
    const std::filesystem::path directory = TempDirectory();
    const std::filesystem::path output = directory / "watch.tsv", moved = directory / "watch.tsv.1";
    CWatchRun run({"--address", m_pNet->GetCaptureAddress(), "--queries-only", "-Ftsv", "-o", output.string()});
    ASSERT_GT(run.pid, 0);
    const auto WaitForLines = [](const std::filesystem::path& path, long nLines) {
        for (const auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(10ms))
        {
            const std::string strText = ReadFile(path);
            if (std::count(strText.begin(), strText.end(), '\n') >= nLines)
                return;
        }
    };
    WaitForLines(output, 1); // the heads: the capture runs
    const int fd = CNetNamespace::OpenSocketIn(m_pNet->GetPeerName(), SOCK_DGRAM);
    ASSERT_GE(fd, 0);
    const auto Send = [&](const char* pszBatch) {
        std::string strNames;
        for (int i = 0; i < 5; ++i)
        {
            const std::string strName = pszBatch + std::to_string(i) + ".rotate.example";
            EXPECT_TRUE(SendUdp(fd, m_pNet->GetCaptureAddress(), 53, MakeDnsQuery(strName)));
            strNames += "|" + strName;
        }
        return strNames;
    };
    const std::string strBefore = Send("before");
    WaitForLines(output, 6);
    std::filesystem::rename(output, moved);
    ASSERT_EQ(kill(run.pid, SIGHUP), 0);
    WaitForLines(output, 1);
    const std::string strAfter = Send("after");
    WaitForLines(output, 6);
    close(fd);

    ASSERT_EQ(kill(run.pid, SIGUSR1), 0);
    const std::string strCounts = CWatchRun::ReadFor(run.hErr, 2s);
    EXPECT_NE(strCounts.find("frames 10, queries 10, missed 0, "), std::string::npos) << strCounts;
    EXPECT_NE(strCounts.find(", printed 10\n"), std::string::npos) << strCounts;
    kill(run.pid, SIGTERM);
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_EQ(TsvNames(ReadFile(moved)), "name" + strBefore);
    EXPECT_EQ(TsvNames(ReadFile(output)), "name" + strAfter);
    std::filesystem::remove_all(directory);
}
