// tarrow-watch --top: the counts behind the table (order, ties, the bound on keys, latencies), its
// command line, the table written once when the output is no terminal, and the full-screen table
// on a pseudo-terminal, which must leave the terminal's modes as it found them.
#include "watch/TopTable.h"
#include "watch/WatchOptions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <pty.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>
#include <vector>

namespace {

struct CSeen
{
    const char* pszName;
    Channel::Sender nSender;
    const char* pszProgram;
    const char* pszSource;
    const char* pszType;
    CExchangeLine::Kind nKind;
    const char* pszRcode;
    std::int64_t nLatencyUs; // below 0: none
};

std::string Rows(const CTopTable& table, CTopTable::Kind nKind, size_t nRows)
{
    std::string strRows;
    for (const CTopTable::CRow& row : table.GetTop(nKind, nRows))
        strRows += (nKind == CTopTable::PROGRAMS ? row.strSender + ":" : "") + row.strKey + "="
                   + std::to_string(nKind == CTopTable::SLOWEST ? row.GetMeanUs() : row.nCount) + " ";
    return strRows + "others=" + std::to_string(table.GetOthers(nKind));
}

} // namespace

TEST(TopTableTest, CountsOrderByCountThenKeyBoundTheKeysAndRankSlowestByMeanLatency)
{
    using enum CExchangeLine::Kind;
    const std::vector<CSeen> seen = {
        {"b.example", Channel::SENDER_PROGRAM, "curl", "10.0.0.1", "A", ANSWERED, "NOERROR", 3000},
        {"a.example", Channel::SENDER_PROGRAM, "curl", "10.0.0.1", "AAAA", ANSWERED, "NOERROR", 1000},
        {"b.example", Channel::SENDER_ANOTHER_HOST, "", "10.0.0.2", "A", UNANSWERED, "", -1},
        {"a.example", Channel::SENDER_UNKNOWN, "", "10.0.0.3", "", ANSWERED, "NXDOMAIN", 5000},
        {"c\x1b[2J", Channel::SENDER_PROGRAM, "", "10.0.0.4", "A", ANSWERED, "NOERROR", 2000},
        {"d.example", Channel::SENDER_PROGRAM, "another host", "10.0.0.4", "A", UNANSWERED, "", -1},
    };
    struct CCase
    {
        size_t nMaxKeys;
        CTopTable::Kind nKind;
        size_t nRows;
        const char* pszRows;
    };
    const CCase cases[] = {
        // A tie goes by the key; a terminal's escape is never a key as it came.
        {100, CTopTable::NAMES, 5, "a.example=2 b.example=2 c\\027[2J=1 d.example=1 others=0"},
        {100, CTopTable::NAMES, 1, "a.example=2 others=0"},
        {2, CTopTable::NAMES, 5, "a.example=2 b.example=2 others=2"},
        {2, CTopTable::SOURCES, 5, "10.0.0.1=2 10.0.0.2=1 others=3"},
        // A program that calls itself another host is still a program.
        {100, CTopTable::PROGRAMS, 5,
         "program:curl=2 unknown:=1 pid 0:=1 program:another host=1 another host:=1 others=0"},
        {100, CTopTable::TYPES, 5, "A=4 (cut)=1 AAAA=1 others=0"},
        {100, CTopTable::RCODES, 5, "NOERROR=3 (unanswered)=2 NXDOMAIN=1 others=0"},
        // a.example: (1000 + 5000) / 2; the unanswered b.example adds no latency.
        {100, CTopTable::SLOWEST, 5, "a.example=3000 b.example=3000 c\\027[2J=2000 others=0"},
        {1, CTopTable::SLOWEST, 5, "b.example=3000 others=3"},
    };
    for (const CCase& test : cases)
    {
        CTopTable table(true, test.nMaxKeys);
        for (const CSeen& line : seen)
        {
            CQueryLine query;
            query.name = line.pszName;
            query.nSender = line.nSender;
            query.program = line.pszProgram;
            query.strSource = line.pszSource;
            query.strType = line.pszType;
            CExchangeLine exchange;
            exchange.nKind = line.nKind;
            exchange.rcode = line.pszRcode;
            exchange.bHasLatency = line.nLatencyUs >= 0;
            exchange.nLatencyUs = exchange.bHasLatency ? std::uint64_t(line.nLatencyUs) : 0;
            table.Add(query, &exchange);
        }
        EXPECT_EQ(Rows(table, test.nKind, test.nRows), test.pszRows)
            << CTopTable::GetTitle(test.nKind) << " with " << test.nMaxKeys << " keys at most";
    }
}

