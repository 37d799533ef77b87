// The tarrow-watch program itself: files of every link type read by the capture's decoder, broken
// files told clearly, the exchanges the captures hold, and a live capture in a private namespace
// that joins a real server's responses to dig's queries and ends at once on SIGTERM or a closed
// pipe without leaving its helper.
#include "common/DnsQuery.h"
#include "common/NetNamespaceFixture.h"
#include "common/WatchRun.h"
#include "common/PcapngFile.h"
#include "common/ProcessState.h"
#include "dns/TestFrames.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <sys/capability.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// The names column of TSV output.
std::vector<std::string> TsvNames(const std::string& strOut)
{
    std::vector<std::string> names = TsvColumn(strOut, "name");
    names.erase(names.begin(), names.begin() + (names.empty() ? 0 : 1)); // the heads
    return names;
}

constexpr char NO_CAPABILITY[] = "0000000000000000";

std::string TempPath(const char* pszName)
{
    return (std::filesystem::temp_directory_path()
            / (std::string("tarrow-watch-") + std::to_string(getpid()) + pszName))
        .string();
}

// A pcap file of one link type, each frame a network-layer frame behind that type's header.
void WritePcap(const std::string& strPath, int nLinkType, const std::vector<CBytes>& frames)
{
    pcap_t* pDead = pcap_open_dead(nLinkType, 65535);
    ASSERT_NE(pDead, nullptr);
    pcap_dumper_t* pDump = pcap_dump_open(pDead, strPath.c_str());
    ASSERT_NE(pDump, nullptr) << pcap_geterr(pDead);
    long nSecond = 1765100000;
    for (const CBytes& frame : frames)
    {
        pcap_pkthdr header {};
        header.ts.tv_sec = nSecond++;
        header.caplen = header.len = bpf_u_int32(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(pDump), &header, frame.data());
    }
    pcap_dump_close(pDump);
    pcap_close(pDead);
}

CBytes WireName(const std::string& strName)
{
    CBytes query = MakeDnsQuery(strName);
    return CBytes(query.begin() + 12, query.end());
}

// A program started with its output thrown away, killed and reaped when this goes.
struct CQuietProcess
{
    pid_t pid = -1;

