// The capture helper as a process of its own, started the way the window starts it: what it turns
// down before it answers, what it answers and with which rights, the names it writes and the
// programs it names behind them, and the sandbox it lives in.
#include "capture/HelperProcess.h"
#include "channel/RecordReader.h"
#include "channel/Channel.h"
#include "common/DnsQuery.h"
#include "common/GrantedHelper.h"
#include "common/NetNamespaceFixture.h"
#include "common/ProcessState.h"
#include "common/TestUser.h"
#include "helper/CaptureLoop.h"
#include "helper/CaptureSandbox.h"
#include "helper/PacketRing.h"
#include "helper/PacketSocket.h"
#include "helper/SenderEvents.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <latch>
#include <memory>
#include <linux/filter.h>
#include <poll.h>
#include <pwd.h>
#include <sys/capability.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <optional>
#include <thread>
#include <unistd.h>

using namespace Channel;
using namespace std::chrono_literals;

namespace {

struct CRunOptions
{
    bool bWithChannel = true;
    bool bStandardClosed = false;
    rlim_t nMaxFiles = 0; // a limit on descriptor numbers, when not 0
};

// One run of the built helper with what a test varies: its arguments, the capture right, the
// channel at its number, and descriptors 0 to 2.
class CHelperRun
{
public:
    explicit CHelperRun(const std::vector<std::string>& args, CRunOptions options = {})
    {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
            return;
        m_channel.Reset(pair[0]);
        m_pid = fork();
        if (m_pid == 0)
        {
            // The helper's usage line would only clutter the test log.
            const int hQuiet = open("/dev/null", O_RDWR | O_CLOEXEC);
            if (hQuiet < 0 || dup2(hQuiet, STDERR_FILENO) < 0
                || dup2(options.bWithChannel ? pair[1] : hQuiet, CHANNEL_FD) < 0)
                _exit(101);
            const rlimit files {options.nMaxFiles, options.nMaxFiles};
            if (options.nMaxFiles != 0
                && (close_range(CHANNEL_FD + 1, ~0U, 0) != 0 || setrlimit(RLIMIT_NOFILE, &files) != 0))
                _exit(103);
            if (options.bStandardClosed)
            {
                for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
                    close(fd);
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
    }
    ~CHelperRun()
    {
        m_channel.Reset();
        if (m_pid > 0)
        {
            kill(m_pid, SIGKILL);
            WaitForChild(m_pid);
        }
    }

    // Its first message: the byte count, 0 when the channel closed without a word.
    ssize_t ReadReply()
    {
        pollfd pfd {m_channel.Get(), POLLIN, 0};
        if (poll(&pfd, 1, 5000) != 1)
            return -1;
        return recv(m_channel.Get(), m_reply, sizeof(m_reply), 0);
    }
    COpenedRecord ReadOpened()
    {
        COpenedRecord opened;
        if (ReadReply() == ssize_t(sizeof(opened)))
            std::memcpy(&opened, m_reply, sizeof(opened));
        return opened;
    }

    // Waits for the end; what the ended process held is still there to read until it is reaped.
    int WaitForEnd()
    {
        siginfo_t info {};
        if (waitid(P_PID, id_t(m_pid), &info, WEXITED | WNOWAIT) != 0)
            return -1;
        m_strCapEff = ReadProcessStatus(m_pid, "CapEff");
        m_strSeccomp = ReadProcessStatus(m_pid, "Seccomp");
        const int nExit = WaitForChild(std::exchange(m_pid, -1));
        return nExit;
    }

    pid_t GetPid() const { return m_pid; }
    int GetChannel() const { return m_channel.Get(); }

    std::string m_strCapEff, m_strSeccomp;

private:
    CUniqueFd m_channel;
    pid_t m_pid = -1;
    unsigned char m_reply[64] = {};
};

// Collects what a message holds.
struct CCollected
{
    void OnRecord(const COpenedRecord& opened, std::string_view) { m_opened = opened; }
    void OnRecord(const CNameRecord& name, std::string_view text)
    {
        m_names.emplace_back(text);
        m_records.push_back(name);
        m_nLastSeconds = name.nSeconds;
    }
    void OnRecord(const CCountsRecord& counts, std::string_view)
    {
        m_nEventsLost = counts.nEventsLost;
        ++m_nCounts;
    }
    // Failures and any kind added later say nothing these tests look at.
    template <class TRecord>
    void OnRecord(const TRecord&, std::string_view)
    {}

    COpenedRecord m_opened;
    std::vector<std::string> m_names;
    std::vector<CNameRecord> m_records;
    std::int64_t m_nLastSeconds = 0;
    std::uint64_t m_nEventsLost = 0;
    unsigned m_nCounts = 0;
};

// Hands the channel's messages to the visitor until pfnDone holds or nothing comes for nQuietMs;
// false once a message is turned down or the channel ends.
template <class TVisitor, class TDone>
bool ReadChannelUntil(int hChannel, TVisitor& visitor, const TDone& pfnDone, int nQuietMs = 5000)
{
    unsigned char message[MAX_MESSAGE_BYTES];
    pollfd pfd {hChannel, POLLIN, 0};
    while (!pfnDone() && poll(&pfd, 1, nQuietMs) == 1)
    {
        const ssize_t nReceived = recv(hChannel, message, sizeof(message), 0);
        if (nReceived <= 0 || !ReadRecords(message, size_t(nReceived), false, visitor))
            return false;
    }
    return true;
}

// Reads until pfnDone holds and counts have come after that: they cover what came before.
template <class TDone>
bool ReadUntilCountsAfter(int hChannel, CCollected& seen, const TDone& pfnDone)
{
    std::optional<unsigned> nCountsAtDone;
    return ReadChannelUntil(hChannel, seen, [&] {
        if (!nCountsAtDone && pfnDone())
            nCountsAtDone = seen.m_nCounts;
        return nCountsAtDone && seen.m_nCounts > *nCountsAtDone;
    });
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
        CHelperRun run(args);
        EXPECT_EQ(run.ReadReply(), 0);
        EXPECT_EQ(run.WaitForEnd(), EXIT_BAD_ARGUMENT) << (args.empty() ? "(none)" : args[0].substr(0, 20));
    }
    EXPECT_EQ(CHelperRun({"127.0.0.1"}, {.bWithChannel = false}).WaitForEnd(), EXIT_NO_CHANNEL);
}

// The helper starts in the namespace of the thread that runs it: the capture side.
class CaptureHelperNetTest : public CNetNamespaceTest
{
protected:
    CHelperProcess::CStarted StartCapture(const std::string& strHelper = TARROW_TEST_HELPER_PATH)
    {
        CHelperProcess::CStarted started = CHelperProcess::StartHelper(strHelper, m_pNet->GetCaptureAddress().c_str());
        EXPECT_TRUE(started.channel.IsOpen()) << "step " << started.opened.nStep << " errno " << started.opened.nError;
        return started;
    }
};

// A step that fails is said, never passed over, and only from inside the sandbox: without a
// descriptor left to read the kernel's list of sockets the user's captures cannot be counted, and an
// address no interface here owns fails the bind of a socket opened with the right.
TEST_F(CaptureHelperNetTest, HelperReportsTheStepThatFailedOnlyOnceItGaveUpItsRights)
{
    const struct
    {
        const char* pszAddress;
        CRunOptions options;
        OpenStep nStep;
        int nError;
    } cases[] = {
        {"127.0.0.1", {.nMaxFiles = CHANNEL_FD + 2}, STEP_PLACES, EMFILE},
        {"192.0.2.77", {}, STEP_BIND, EADDRNOTAVAIL},
    };
    for (const auto& one : cases)
    {
        CHelperRun run({one.pszAddress}, one.options);
        const COpenedRecord opened = run.ReadOpened();
        EXPECT_EQ(+opened.nStep, one.nStep) << one.pszAddress;
        EXPECT_EQ(+opened.nError, one.nError) << one.pszAddress;
        EXPECT_EQ(run.WaitForEnd(), EXIT_STEP_FAILED) << one.pszAddress;
        EXPECT_EQ(run.m_strCapEff, "0000000000000000") << one.pszAddress;
        EXPECT_EQ(run.m_strSeccomp, "2") << one.pszAddress;
    }
}

TEST_F(CaptureHelperNetTest, HelperStartedWithoutDescriptorsZeroToTwoGivesThemNothingItOpens)
{
    CHelperRun run({m_pNet->GetCaptureAddress()}, {.bStandardClosed = true});
    ASSERT_EQ(+run.ReadOpened().nStep, STEP_NONE);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    {
        std::error_code error;
        EXPECT_EQ(
            std::filesystem::read_symlink("/proc/" + std::to_string(run.GetPid()) + "/fd/" + std::to_string(fd), error),
            "/dev/null")
            << fd;
    }
}

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
    ASSERT_TRUE(ReadChannelUntil(started.channel.Get(), collected, [&] { return !collected.m_names.empty(); }));
    ASSERT_EQ(collected.m_names, std::vector<std::string> {"through.helper.example"});
    EXPECT_LE(std::abs(collected.m_nLastSeconds - tSent), 1);