// The table under the counts grows many times over; every key must still be found with its own
// count, the empty key among them, and none past the bound be let in.
TEST(TopTableTest, KeyCountsFindEveryKeyAfterGrowingAndLetNoneInPastTheBound)
{
    constexpr size_t MAX_KEYS = 5000;
    CKeyCounts counts(MAX_KEYS);
    const auto KeyOf = [](size_t i) { return i == 0 ? std::string() : "k" + std::to_string(i) + ".example"; };
    for (size_t nRound = 1; nRound <= 2; ++nRound)
    {
        for (size_t i = 0; i < 2 * MAX_KEYS; ++i)
        {
            CKeyCounts::CEntry* pEntry = counts.Find(KeyOf(i));
            ASSERT_EQ(pEntry != nullptr, i < MAX_KEYS) << i;
            if (pEntry == nullptr)
                continue;
            ASSERT_EQ(counts.GetKey(*pEntry), KeyOf(i));
            ASSERT_EQ(pEntry->nCount++, nRound - 1) << i;
        }
    }
    EXPECT_EQ(counts.GetSize(), MAX_KEYS);
}

namespace {

const std::string CAPTURE = TARROW_CAPTURES_DIR "/zeek-dns-edns-ecs.pcap";

std::string RunWatch(const std::string& strArgs)
{
    std::string strOut;
    std::FILE* pPipe = popen((TARROW_WATCH_PATH " " + strArgs + " 2>&1").c_str(), "r");
    if (pPipe == nullptr)
        return "popen failed";
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pPipe)) > 0;)
        strOut.append(buffer, n);
    const int nStatus = pclose(pPipe);
    return strOut + "exit " + std::to_string(WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1);
}

} // namespace

TEST(TopTableTest, WithoutATerminalEveryTableIsWrittenOnceAtTheEnd)
{
    const std::string strText = R"x(Names: 70 lines, 29 keys
     COUNT   SHARE  NAME
         6    8.6%  ns-1984.awsdns-56.co.uk
         6    8.6%  weberlab.de

Programs: 70 lines, 1 keys
     COUNT   SHARE  SENDER        PROGRAM
        70  100.0%  unknown       -

Sources: 70 lines, 16 keys
     COUNT   SHARE  SOURCE
        26   37.1%  192.168.120.22
        16   22.9%  2003:de:2016:120::a08:53

Types: 70 lines, 5 keys
     COUNT   SHARE  TYPE
        33   47.1%  A
        22   31.4%  AAAA

Response codes: 70 lines, 2 keys
     COUNT   SHARE  RCODE
        65   92.9%  NOERROR
         5    7.1%  (unanswered)

Slowest names: 15 answered lines, 8 keys
   MEAN_MS     MAX_MS      COUNT  NAME
    24.703     24.703          1  erfpop.de
    19.208     19.208          1  formel1.de

Encrypted DNS: 0 lines, 0 keys
     COUNT  PROGRAM       ENCRYPTED NAME
exit 0)x";
    EXPECT_EQ(RunWatch("--top 2 --read " + CAPTURE), strText);
    // Queries only: no response codes or latencies, one JSON object per table.
    const std::string strJson =
        R"x({"table":"names","total":20,"keys":10,"others":0,"rows":[{"key":"fg2-mgmt.weberlab.de","count":4}]}
{"table":"programs","total":20,"keys":1,"others":0,"rows":[{"sender":"unknown","key":null,"count":20}]}
{"table":"sources","total":20,"keys":10,"others":0,"rows":[{"key":"2001:470:1f0b:16b0:20c:29ff:fe7c:a4cb","count":10}]}
{"table":"types","total":20,"keys":4,"others":0,"rows":[{"key":"AAAA","count":8}]}
exit 0)x";
    EXPECT_EQ(RunWatch("--top 1 --queries-only --format json --read " + CAPTURE), strJson);
}

namespace {

// The child's end of a pseudo-terminal, and what its program drew on it.
class CPseudoTerminal
{
public:
    CPseudoTerminal()
    {
        winsize size {};
        size.ws_row = 20;
        size.ws_col = 100;
        m_bOpen = openpty(&m_hMaster, &m_hSlave, nullptr, nullptr, &size) == 0;
    }
    ~CPseudoTerminal()
    {
        if (m_pid > 0)
        {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_bOpen)
        {
            close(m_hMaster);
            close(m_hSlave);
        }
    }
    bool IsOpen() const { return m_bOpen; }
    int GetSlave() const { return m_hSlave; }