    explicit CQuietProcess(std::vector<std::string> args)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~CQuietProcess()
    {
        if (pid > 0)
        {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    void Wait()
    {
        if (pid > 0)
            waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

// The lines of a running tarrow-watch as they come.
struct CLineReader
{
    CWatchRun& run;
    std::string strPending;
    std::vector<std::string> lines;

    // Reads what comes within the time; false once the output is closed.
    bool ReadFor(std::chrono::milliseconds wait)
    {
        if (!run.WaitForOutput(wait))
            return true;
        char buffer[65536];
        const ssize_t n = read(run.hOut, buffer, sizeof(buffer));
        if (n <= 0)
            return false;
        strPending.append(buffer, size_t(n));
        for (size_t nEnd; (nEnd = strPending.find('\n')) != std::string::npos; strPending.erase(0, nEnd + 1))
            lines.push_back(strPending.substr(0, nEnd));
        return true;
    }
    // The first line of that kind and name, or empty.
    std::string Find(const std::string& strKind, const std::string& strName) const
    {
        const std::string strKindHead = "{\"kind\":\"" + strKind + "\",",
                          strNameField = ",\"name\":\"" + strName + "\",";
        for (const std::string& strLine : lines)
        {
            if (strLine.starts_with(strKindHead) && strLine.find(strNameField) == strLine.find(",\"name\":"))
                return strLine;
        }
        return {};
    }
};

// The value of a key in a JSON line: a string's text without its quotes, or the bare value, or "?".
// (No test line holds an escaped quote.)
std::string JsonField(const std::string& strLine, const std::string& strKey, size_t* pnFrom = nullptr)
{
    const std::string strNeedle = "\"" + strKey + "\":";
    const size_t nAt = strLine.find(strNeedle, pnFrom != nullptr ? *pnFrom : 0);
    if (nAt == std::string::npos)
        return "?";
    const size_t nValue = nAt + strNeedle.size();
    const bool bText = strLine.compare(nValue, 1, "\"") == 0;
    const size_t nEnd = bText ? strLine.find('"', nValue + 1) : strLine.find_first_of(",}", nValue);
    if (pnFrom != nullptr)
        *pnFrom = nEnd;
    return bText ? strLine.substr(nValue + 1, nEnd - nValue - 1) : strLine.substr(nValue, nEnd - nValue);
}

// One JSON line of an exchange cut to what a reader checks first: kind, name, type, transport, id,
// rcode, the answers' data and the latency.
std::string ExchangeSummary(const std::string& strLine)
{
    std::string strAnswers;
    size_t nFrom = 0;
    for (std::string strData; (strData = JsonField(strLine, "data", &nFrom)) != "?";)
        strAnswers += (strAnswers.empty() ? "" : "|") + strData;
    return JsonField(strLine, "kind") + " " + JsonField(strLine, "name") + " " + JsonField(strLine, "type") + " "
           + JsonField(strLine, "transport") + " " + JsonField(strLine, "dns_id") + " " + JsonField(strLine, "rcode")
           + " [" + strAnswers + "] " + JsonField(strLine, "latency_us");
}

} // namespace

// Every file of the captures is read, given through a FIFO: past the file's header tarrow-watch
// waits for the rest in its sandbox, holding no right. Four give the window's list: each name at
// its first sighting, in its presentation form.
TEST(WatchProgramTest, EachCaptureIsReadInTheSandboxAndGivesTheNamesOfTheWindowsList)
{
    const std::map<std::string, std::string> lists = {
        {"tcpdump-dns-zlip-2.pcap", ".\\192\\012\\192\\016\\192\\023\\192\\032\\192'\\1920\\192\\255."},
        {"tcpdump-dns_tcp.pcap", "www.tcpdump.org"},
        {"zeek-long-connection.pcap", "google.com|104.9.192.66.in-addr.arpa|www.netbsd.org|www.google.com|"
                                      "www.l.google.com|www.example.com|www.example.notginh|www.isc.org"},
        {"zeek-dns-edns-ecs.pcap", "ns1.weberdns.de|weberdns.de|pa.weberlab.de|fg2.weberlab.de|fg2-mgmt.weberlab.de|"
                                   "sigok.verteiltesysteme.net|sigfail.verteiltesysteme.net|formel1.de|erfpop.de|"
                                   "weberlab.de"},
    };
    std::vector<std::pair<const char*, const char*>> sandboxed = {{"CapEff", NO_CAPABILITY}, {"NoNewPrivs", "1"}};
#if !defined(__SANITIZE_ADDRESS__)
    // Builds with the leak checker read without the filter: its check at exit needs ptrace.
    sandboxed.emplace_back("Seccomp", "2");
#endif
    const std::string strFifo = TempPath(".fifo");
    size_t nFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(TARROW_CAPTURES_DIR))
    {
        const std::string strFile = entry.path().filename();
        if (entry.path().extension() != ".pcap")
            continue;
        ++nFiles;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string strBytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
        CWatchRun run({"--read", strFifo, "--queries-only", "--new-only", "--format", "tsv"});
        // Open for reading too, so that this never waits for tarrow-watch; the whole file fits in the
        // FIFO's buffer.
        const int hFifo = open(strFifo.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(hFifo, 0);
        constexpr size_t PCAP_HEADER = 24;
        ASSERT_EQ(write(hFifo, strBytes.data(), PCAP_HEADER), ssize_t(PCAP_HEADER));
        const auto IsSandboxed = [&] {
            return std::all_of(sandboxed.begin(), sandboxed.end(), [&](const auto& field) {
                return ReadProcessStatus(run.pid, field.first) == field.second;
            });
        };
        for (const auto end = std::chrono::steady_clock::now() + 10s;
             !IsSandboxed() && std::chrono::steady_clock::now() < end;)
            std::this_thread::sleep_for(1ms);
        for (const auto& [pszField, pszValue] : sandboxed)
            EXPECT_EQ(ReadProcessStatus(run.pid, pszField), pszValue) << strFile << " " << pszField;
        EXPECT_EQ(write(hFifo, strBytes.data() + PCAP_HEADER, strBytes.size() - PCAP_HEADER),
                  ssize_t(strBytes.size() - PCAP_HEADER));
        close(hFifo);
        const std::string strOut = CWatchRun::ReadAll(run.hOut), strErr = CWatchRun::ReadAll(run.hErr);
        EXPECT_EQ(run.Wait(10s), 0) << strFile << strErr;
        unlink(strFifo.c_str());
        std::string strNames;
        for (const std::string& strName : TsvNames(strOut))
            strNames += (strNames.empty() ? "" : "|") + strName;
        if (lists.contains(strFile))
        {
            EXPECT_EQ(strNames, lists.at(strFile)) << strFile;
        }
    }
    EXPECT_GE(nFiles, lists.size());
}

TEST(WatchProgramTest, EveryLinkTypeIsReadAndBrokenFilesAreToldClearly)
{
    const CBytes ipv4 = Ipv4Frame(17, UdpSegment(40000, 53, DnsMessage(WireName("v4.example") + CBytes {0, 1, 0, 1})));
    const CBytes ipv6 =
        Ipv6Frame({}, 17, UdpSegment(40000, 53, DnsMessage(WireName("v6.example") + CBytes {0, 28, 0, 1})));
    const CBytes noIp = {1, 2, 3, 4};
    const auto Behind = [](const CBytes& header, const CBytes& frame) { return header + frame; };
    const CBytes ether4 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x08, 0x00};
    const CBytes ether6vlan = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x81, 0x00, 0, 5, 0x86, 0xDD};
    const CBytes sll4 = {0, 4, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x08, 0x00};
    const CBytes sll6 = {0, 4, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x86, 0xDD};
    const CBytes sll2v4 = {0x08, 0x00, 0, 0, 0, 0, 0, 2, 0, 1, 4, 6, 1, 2, 3, 4, 5, 6, 0, 0};
    const CBytes sll2v6 = {0x86, 0xDD, 0, 0, 0, 0, 0, 2, 0, 1, 4, 6, 1, 2, 3, 4, 5, 6, 0, 0};
    const std::vector<std::string> both = {"v4.example", "v6.example"};
    struct
    {
        const char* pszWhat;
        int nLinkType;
        std::vector<CBytes> frames;
        std::vector<std::string> names;
        int nExit;
        const char* pszError;
    } cases[] = {
        {"Ethernet, VLAN tag", DLT_EN10MB, {Behind(ether4, ipv4), noIp, Behind(ether6vlan, ipv6)}, both, 0, ""},
        {"SLL", DLT_LINUX_SLL, {Behind(sll4, ipv4), noIp, Behind(sll6, ipv6)}, both, 0, ""},
        {"SLL2", DLT_LINUX_SLL2, {Behind(sll2v4, ipv4), noIp, Behind(sll2v6, ipv6)}, both, 0, ""},
        {"raw IP", DLT_RAW, {ipv4, ipv6}, both, 0, ""},
        {"IPv4", DLT_IPV4, {ipv4}, {"v4.example"}, 0, ""},
        {"unknown link type", DLT_PPP, {ipv4}, {}, 3, "link type PPP (9) is not read here"},
    };
    const std::string strPath = TempPath(".pcap");
    for (const auto& entry : cases)
    {
        WritePcap(strPath, entry.nLinkType, entry.frames);
        const CRunResult result = RunWatch({"--read", strPath, "--format", "tsv"});
        EXPECT_EQ(result.nExit, entry.nExit) << entry.pszWhat << result.strErr;
        if (entry.nExit == 0)
        {
            EXPECT_EQ(TsvNames(result.strOut), entry.names) << entry.pszWhat;
        }
        EXPECT_NE(result.strErr.find(entry.pszError), std::string::npos) << entry.pszWhat << result.strErr;
    }

    // pcapng: two Ethernet interfaces, one counting microseconds and one nanoseconds, each frame at
    // its own interface's time; interfaces of two link types are told clearly.
    const std::pair<std::uint16_t, std::uint8_t> etherMicro {DLT_EN10MB, 6}, etherNano {DLT_EN10MB, 9},
        rawNano {DLT_RAW, 9};
    const std::vector<TestPcapng::CFrame> twoInterfaces = {{0, 1765100000123456, Behind(ether4, ipv4)},
                                                           {1, 1765100001654321000, Behind(ether6vlan, ipv6)}};
    TestPcapng::Write(strPath, {etherMicro, etherNano}, twoInterfaces);
    const CRunResult pcapng = RunWatch({"--read", strPath, "--format", "tsv", "--utc"});
    EXPECT_EQ(pcapng.nExit, 0) << pcapng.strErr;
    EXPECT_EQ(TsvNames(pcapng.strOut), both);
    EXPECT_NE(pcapng.strOut.find("\t2025-12-07T09:33:20.123456Z\tv4.example"), std::string::npos) << pcapng.strOut;
    EXPECT_NE(pcapng.strOut.find("\t2025-12-07T09:33:21.654321Z\tv6.example"), std::string::npos) << pcapng.strOut;
    TestPcapng::Write(strPath, {etherMicro, rawNano}, {twoInterfaces[0], {1, 1765100001654321000, ipv6}});
    const CRunResult mixed = RunWatch({"--read", strPath, "--format", "tsv"});
    EXPECT_EQ(mixed.nExit, 3);
    EXPECT_NE(mixed.strErr.find(strPath + ": an interface has a type 12 different"), std::string::npos) << mixed.strErr;

    // Cut in the middle of the third frame: the first two are printed, then the error.
    WritePcap(strPath, DLT_RAW, {ipv4, ipv6, ipv4});
    std::filesystem::resize_file(strPath, std::filesystem::file_size(strPath) - 5);
    const CRunResult cut = RunWatch({"--read", strPath, "--format", "tsv"});
    EXPECT_EQ(cut.nExit, 3);
    EXPECT_EQ(TsvNames(cut.strOut), both);
    EXPECT_NE(cut.strErr.find("truncated"), std::string::npos) << cut.strErr;

    const CRunResult missing = RunWatch({"--read", strPath + ".none"});
    EXPECT_EQ(missing.nExit, 3);
    EXPECT_NE(missing.strErr.find(strPath + ".none"), std::string::npos) << missing.strErr;
    EXPECT_EQ(RunWatch({"--format", "xml"}).nExit, 2);
    std::filesystem::remove(strPath);
}

class WatchLiveTest : public CWatchLiveTest
{
protected:
    // Sends queries for the name from the peer to the capture side until the run prints (or, with
    // its output closed, ends).
    void SendUntilPrinted(CWatchRun& run, const std::string& strName)
    {
        const int fd = CNetNamespace::OpenSocketIn(m_pNet->GetPeerName(), SOCK_DGRAM);
        ASSERT_GE(fd, 0);
        const auto IsDone = [&run] {
            siginfo_t info {};
            if (run.hOut < 0)
                return waitid(P_PID, id_t(run.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
            return run.WaitForOutput(0ms);
        };
        for (int i = 0; i < 200 && !IsDone(); ++i)
        {
            SendUdp(fd, m_pNet->GetCaptureAddress(), 53, MakeDnsQuery(strName));
            std::this_thread::sleep_for(25ms);
        }
        close(fd);
    }
};

TEST_F(WatchLiveTest, AQueryFromThePeerIsPrintedAndCountOneEndsWithZero)
{
    Listen(m_pNet->GetCaptureName(), m_pNet->GetCaptureAddress(), 53);
    CWatchRun run({"--address", m_pNet->GetCaptureAddress(), "--queries-only", "--count", "1", "--duration", "20",
                   "--format", "json"});
    ASSERT_GT(run.pid, 0);
    SendUntilPrinted(run, "peer.Example.org");
    EXPECT_EQ(run.Wait(5s), 0) << CWatchRun::ReadAll(run.hErr);
    const std::string strOut = CWatchRun::ReadAll(run.hOut);
    EXPECT_NE(strOut.find("\"name\":\"peer.Example.org\",\"type\":\"A\",\"transport\":\"udp\",\"source\":\""
                          + m_pNet->GetPeerAddress() + "\""),
              std::string::npos)
        << strOut;
    EXPECT_EQ(std::count(strOut.begin(), strOut.end(), '\n'), 1) << strOut;
}

TEST_F(WatchLiveTest, EveryEndComesPromptlyWithTheHelperReaped)
{
    Listen(m_pNet->GetCaptureName(), m_pNet->GetCaptureAddress(), 53);
    enum End
    {
        SIGTERM_SENT,
        PIPE_CLOSED,
        HELPER_KILLED,
    };
    for (End nEnd : {SIGTERM_SENT, PIPE_CLOSED, HELPER_KILLED})
    {
        CWatchRun run({"--address", m_pNet->GetCaptureAddress(), "--queries-only"});
        ASSERT_GT(run.pid, 0);
        ASSERT_TRUE(run.WaitForOutput(10s)) << CWatchRun::ReadAll(run.hErr);
        // Root's, as this test's is: the helper holds the one right the capture needs.
        EXPECT_EQ(ReadProcessStatus(run.pid, "CapEff"), NO_CAPABILITY) << "while it captures";
        const std::vector<pid_t> helpers = run.Children();
        ASSERT_EQ(helpers.size(), 1u);
        const auto start = std::chrono::steady_clock::now();
        if (nEnd == SIGTERM_SENT)
            kill(run.pid, SIGTERM);
        else if (nEnd == HELPER_KILLED)
            kill(helpers[0], SIGKILL);
        else
        {
            run.CloseOut();
            SendUntilPrinted(run, "after.close.example");
        }
        EXPECT_EQ(run.Wait(5s), nEnd == HELPER_KILLED ? 1 : 0) << nEnd;
        EXPECT_LT(std::chrono::steady_clock::now() - start, nEnd == PIPE_CLOSED ? 3s : 1s) << nEnd;
        EXPECT_TRUE(kill(helpers[0], 0) != 0 && errno == ESRCH) << "helper " << helpers[0] << " is left";
        // Whatever else it said (why programs are not named), only a dead helper is a failure.
        EXPECT_EQ(CWatchRun::ReadAll(run.hErr).find("tarrow-watch: The capture helper ended unexpectedly.\n")
                      != std::string::npos,
                  nEnd == HELPER_KILLED)
            << nEnd;
    }
}

// Whole exchanges as the captures hold them (the response's code, answers and latency read off the
// file's own times), a response whose query the file lacks, and queries still waiting at the end.
TEST(WatchProgramTest, EachCaptureGivesTheExchangesItHolds)
{
    const struct
    {
        const char* pszFile;
        size_t nLines;
        std::vector<std::string> first;
    } cases[] = {
        {"tcpdump-dns_udp.pcap",
         1,
         {"exchange www.tcpdump.org A udp 22836 NOERROR [192.139.46.66|198.199.88.104] 130282"}},
        {"tcpdump-dns_tcp.pcap",
         1,
         {"exchange www.tcpdump.org A tcp 17177 NOERROR [192.139.46.66|198.199.88.104] 125857"}},
        {"zeek-long-connection.pcap",
         11,
         {"exchange google.com MX udp 63343 NOERROR [40 smtp4.google.com.|10 smtp5.google.com.|10 smtp6.google.com.|"
          "10 smtp1.google.com.|10 smtp2.google.com.|40 smtp3.google.com.] 832133",
          "exchange google.com LOC udp 18849 NOERROR [] 139024",
          "exchange 104.9.192.66.in-addr.arpa PTR udp 39867 NOERROR [66-192-9-104.gen.twtelecom.net.] 506",
          "exchange www.netbsd.org A udp 30144 NOERROR [204.152.190.12] 48911",
          "exchange www.netbsd.org AAAA udp 61652 NOERROR [2001:4f8:4:7:2e0:81ff:fe52:9a6b] 237668",
          "exchange www.netbsd.org AAAA udp 32569 NOERROR [2001:4f8:4:7:2e0:81ff:fe52:9a6b] 387",
          "exchange www.google.com AAAA udp 36275 NOERROR [www.l.google.com.] 16538",
          "exchange www.l.google.com AAAA udp 56482 NOERROR [] 16665",
          "exchange www.example.com AAAA udp 48159 NOERROR [] 233143",
          "exchange www.example.notginh AAAA udp 9837 NXDOMAIN [] 212992",
          "exchange www.isc.org ANY udp 65251 NOERROR [2001:4f8:0:2::d|204.152.184.88] 72604"}},
        {"zeek-dns53.pcap",
         1,
         {"response us.v27.distributed.net A udp 25701 NOERROR [206.109.64.186|216.1.205.81|205.149.163.211|"
          "134.53.131.135|134.53.131.192|128.104.18.148|204.152.186.139|63.77.33.226] null"}},
        {"zeek-ticks-dns.pcap",
         10,
         {"unanswered pXIqopbiiD.de A udp 10763 null [] null", "unanswered OusJkAFwCv.de A udp 50787 null [] null"}},
    };
    for (const auto& entry : cases)
    {
        const CRunResult result =
            RunWatch({"--read", std::string(TARROW_CAPTURES_DIR) + "/" + entry.pszFile, "--format", "json"});
        EXPECT_EQ(result.nExit, 0) << entry.pszFile << result.strErr;
        std::vector<std::string> summaries;
        for (size_t nLine = 0, nEnd; (nEnd = result.strOut.find('\n', nLine)) != std::string::npos; nLine = nEnd + 1)
            summaries.push_back(ExchangeSummary(result.strOut.substr(nLine, nEnd - nLine)));
        EXPECT_EQ(summaries.size(), entry.nLines) << entry.pszFile << "\n" << result.strOut;
        summaries.resize(std::min(summaries.size(), entry.first.size()));
        EXPECT_EQ(summaries, entry.first) << entry.pszFile;
    }
}

// A response to the query that ExchangeFrames asks, with one A answer: 10.0.0.1 or fd00::1 port 53
// back to port 40000, over UDP or TCP, its checksum filled in.
CBytes AnswerFrame(bool bIpv6, unsigned char nProtocol, unsigned char nLastByte, std::uint16_t nFragmentField = 0)
{
    CBytes message = MakeDnsQuery("a.example");
    message[2] = 0x81, message[3] = 0x80, message[7] = 1;
    message = message + CBytes {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, nLastByte};
    const CBytes segment =
        nProtocol == 6 ? TcpSegment(53, 40000, WithLengthPrefix(message)) : UdpSegment(53, 40000, message);
    CBytes frame = bIpv6 ? Ipv6Frame(nFragmentField != 0 ? std::vector<CExtension> {{44, 0, nFragmentField}}
                                                         : std::vector<CExtension> {},
                                     nProtocol, segment)
                         : Ipv4Frame(nProtocol, segment, 5, nFragmentField);
    // The builders send from .2 to .1; a checksum does not change when the two swap.
    const size_t nAddress = bIpv6 ? 8 : 12, nSize = bIpv6 ? 16 : 4;
    std::swap_ranges(frame.begin() + long(nAddress), frame.begin() + long(nAddress + nSize),
                     frame.begin() + long(nAddress + nSize));
    return frame;
}

// The frames' last answer is the line's; the counts say what the checksums were.
// A file's encrypted connections are told as a capture's: DoT and DoH lines, the user's resolvers
// added, and an ordinary site's hello nowhere in the output, unless the user lists it.
TEST(WatchProgramTest, AFileGivesItsEncryptedConnectionsAndNoOtherHello)
{
    const std::string strFile = TempPath("-hellos.pcap"), strNames = TempPath("-names");
    const auto Hello = [](std::uint16_t nSourcePort, std::uint16_t nPort, const char* pszName) {
        return Ipv4Frame(6, TcpSegment(nSourcePort, nPort, TlsClientHello({TlsServerName(pszName)})));
    };
    WritePcap(strFile, DLT_RAW,
              {Hello(40000, 853, "dot.example"), Hello(40001, 443, "dns.google"), Hello(40002, 443, "shop.example")});
    std::ofstream(strNames) << "shop.example\n";
    const struct
    {
        std::vector<std::string> args;
        std::vector<std::string> names;
    } cases[] = {
        {{}, {"dot.example", "dns.google"}},
        {{"--no-encrypted"}, {}},
        {{"--doh-names", strNames}, {"dot.example", "dns.google", "shop.example"}},
    };
    for (const auto& one : cases)
    {
        std::vector<std::string> args = {"-r", strFile, "-F", "tsv"};
        args.insert(args.end(), one.args.begin(), one.args.end());
        const CRunResult result = RunWatch(args);
        EXPECT_EQ(result.nExit, 0) << result.strErr;
        std::vector<std::string> names;
        for (const auto& line : TsvLines(result.strOut))
        {
            EXPECT_EQ(line.at("kind"), "encrypted");
            names.push_back(line.at("name"));
        }
        EXPECT_EQ(names, one.names) << (one.args.empty() ? "" : one.args[0]);
        EXPECT_TRUE(!one.args.empty() || result.strOut.find("shop") == std::string::npos) << result.strOut;
    }
    std::filesystem::remove(strFile);
    std::filesystem::remove(strNames);
}

TEST(WatchProgramTest, AResponseWhoseChecksumIsWrongAnswersNothing)
{
    const auto Query = [](bool bIpv6, unsigned char nProtocol) {
        const CBytes message = MakeDnsQuery("a.example");
        const CBytes segment =
            nProtocol == 6 ? TcpSegment(40000, 53, WithLengthPrefix(message)) : UdpSegment(40000, 53, message);
        return bIpv6 ? Ipv6Frame({}, nProtocol, segment) : Ipv4Frame(nProtocol, segment);
    };
    const auto SetField = [](CBytes frame, bool bIpv6, unsigned char nProtocol, std::uint16_t nValue) {
        const size_t nAt = (bIpv6 ? 40 : 20) + (nProtocol == 6 ? 16 : 6);
        frame[nAt] = std::uint8_t(nValue >> 8), frame[nAt + 1] = std::uint8_t(nValue);
        return frame;
    };
    const auto Field = [](const CBytes& frame, bool bIpv6, unsigned char nProtocol) {
        const size_t nAt = (bIpv6 ? 40 : 20) + (nProtocol == 6 ? 16 : 6);
        return std::uint16_t((frame[nAt] << 8) | frame[nAt + 1]);
    };
    // What the sender's stack leaves for its card: the pseudo-header's sum, folded.
    const auto PartialSum = [](const CBytes& frame) {
        std::uint32_t nSum = 17 + (frame.size() - 20);
        for (size_t i = 12; i < 20; i += 2)
            nSum += (frame[i] << 8) | frame[i + 1];
        while (nSum >> 16)
            nSum = (nSum & 0xFFFF) + (nSum >> 16);
        return std::uint16_t(nSum);
    };
    const CBytes sound4 = AnswerFrame(false, 17, 1), sound6 = AnswerFrame(true, 17, 1);
    const CBytes soundTcp = AnswerFrame(false, 6, 1);
    const struct
    {
        const char* pszWhat;
        bool bIpv6;
        unsigned char nProtocol;
        std::vector<CBytes> responses;
        const char* pszLines; // kind and answer of each line
        const char* pszCounts;
    } cases[] = {
        {"sound", false, 17, {sound4}, "exchange 192.0.2.1", "wrong checksums 0, unchecked 0"},
        {"sound over IPv6", true, 17, {sound6}, "exchange 192.0.2.1", "wrong checksums 0, unchecked 0"},
        {"sound over TCP", false, 6, {soundTcp}, "exchange 192.0.2.1", "wrong checksums 0, unchecked 0"},
        {"no checksum over IPv4",
         false,
         17,
         {SetField(sound4, false, 17, 0)},
         "exchange 192.0.2.1",
         "wrong checksums 0, unchecked 0"},
        {"the pseudo-header's sum, for the card",
         false,
         17,
         {SetField(sound4, false, 17, PartialSum(sound4))},
         "exchange 192.0.2.1",
         "wrong checksums 0, unchecked 0"},
        {"wrong, then the real one",
         false,
         17,
         {SetField(AnswerFrame(false, 17, 7), false, 17, Field(sound4, false, 17) ^ 1), sound4},
         "exchange 192.0.2.1",
         "wrong checksums 1, unchecked 0"},
        {"wrong alone",
         false,
         17,
         {SetField(sound4, false, 17, Field(sound4, false, 17) ^ 0x8000)},
         "unanswered -",
         "wrong checksums 1, unchecked 0"},
        {"none over IPv6", true, 17, {SetField(sound6, true, 17, 0)}, "unanswered -", "wrong checksums 1, unchecked 0"},
        {"wrong over TCP",
         false,
         6,
         {SetField(soundTcp, false, 6, Field(soundTcp, false, 6) ^ 1)},
         "unanswered -",
         "wrong checksums 1, unchecked 0"},
        {"a first fragment alone",
         false,
         17,
         {AnswerFrame(false, 17, 7, 0x2000)},
         "exchange 192.0.2.7",
         "wrong checksums 0, unchecked 1"},
        {"a first fragment, then a sound one",
         true,
         17,
         {AnswerFrame(true, 17, 7, 0x0001), sound6},
         "response 192.0.2.7|exchange 192.0.2.1",
         "wrong checksums 0, unchecked 1"},
    };
    const std::string strPath = TempPath("-checksums.pcap");
    for (const auto& entry : cases)
    {
        std::vector<CBytes> frames {Query(entry.bIpv6, entry.nProtocol)};
        frames.insert(frames.end(), entry.responses.begin(), entry.responses.end());
        WritePcap(strPath, DLT_RAW, frames);
        const CRunResult result = RunWatch({"--read", strPath, "--format", "json", "--stats"});
        EXPECT_EQ(result.nExit, 0) << entry.pszWhat << result.strErr;
        std::string strLines;
        for (size_t nLine = 0, nEnd; (nEnd = result.strOut.find('\n', nLine)) != std::string::npos; nLine = nEnd + 1)
        {
            const std::string strLine = result.strOut.substr(nLine, nEnd - nLine);
            const std::string strData = JsonField(strLine, "data");
            strLines +=
                (strLines.empty() ? "" : "|") + JsonField(strLine, "kind") + " " + (strData == "?" ? "-" : strData);
        }
        EXPECT_EQ(strLines, entry.pszLines) << entry.pszWhat;
        EXPECT_NE(result.strErr.find(entry.pszCounts), std::string::npos) << entry.pszWhat << "\n" << result.strErr;
    }
    std::filesystem::remove(strPath);
}

// dig on the capture side asks dnsmasq in the peer for an address of each family, a name behind a
// CNAME and a name it does not know, and asks a silent address once: each query is printed with its
// response (its code, its answers, the time it took) or as unanswered once its second is up, and is
// named with dig and its pid.
TEST_F(WatchLiveTest, DigsQueriesArePrintedWithTheirResponsesAndTheSilentOneAsUnanswered)
{
    // dnsmasq answers on the peer's IPv6 address; its IPv4 address takes datagrams to port 53 without
    // a word, so that no ICMP error follows the silent query.
    const std::string strServer = m_pNet->GetPeerAddress6(), strSilent = m_pNet->GetPeerAddress();
    Listen(m_pNet->GetPeerName(), strSilent, 53);
    CQuietProcess dnsmasq(
        {"ip", "netns", "exec", m_pNet->GetPeerName(), "dnsmasq", "--no-daemon", "--no-resolv", "--no-hosts",
         "--bind-interfaces", "--listen-address=" + strServer, "-u", "root", "--pid-file=", "--local-ttl=300",
         "--local=/live.example/", "--address=/a.live.example/192.0.2.7", "--address=/six.live.example/2001:db8::7",
         "--host-record=target.live.example,192.0.2.8", "--cname=alias.live.example,target.live.example"});
    ASSERT_GT(dnsmasq.pid, 0);
    for (const auto end = std::chrono::steady_clock::now() + 10s;
         CNetNamespace::RunIn(m_pNet->GetPeerName(), "ss -Hlun 'sport = :53' | grep -qF '[" + strServer + "]'") != 0;)
        ASSERT_LT(std::chrono::steady_clock::now(), end) << "dnsmasq does not listen";

    CWatchRun run({"--address", m_pNet->GetCaptureAddress(), "--format", "json", "--timeout", "1", "--utc"});
    ASSERT_GT(run.pid, 0);
    CLineReader reader {run, {}, {}};
    const auto Dig = [&](const std::string& strAt, const char* pszName, const char* pszType) {
        return std::make_unique<CQuietProcess>(
            std::vector<std::string> {"dig", "+tries=1", "+time=1", "+notcp", "@" + strAt, pszName, pszType});
    };
    // The capture runs once an exchange of its own is printed.
    for (const auto end = std::chrono::steady_clock::now() + 20s;
         reader.Find("exchange", "ready.live.example").empty();)
    {
        ASSERT_LT(std::chrono::steady_clock::now(), end) << CWatchRun::ReadAll(run.hErr);
        Dig(strServer, "ready.live.example", "A")->Wait();
        ASSERT_TRUE(reader.ReadFor(200ms)) << CWatchRun::ReadAll(run.hErr);
    }

    const struct
    {
        const char* pszName;
        const char* pszType;
        bool bSilent;
        const char* pszKind;
        std::string strFields;
    } queries[] = {
        {"a.live.example", "A", false, "exchange",
         "\"rcode\":\"NOERROR\"|\"ttl_min\":300,|\"answers\":[{\"name\":\"a.live.example.\",\"type\":\"A\",\"ttl\":300,"
         "\"data\":\"192.0.2.7\"}]}"},
        {"six.live.example", "AAAA", false, "exchange",
         "\"rcode\":\"NOERROR\"|\"answers\":[{\"name\":\"six.live.example.\",\"type\":\"AAAA\",\"ttl\":300,\"data\":"
         "\"2001:db8::7\"}]}"},
        {"alias.live.example", "A", false, "exchange",
         "\"rcode\":\"NOERROR\"|\"answers\":[{\"name\":\"alias.live.example.\",\"type\":\"CNAME\",\"ttl\":300,"
         "\"data\":\"target.live.example.\"},{\"name\":\"target.live.example.\",\"type\":\"A\",\"ttl\":300,\"data\":"
         "\"192.0.2.8\"}]}"},
        {"none.live.example", "A", false, "exchange", "\"rcode\":\"NXDOMAIN\"|\"answers\":[]}"},
        {"silent.live.example", "A", true, "unanswered",
         "\"destination\":\"" + strSilent + "\",\"destination_port\":53,"},
    };
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<CQuietProcess>> digs;
    for (const auto& query : queries)
        digs.push_back(Dig(query.bSilent ? strSilent : strServer, query.pszName, query.pszType));
    std::vector<pid_t> pids;
    for (const auto& dig : digs)
        pids.push_back(dig->pid);
    for (const auto& dig : digs)
        dig->Wait();
    const auto AllPrinted = [&] {
        return std::all_of(std::begin(queries), std::end(queries),
                           [&](const auto& query) { return !reader.Find(query.pszKind, query.pszName).empty(); });
    };
    for (const auto end = std::chrono::steady_clock::now() + 20s;
         !AllPrinted() && std::chrono::steady_clock::now() < end;)
        ASSERT_TRUE(reader.ReadFor(200ms)) << CWatchRun::ReadAll(run.hErr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s) << "the silent query's second";
    kill(run.pid, SIGTERM);
    EXPECT_EQ(run.Wait(5s), 0);

    for (size_t i = 0; i < std::size(queries); ++i)
    {
        const auto& query = queries[i];
        const std::string strLine = reader.Find(query.pszKind, query.pszName);
        // Each part of the fields, parted by |, is in the line.
        for (size_t nFrom = 0, nBar; nFrom <= query.strFields.size(); nFrom = nBar + 1)
        {
            nBar = std::min(query.strFields.find('|', nFrom), query.strFields.size());
            EXPECT_NE(strLine.find(query.strFields.substr(nFrom, nBar - nFrom)), std::string::npos)
                << query.pszName << ": " << strLine;
        }
        EXPECT_NE(strLine.find(std::string("\"type\":\"") + query.pszType + "\",\"transport\":\"udp\""),
                  std::string::npos)
            << strLine;
        EXPECT_NE(strLine.find(",\"sender\":\"program\",\"pid\":" + std::to_string(pids[i]) + ",\"program\":\"dig\","),
                  std::string::npos)
            << strLine;
        const std::string strLatency = JsonField(strLine, "latency_us");
        if (query.bSilent)
        {
            EXPECT_EQ(strLatency, "null") << strLine;
        }
        else
        {
            ASSERT_TRUE(!strLatency.empty() && std::all_of(strLatency.begin(), strLatency.end(), ::isdigit)) << strLine;
            EXPECT_GT(std::stoll(strLatency), 0) << strLine;
        }
    }
}