    // The helper is this test's only child.
    started.channel.Reset();
    siginfo_t info {};
    ASSERT_EQ(waitid(P_ALL, 0, &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(info.si_code, CLD_EXITED);
    EXPECT_EQ(info.si_status, EXIT_ENDED);
}

namespace {

// The helper's rights as an installed one holds them: to capture, and to name programs too.
constexpr char CAPTURE_RIGHT[] = "cap_net_raw=ep";
constexpr char CAPTURE_AND_NAMING_RIGHTS[] = "cap_net_raw,cap_bpf,cap_perfmon=p";

} // namespace

namespace {

// Runs pfnTry in a child that holds a real capture socket and both ends of a channel, inside the
// helper's sandbox; the child's exit status, or 128 + the signal that ended it.
int InSandbox(const std::string& strAddress,
              const std::function<bool(int hSocket, int hChannel, int hOtherEnd)>& pfnTry)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        CPacketRing ring;
        COpenedRecord opened;
        const int hSocket = CPacketSocket::Open(strAddress.c_str(), ring, &opened);
        int pair[2];
        if (hSocket < 0 || socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
            _exit(10);
        // As the helper does with the rights to name programs: their ring is read in the sandbox.
        static CSenderEvents s_events;
        if (!s_events.Open(hSocket))
            _exit(13);
        if (!EnterCaptureSandbox(hSocket, pair[0]))
            _exit(11);
        const bool bTried = pfnTry(hSocket, pair[0], pair[1]);
        s_events.Drain(CCaptureLoop::EVENTS_PER_DRAIN, [](const sender_event&) {});
        _exit(bTried && s_events.GetLost() == 0 ? 0 : 12);
    }
    return WaitForChild(pid);
}

} // namespace

// The same sandbox as the helper's: the socket still reads, the ring of sending programs still
// drains and the channel still takes records, but any other call ends the process.
TEST_F(CaptureHelperNetTest, TheSandboxLeavesReadingAndKillsAnythingElse)
{
    const std::string strAddress = m_pNet->GetCaptureAddress();
    EXPECT_EQ(InSandbox(strAddress,
                        [](int hSocket, int hChannel, int) {
                            unsigned nKept = 0, nDropped = 0;
                            return CPacketSocket::ReadStatistics(hSocket, &nKept, &nDropped)
                                   && send(hChannel, "x", 1, 0) == 1;
                        }),
              0);

    const unsigned char frame[64] = {};
    const std::pair<const char*, std::function<bool(int, int, int)>> forbidden[] = {
        {"writing to stderr", [](int, int, int) { return write(STDERR_FILENO, "x", 1) == 1; }},
        {"sending a frame", [&frame](int hSocket, int, int) { return sendto(hSocket, frame, 64, 0, nullptr, 0) > 0; }},
        {"dropping the filter",
         [](int hSocket, int, int) {
             const int nZero = 0;
             return setsockopt(hSocket, SOL_SOCKET, SO_DETACH_FILTER, &nZero, sizeof(nZero)) == 0;
         }},
        {"a new socket", [](int, int, int) { return socket(AF_INET, SOCK_DGRAM, 0) >= 0; }},
        {"loading another program",
         [](int, int, int) { return syscall(SYS_bpf, 5 /* BPF_PROG_LOAD */, nullptr, 0) >= 0; }},
        {"opening a file", [](int, int, int) { return open("/etc/hostname", O_RDONLY) >= 0; }},
        {"sending on the window's end", [](int, int, int hOtherEnd) { return send(hOtherEnd, "x", 1, 0) == 1; }},
        {"mapping the ring again",
         [](int hSocket, int, int) { return mmap(nullptr, 4096, PROT_READ, MAP_SHARED, hSocket, 0) != MAP_FAILED; }},
        {"executable memory",
         [](int, int, int) {
             return mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED;
         }},
    };
    for (const auto& [pszWhat, pfnTry] : forbidden)
        EXPECT_EQ(InSandbox(strAddress, pfnTry), 128 + SIGSYS) << pszWhat;
}

namespace {

// One query as a helper wrote it, handed from the capturing user's process to the test.
struct CSeenQuery
{
    CNameRecord record;
    char szName[64];
};

// Writes each query the helper reports to hOut as a CSeenQuery, for the test's parent to read.
struct CForward
{
    int hOut;
    void OnRecord(const CNameRecord& name, std::string_view text)
    {
        CSeenQuery seen {name, {}};
        text.copy(seen.szName, sizeof(seen.szName) - 1);
        if (write(hOut, &seen, sizeof(seen)) != ssize_t(sizeof(seen)))
            _exit(2);
    }
    template <class TRecord>
    void OnRecord(const TRecord&, std::string_view)
    {}
};

std::uint32_t NamespaceInode(const std::string& strName)
{
    struct stat st
    {};
    return stat(("/var/run/netns/" + strName).c_str(), &st) == 0 ? std::uint32_t(st.st_ino) : 0;
}

// dig with one try of one second: nobody answers.
[[noreturn]] void ExecDig(const std::string& strServer, const std::string& strName, const char* pszHow)
{
    const int hQuiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(hQuiet, STDOUT_FILENO);
    dup2(hQuiet, STDERR_FILENO);
    const std::string strAt = "@" + strServer;
    execlp("dig", "dig", "+tries=1", "+time=1", pszHow, strAt.c_str(), strName.c_str(), nullptr);
    _exit(127);
}

} // namespace

// A capture by a user whose helper may name programs: each query sent by dig is named with dig's
// pid, the capturing user's and the system's own included, in the peer namespace with that
// namespace; another user's is only "another user". A helper with only the capture right captures
// all the same and says why it names nobody.
TEST_F(CaptureHelperNetTest, HelperNamesTheProgramBehindEachQueryUnderThePrivacyRule)
{
    const CGrantedHelper narrow(TARROW_TEST_HELPER_PATH, CAPTURE_RIGHT),
        full(TARROW_TEST_HELPER_PATH, CAPTURE_AND_NAMING_RIGHTS);
    ASSERT_FALSE(narrow.GetPath().empty() || full.GetPath().empty());
    const CTestUser owner("tarrow-test-a"), other("tarrow-test-b");
    ASSERT_TRUE(owner.IsReady() && other.IsReady());
    const std::string strCapture = m_pNet->GetCaptureAddress(), strPeer = m_pNet->GetPeerAddress();
    Listen(m_pNet->GetCaptureName(), strCapture, 53);
    Listen(m_pNet->GetPeerName(), strPeer, 53);
    Listen(m_pNet->GetPeerName(), m_pNet->GetPeerAddress6(), 53);
    // Accepts connections without a word, so that dig's query over TCP is sent.
    const int hTcp = CNetNamespace::OpenSocketIn(m_pNet->GetPeerName(), SOCK_STREAM, strPeer, 53);
    ASSERT_GE(hTcp, 0);
    m_fds.push_back(hTcp);
    ASSERT_EQ(listen(hTcp, 8), 0);

    // Started by a process whose bounding set lacks the naming rights (a container, root's window),
    // the helper still captures, and says why it names nobody.
    const pid_t pidBounded = fork();
    if (pidBounded == 0)
    {
        if (prctl(PR_CAPBSET_DROP, CAP_BPF, 0, 0, 0) != 0 || prctl(PR_CAPBSET_DROP, CAP_PERFMON, 0, 0, 0) != 0)
            _exit(201);
        _exit(WaitForChild(owner.Start([&] {
            const CHelperProcess::CStarted started = CHelperProcess::StartHelper(full.GetPath(), strCapture.c_str());
            return started.channel.IsOpen() ? started.opened.nAttributionError : 200;
        })));
    }
    EXPECT_EQ(WaitForChild(pidBounded), EPERM) << "200: no capture; without the naming rights in the bounding set";

    int ready[2], done[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
    m_fds.insert(m_fds.end(), {ready[0], done[1]});
    const pid_t pidOwner = owner.Start([&] {
        close(ready[0]);
        close(done[1]);
        const CHelperProcess::CStarted narrowStart = CHelperProcess::StartHelper(narrow.GetPath(), strCapture.c_str());
        CHelperProcess::CStarted started = CHelperProcess::StartHelper(full.GetPath(), strCapture.c_str());
        const std::int32_t errors[2] = {narrowStart.channel.IsOpen() ? narrowStart.opened.nAttributionError : -1,
                                        started.channel.IsOpen() ? started.opened.nAttributionError : -1};
        if (write(ready[1], errors, sizeof(errors)) != ssize_t(sizeof(errors)))
            return 1;
        CForward forward {ready[1]};
        unsigned char message[MAX_MESSAGE_BYTES];
        pollfd fds[2] = {{started.channel.Get(), POLLIN, 0}, {done[0], POLLIN, 0}};
        while (started.channel.IsOpen() && poll(fds, 2, 20000) > 0 && fds[1].revents == 0)
        {
            const ssize_t nReceived = recv(started.channel.Get(), message, sizeof(message), 0);
            if (nReceived <= 0 || !ReadRecords(message, size_t(nReceived), false, forward))
                return 3;
        }
        return 0;
    });
    close(ready[1]);
    close(done[0]);
    std::int32_t errors[2] = {-1, -1};
    ASSERT_EQ(read(ready[0], errors, sizeof(errors)), ssize_t(sizeof(errors)));
    EXPECT_EQ(errors[0], EPERM) << "with the capture right alone";
    ASSERT_EQ(errors[1], 0) << "with the rights to name programs";

    enum Who
    {
        ROOT,
        OWNER,
        OTHER
    };
    const std::uint32_t nCaptureNs = NamespaceInode(m_pNet->GetCaptureName());
    const std::uint32_t nPeerNs = NamespaceInode(m_pNet->GetPeerName());
    const struct
    {
        const char* pszName;
        Who who;
        bool bFromPeer;
        std::string strServer;
        const char* pszHow;
        Sender nSender;
    } queries[] = {
        {"root.udp.attribution.example", ROOT, false, strPeer, "+notcp", SENDER_PROGRAM},
        {"root.tcp.attribution.example", ROOT, false, strPeer, "+tcp", SENDER_PROGRAM},
        {"root.ipv6.attribution.example", ROOT, false, m_pNet->GetPeerAddress6(), "-6", SENDER_PROGRAM},
        {"owner.attribution.example", OWNER, false, strPeer, "+notcp", SENDER_PROGRAM},
        {"other.attribution.example", OTHER, false, strPeer, "+notcp", SENDER_ANOTHER_USER},
        {"peer.attribution.example", ROOT, true, strCapture, "+notcp", SENDER_PROGRAM},
    };
    // A first packet that waits for neighbour discovery leaves from a softirq, where its sender
    // cannot be told (it is listed as unknown): the neighbours are found first.
    for (const std::string& strAddress : {strPeer, m_pNet->GetPeerAddress6()})
    {
        const int hNudge = CNetNamespace::OpenSocketIn(
            m_pNet->GetCaptureName(), SOCK_DGRAM, strAddress == strPeer ? strCapture : m_pNet->GetCaptureAddress6());
        ASSERT_GE(hNudge, 0);
        m_fds.push_back(hNudge);
        // One byte is no query: no name of it is listed.
        for (int nTry = 0;
             nTry < 20
             && CNetNamespace::RunIn(m_pNet->GetCaptureName(), "ip neigh show " + strAddress + " | grep -q lladdr")
                    != 0;
             ++nTry)
        {
            ASSERT_TRUE(SendUdp(hNudge, strAddress, 53, {0}));
            usleep(100000);
        }
    }
    std::vector<pid_t> digs;
    for (const auto& one : queries)
    {
        const auto dig = [&] { ExecDig(one.strServer, one.pszName, one.pszHow); };
        if (one.who == ROOT)
        {
            const pid_t pid = fork();
            if (pid == 0)
            {
                if (one.bFromPeer)
                {
                    const CNetNamespace::CEnter enter(m_pNet->GetPeerName());
                    dig();
                }
                dig();
            }
            digs.push_back(pid);
        }
        else
            digs.push_back((one.who == OWNER ? owner : other).Start([&] { return dig(), 0; }));
    }
    for (const pid_t pid : digs)
        WaitForChild(pid);
    // The last frames reach the helper within a block's time.
    usleep(200000);
    close(done[1]);
    m_fds.erase(std::find(m_fds.begin(), m_fds.end(), done[1]));

    std::vector<CSeenQuery> seen;
    CSeenQuery one {};
    while (read(ready[0], &one, sizeof(one)) == ssize_t(sizeof(one)))
        seen.push_back(one);
    EXPECT_EQ(WaitForChild(pidOwner), 0);
    for (size_t i = 0; i < std::size(queries); ++i)
    {
        const auto& query = queries[i];
        const auto found = std::find_if(
            seen.begin(), seen.end(), [&](const CSeenQuery& s) { return std::string_view(s.szName) == query.pszName; });
        ASSERT_NE(found, seen.end()) << query.pszName;
        const CNameRecord& record = found->record;
        EXPECT_EQ(+record.nSender, +query.nSender) << query.pszName;
        if (query.nSender != SENDER_PROGRAM)
        {
            EXPECT_TRUE(record.IsAnonymous()) << query.pszName;
            continue;
        }
        EXPECT_EQ(+record.nPid, std::uint32_t(digs[i])) << query.pszName;
        EXPECT_STREQ(record.szCommand, "dig") << query.pszName;
        EXPECT_EQ(+record.nUid, query.who == OWNER ? owner.GetUid() : 0) << query.pszName;
        EXPECT_NE(+record.nTid, 0u) << query.pszName;
        EXPECT_EQ(+record.nNetNs, query.bFromPeer ? nPeerNs : nCaptureNs) << query.pszName;
    }
}

namespace {

// Sends DNS-sized datagrams from strNamespace to port 53 of strTo, dPerSecond of them or flat out
// (0), until told to stop: each is an event for the program that names senders, and none reaches
// the capture.
class CFlood
{
public:
    CFlood(const std::string& strNamespace, const std::string& strTo, double dPerSecond)
    {
        int pair[2];
        if (pipe2(pair, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0)
        {
            close(pair[0]);
            const CNetNamespace::CEnter enter(strNamespace);
            const int hSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_storage to {};
            const socklen_t nTo = MakeSocketAddress(strTo, 53, to);
            if (!enter.IsEntered() || hSocket < 0 || connect(hSocket, reinterpret_cast<sockaddr*>(&to), nTo) != 0)
                _exit(1);
            CBytes query = MakeDnsQuery("flood.example");
            constexpr unsigned BATCH = 64;
            iovec io {query.data(), query.size()};
            mmsghdr messages[BATCH] = {};
            for (mmsghdr& message : messages)
                message.msg_hdr = {nullptr, 0, &io, 1, nullptr, 0, 0};
            std::uint64_t nSent = 0;
            const auto start = std::chrono::steady_clock::now();
            const auto batchTime = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(dPerSecond > 0 ? BATCH / dPerSecond : 0));
            auto next = start;
            std::signal(SIGTERM, [](int) { s_bStop = 1; });
            while (s_bStop == 0)
            {
                const int n = sendmmsg(hSocket, messages, BATCH, 0);
                nSent += n > 0 ? unsigned(n) : 0;
                if (dPerSecond > 0)
                {
                    // A sender held up does not catch up in one rush.
                    next = std::max(next + batchTime, std::chrono::steady_clock::now() - 10 * batchTime);
                    std::this_thread::sleep_until(next);
                }
            }
            const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const double dRate = double(nSent) / dSeconds;
            _exit(write(pair[1], &dRate, sizeof(dRate)) == sizeof(dRate) ? 0 : 1);
        }
        close(pair[1]);
        m_hRate = pair[0];
    }
    ~CFlood() { Stop(); }
    // Events sent a second.
    double Stop()
    {
        double dRate = 0;
        if (m_pid > 0)
        {
            kill(m_pid, SIGTERM);
            if (read(m_hRate, &dRate, sizeof(dRate)) != sizeof(dRate))
                dRate = 0;
            WaitForChild(std::exchange(m_pid, -1));
            close(m_hRate);
        }
        return dRate;
    }

private:
    static inline volatile std::sig_atomic_t s_bStop = 0;
    pid_t m_pid = -1;
    int m_hRate = -1;
};

} // namespace

// A helper that names programs, and a second pair of namespaces to flood it from.
class CaptureHelperFloodTest : public CaptureHelperNetTest
{
protected:
    // Starts the helper on strAddress, and a listener that never reads at strSinkAddress of the
    // flood's capture side, so that the flood draws no ICMP error. Skips where programs go unnamed.
    void Start(const std::string& strAddress, const std::string& strSinkAddress)
    {
        m_run.emplace(std::vector<std::string> {strAddress});
        const COpenedRecord opened = m_run->ReadOpened();
        ASSERT_EQ(+opened.nStep, STEP_NONE);
        if (opened.nAttributionError != 0)
            GTEST_SKIP() << "the helper names no programs here: " << std::strerror(opened.nAttributionError);
        ASSERT_TRUE(m_floodSide.IsReady()) << m_floodSide.GetErrorText();
        const int hSink = CNetNamespace::OpenSocketIn(m_floodSide.GetCaptureName(), SOCK_DGRAM, strSinkAddress, 53);
        ASSERT_GE(hSink, 0);
        m_fds.push_back(hSink);
    }

    std::optional<CHelperRun> m_run;
    const CNetNamespace m_floodSide;
};

// Another namespace of this machine floods the program that names senders with twice the 100,000
// events a second a busy host of containers might send. Each query the capture sees is still
// listed, in order, and is never taken for the flood's; while the helper is held still, the
// bounded ring overflows and the helper counts what it lost.
TEST_F(CaptureHelperFloodTest, AFloodOfSendingEventsNeitherDropsNorMisnamesACapturedQuery)
{
    constexpr double FLOOD_PER_SECOND = 200000;
    Start(m_pNet->GetCaptureAddress(), m_floodSide.GetCaptureAddress());
    if (IsSkipped() || HasFatalFailure())
        return;
    CHelperRun& run = *m_run;
    Listen(m_pNet->GetCaptureName(), m_pNet->GetCaptureAddress(), 53);
    const int hPeer = CNetNamespace::OpenSocketIn(m_pNet->GetPeerName(), SOCK_DGRAM);
    ASSERT_GE(hPeer, 0);
    m_fds.push_back(hPeer);

    CCollected seen;
    const auto ReadUntil = [&](const auto& pfnDone) { ReadChannelUntil(run.GetChannel(), seen, pfnDone); };

    // Far enough apart that the flood alone would fill the ring between two of them.
    constexpr int QUERIES = 20;
    std::vector<std::string> expected;
    const auto Send = [&](const char* pszStem) {
        for (int i = 0; i < QUERIES; ++i)
        {
            expected.push_back(pszStem + std::to_string(i) + ".example");
            ASSERT_TRUE(SendUdp(hPeer, m_pNet->GetCaptureAddress(), 53, MakeDnsQuery(expected.back())));
            std::this_thread::sleep_for(100ms);
        }
    };
    // A first packet that waits for neighbour discovery leaves from a softirq, where its sender
    // cannot be told: one byte, no query, finds the neighbour first.
    ASSERT_TRUE(SendUdp(hPeer, m_pNet->GetCaptureAddress(), 53, {0}));
    // The flood starts while the helper waits out a quiet heartbeat.
    std::this_thread::sleep_for(300ms);
    CFlood flood(m_floodSide.GetPeerName(), m_floodSide.GetCaptureAddress(), FLOOD_PER_SECOND);
    std::this_thread::sleep_for(400ms);
    const auto AllNames = [&] { return seen.m_names.size() >= expected.size(); };
    Send("flowing");
    ReadUntilCountsAfter(run.GetChannel(), seen, AllNames);
    // A helper that slept through the flood's start until the first query would lose more than the
    // ring holds; a hiccup of a busy machine may cost some.
    EXPECT_LT(seen.m_nEventsLost, SENDER_RING_BYTES / sizeof(sender_event)) << "while the helper was free to drain";
    // Held still, the helper drains nothing while the flood goes on; the frames wait in their ring.
    ASSERT_EQ(kill(run.GetPid(), SIGSTOP), 0);
    Send("held");
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(kill(run.GetPid(), SIGCONT), 0);
    ReadUntil(AllNames);
    const double dRate = flood.Stop();
    // The counts follow within a heartbeat.
    ReadUntil([&] { return seen.m_nEventsLost != 0; });

    EXPECT_EQ(seen.m_names, expected);
    size_t nFlowingNamed = 0;
    for (size_t i = 0; i < seen.m_records.size(); ++i)
    {
        const CNameRecord& record = seen.m_records[i];
        EXPECT_NE(+record.nSender, +SENDER_ANOTHER_HOST) << seen.m_names[i];
        if (record.nSender == SENDER_PROGRAM)
        {
            EXPECT_EQ(+record.nPid, std::uint32_t(getpid())) << seen.m_names[i];
        }
        nFlowingNamed += i < QUERIES && record.nSender == SENDER_PROGRAM;
    }
    // Woken by the flood's first event, then drained while events flow even with no frame to wake
    // the helper, the ring keeps room for the events of the queries.
    EXPECT_GE(nFlowingNamed, size_t(QUERIES - 1));
    EXPECT_GT(seen.m_nEventsLost, 0u);
    std::printf("flood: %.0f events/s; named while flowing %zu of %d; events lost %llu\n", dRate, nFlowingNamed,
                QUERIES, static_cast<unsigned long long>(seen.m_nEventsLost));
}

// A flood on another namespace's loopback, where no frame of the capture can ever join it, costs
// the ring nothing, however long the helper is held; a query on the captured loopback itself is
// still named.
TEST_F(CaptureHelperFloodTest, OnlyTheCapturedLoopbackHasItsSendersNamed)
{
    Start("127.0.0.1", "127.0.0.1");
    if (IsSkipped() || HasFatalFailure())
        return;
    CHelperRun& run = *m_run;
    Listen(m_pNet->GetCaptureName(), "127.0.0.1", 53);
    const int hLocal = CNetNamespace::OpenSocketIn(m_pNet->GetCaptureName(), SOCK_DGRAM);
    ASSERT_GE(hLocal, 0);
    m_fds.push_back(hLocal);

    ASSERT_EQ(kill(run.GetPid(), SIGSTOP), 0);
    CFlood flood(m_floodSide.GetCaptureName(), "127.0.0.1", 0);
    std::this_thread::sleep_for(300ms);
    const double dRate = flood.Stop();
    ASSERT_TRUE(SendUdp(hLocal, "127.0.0.1", 53, MakeDnsQuery("captured.loopback.example")));
    ASSERT_EQ(kill(run.GetPid(), SIGCONT), 0);
    CCollected seen;
    ReadUntilCountsAfter(run.GetChannel(), seen, [&] { return !seen.m_names.empty(); });

    ASSERT_EQ(seen.m_names, std::vector<std::string> {"captured.loopback.example"});
    EXPECT_EQ(+seen.m_records[0].nSender, +SENDER_PROGRAM);
    EXPECT_EQ(+seen.m_records[0].nPid, std::uint32_t(getpid()));
    EXPECT_EQ(seen.m_nEventsLost, 0u) << "after a loopback flood of " << dRate << " events/s";
}