    bool Start(const std::vector<const char*>& args)
    {
        m_pid = fork();
        if (m_pid == 0)
        {
            close(m_hMaster);
            login_tty(m_hSlave);
            setenv("TERM", "xterm", 1);
            std::vector<char*> argv;
            for (const char* pszArg : args)
                argv.push_back(const_cast<char*>(pszArg));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return m_pid > 0;
    }
    // True once the drawing since the last wait holds the text.
    bool WaitFor(const std::string& strText)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_strDrawn.find(strText, m_nFrom) == std::string::npos)
        {
            if (std::chrono::steady_clock::now() > deadline || !Drain())
                return false;
        }
        m_nFrom = m_strDrawn.find(strText, m_nFrom) + strText.size();
        return true;
    }
    void Type(const char* pszKeys) { ASSERT_GT(write(m_hMaster, pszKeys, std::strlen(pszKeys)), 0); }
    void Resize(unsigned short nColumns, unsigned short nRows)
    {
        winsize size {};
        size.ws_row = nRows;
        size.ws_col = nColumns;
        ioctl(m_hMaster, TIOCSWINSZ, &size);
    }
    void Stop(int nSignal) { kill(m_pid, nSignal); }
    // The exit code, or -1 when it does not end in time.
    int Wait()
    {
        for (int i = 0; i < 100; ++i)
        {
            int nStatus = 0;
            if (waitpid(m_pid, &nStatus, WNOHANG) == m_pid)
            {
                m_pid = -1;
                return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
            }
            // Keeps the drawing flowing, or a full pty would stop the child's last writes.
            Drain();
        }
        return -1;
    }

private:
    // What the child drew in the next 100 ms. False once its end is closed.
    bool Drain()
    {
        pollfd fd {m_hMaster, POLLIN, 0};
        if (poll(&fd, 1, 100) <= 0)
            return true;
        char buffer[4096];
        const ssize_t n = read(m_hMaster, buffer, sizeof(buffer));
        if (n > 0)
            m_strDrawn.append(buffer, size_t(n));
        return n > 0;
    }

    bool m_bOpen = false;
    int m_hMaster = -1;
    int m_hSlave = -1;
    pid_t m_pid = -1;
    std::string m_strDrawn;
    size_t m_nFrom = 0;
};

bool SameModes(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag
           && std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc));
}

} // namespace

// Every way out puts the terminal's modes back: q, a stop signal, any other signal that ends the
// program, and one that ends it where it stands.
TEST(TopTableTest, OnATerminalTheTableSwitchesRedrawsOnResizeAndEveryEndLeavesTheModesAsTheyWere)
{
    struct CCase
    {
        const char* pszWay;
        int nSignal; // 0: the q key
        int nExit;
    };
    const CCase cases[] = {{"q", 0, 0},
                           {"SIGTERM", SIGTERM, 0},
                           {"Ctrl+\\", SIGQUIT, 0},
                           {"SIGUSR2", SIGUSR2, 0},
                           {"SIGSEGV", SIGSEGV, 128 + SIGSEGV},
                           {"SIGABRT", SIGABRT, 128 + SIGABRT}};
    for (const CCase& test : cases)
    {
        SCOPED_TRACE(test.pszWay);
        CPseudoTerminal terminal;
        ASSERT_TRUE(terminal.IsOpen());
        termios before {};
        ASSERT_EQ(tcgetattr(terminal.GetSlave(), &before), 0);
        ASSERT_TRUE(terminal.Start({TARROW_WATCH_PATH, "--top", "5", "--read", CAPTURE.c_str()}));
        ASSERT_TRUE(terminal.WaitFor("weberlab.de"));
        if (test.nSignal == 0)
        {
            terminal.Type("p");
            EXPECT_TRUE(terminal.WaitFor("unknown"));
            terminal.Resize(30, 4);
            EXPECT_TRUE(terminal.WaitFor("too small for --top"));
            terminal.Resize(100, 20);
            terminal.Type("\t");
            EXPECT_TRUE(terminal.WaitFor("192.168.120.22"));
            terminal.Type("q");
        }
        else
            terminal.Stop(test.nSignal);
        EXPECT_EQ(terminal.Wait(), test.nExit);
        termios after {};
        ASSERT_EQ(tcgetattr(terminal.GetSlave(), &after), 0);
        EXPECT_TRUE(SameModes(before, after));
    }
}
