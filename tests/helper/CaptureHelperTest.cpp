// The capture helper as a process of its own, started the way the window starts it: what it turns
// down before it answers, what it answers and with which rights, the names it writes and the
// programs it names behind them, its places among the user's captures, and the sandbox it lives in.
#include "capture/HelperProcess.h"
#include "channel/RecordReader.h"
#include "helper/CapturePlaces.h"
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
#include "helper/SenderTable.h"

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

// What a user may do to their own files between two starts, each of which once freed places that
// were counted in a file of theirs.
bool ChangeOwnFiles(int nChange)
{
    const passwd* pEntry = getpwuid(getuid());
    if (pEntry == nullptr)
        return false;
    const std::string strHome = pEntry->pw_dir, strFile = strHome + "/.tarrow-captures";
    // Whatever a start or the change before left there.
    if (unlink(strFile.c_str()) != 0 && (errno != EISDIR || rmdir(strFile.c_str()) != 0) && errno != ENOENT)
        return false;
    switch (nChange % 6)
    {
    case 0: // a file of that name that all may read and lock
        return CUniqueFd(open(strFile.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)).IsOpen();
    case 1:
        return true;
    case 2:
        return mkdir(strFile.c_str(), 0700) == 0;
    case 3:
        return symlink("/dev/null", strFile.c_str()) == 0;
    case 4: // a home folder that fails every check of a private folder
        return chmod(strHome.c_str(), 0777) == 0;
    default:
        return chmod(strHome.c_str(), 0700) == 0;
    }
}

} // namespace

// Twelve starts by one user, one after another while the user changes their own files between
// them, or all at once: at most four run, every other start hears that four already run, and a
// stopped capture's place goes to the next start. The user is one of the test's own, so that
// captures of anyone else on the machine cannot count.
TEST_F(CaptureHelperNetTest, OneUserRunsAtMostFourCapturesWhateverTheyDoAndHoweverTheyStart)
{
    const CGrantedHelper helper(TARROW_TEST_HELPER_PATH, CAPTURE_RIGHT);
    ASSERT_FALSE(helper.GetPath().empty());
    const CTestUser user("tarrow-test-a");
    ASSERT_TRUE(user.IsReady());
    const std::string strAddress = m_pNet->GetCaptureAddress();
    const auto start = [&] { return CHelperProcess::StartHelper(helper.GetPath(), strAddress.c_str()); };
    const auto isRunning = [](CHelperProcess::CStarted& one) {
        return one.channel.IsOpen() && !one.process.ReapIfEnded();
    };
    constexpr int STARTS = 12;

    for (const bool bAtOnce : {false, true})
    {
        // 10 * the captures the twelve starts left running + those running once every place was
        // filled; 100 + the step a start failed at other than the full places; 150 and more: see below.
        const int nExit = WaitForChild(user.Start([&] {
            std::vector<CHelperProcess::CStarted> started(STARTS);
            // A helper dies with the thread that started it, so the threads that start them at once
            // stay until the end.
            std::latch go(STARTS), startsDone(STARTS), end(1);
            std::vector<std::jthread> threads;
            const std::unique_ptr<std::latch, void (*)(std::latch*)> endThreads(&end,
                                                                                [](std::latch* p) { p->count_down(); });
            if (bAtOnce)
            {
                for (CHelperProcess::CStarted& one : started)
                    threads.emplace_back([&] {
                        go.arrive_and_wait();
                        one = start();
                        startsDone.count_down();
                        end.wait();
                    });
                startsDone.wait();
            }
            else
            {
                for (int i = 0; i < STARTS; ++i)
                {
                    started[i] = start();
                    if (!ChangeOwnFiles(i))
                        return 200 + i;
                }
            }
            int nRunning = 0, nOtherStep = STEP_NO_PLACE;
            for (CHelperProcess::CStarted& one : started)
            {
                if (isRunning(one))
                    ++nRunning;
                else if (one.opened.nStep != STEP_NO_PLACE || one.opened.nError != MAX_CAPTURES_PER_USER)
                    nOtherStep = one.opened.nStep;
            }
            if (nRunning > MAX_CAPTURES_PER_USER)
                return 170 + nRunning;
            if (nOtherStep != STEP_NO_PLACE)
                return 100 + nOtherStep % 100;
            const int nLeftRunning = nRunning;
            for (;;)
            {
                CHelperProcess::CStarted more = start();
                if (!more.channel.IsOpen())
                {
                    if (more.opened.nStep != STEP_NO_PLACE)
                        return 100 + more.opened.nStep % 100;
                    break;
                }
                started.push_back(std::move(more));
                if (++nRunning > STARTS)
                    return 160;
            }
            const auto running = std::find_if(started.begin(), started.end(), isRunning);
            if (running == started.end())
                return 161;
            running->channel.Reset();
            running->process.End(CHelperProcess::EXIT_GRACE_MS);
            *running = start();
            if (!running->channel.IsOpen())
                return 150;
            if (start().opened.nStep != STEP_NO_PLACE)
                return 151;
            return 10 * nLeftRunning + nRunning;
        }));
        const char* pszHow = bAtOnce ? "all at once" : "one after another, files changed between";
        ASSERT_LT(nExit, 100)
            << pszHow << ": 100 + a failed step, 150: a stopped capture's place stayed taken, "
            << "151: a fifth ran then, 160: places never filled, 170 + n: n ran, 200 + i: change i failed";
        EXPECT_EQ(nExit % 10, MAX_CAPTURES_PER_USER) << pszHow;
        if (bAtOnce)
            EXPECT_TRUE(nExit / 10 >= 1 && nExit / 10 <= MAX_CAPTURES_PER_USER) << pszHow << ": " << nExit / 10;
        else
            EXPECT_EQ(nExit / 10, MAX_CAPTURES_PER_USER) << pszHow;
        std::printf("%s: %d of %d starts running\n", pszHow, nExit / 10, STARTS);
    }
}

// Another user binds names like those the user's captures take and holds them, and runs as many
// captures of its own: neither takes or holds any of the user's four places.
TEST_F(CaptureHelperNetTest, AnotherUserNeitherTakesNorHoldsTheUsersPlaces)
{
    const CGrantedHelper helper(TARROW_TEST_HELPER_PATH, CAPTURE_RIGHT);
    ASSERT_FALSE(helper.GetPath().empty());
    const CTestUser owner("tarrow-test-a"), other("tarrow-test-b");
    ASSERT_TRUE(owner.IsReady() && other.IsReady());
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    m_fds.insert(m_fds.end(), {ready[0], ready[1], done[0], done[1]});

    const pid_t pidOther = other.Start([&] {
        std::vector<CUniqueFd> names;
        for (int nName = 0; nName < 4 * MAX_CAPTURES_PER_USER; ++nName)
        {
            // In the state the user's own places are in, and in another.
            names.emplace_back(socket(AF_UNIX, nName % 2 == 0 ? SOCK_STREAM : SOCK_DGRAM, 0));
            sockaddr_un addr {};
            addr.sun_family = AF_UNIX;
            char szTail[17];
            std::snprintf(szTail, sizeof(szTail), "%016x", nName);
            const std::string strName = "tarrow-capture/" + std::to_string(owner.GetUid()) + "/" + szTail;
            std::memcpy(addr.sun_path + 1, strName.data(), strName.size());
            if (bind(names.back().Get(), reinterpret_cast<const sockaddr*>(&addr),
                     socklen_t(offsetof(sockaddr_un, sun_path) + 1 + strName.size()))
                != 0)
                return 10;
        }
        std::vector<CHelperProcess::CStarted> running;
        for (int i = 0; i < MAX_CAPTURES_PER_USER; ++i)
        {
            running.push_back(CHelperProcess::StartHelper(helper.GetPath(), m_pNet->GetCaptureAddress().c_str()));
            if (!running.back().channel.IsOpen())
                return 20 + i;
        }
        char c = 0;
        return write(ready[1], "r", 1) == 1 && read(done[0], &c, 1) == 1 ? 0 : 30;
    });
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1) << "the other user's captures: " << WaitForChild(pidOther);

    const int nOwner = WaitForChild(owner.Start([&] {
        std::vector<CHelperProcess::CStarted> running;
        for (int i = 0; i < MAX_CAPTURES_PER_USER; ++i)
        {
            running.push_back(CHelperProcess::StartHelper(helper.GetPath(), m_pNet->GetCaptureAddress().c_str()));
            if (!running.back().channel.IsOpen())
                return 10 + running.back().opened.nStep % 100;
        }
        const CHelperProcess::CStarted fifth =
            CHelperProcess::StartHelper(helper.GetPath(), m_pNet->GetCaptureAddress().c_str());
        return fifth.opened.nStep == STEP_NO_PLACE ? 0 : 40;
    }));
    EXPECT_EQ(write(done[1], "d", 1), 1);
    EXPECT_EQ(nOwner, 0) << "10 + step: a capture of the owner failed; 40: a fifth one ran";
    EXPECT_EQ(WaitForChild(pidOther), 0);
}

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

// Who a query's sender may be shown as, limits in pairs, and how a frame finds its event.
TEST(CaptureHelperTest, SenderTableKeepsOtherPeoplesProgramsAnonymousAndJoinsByTupleAndId)
{
    const struct
    {
        std::uint32_t nUid, nOwnUid;
        bool bSenderKnown;
        Sender nSender;
    } privacy[] = {
        {999, 1000, true, SENDER_PROGRAM},   {1000, 1001, true, SENDER_ANOTHER_USER},
        {1000, 1000, true, SENDER_PROGRAM},  {65533, 1000, true, SENDER_ANOTHER_USER},
        {65534, 1000, true, SENDER_PROGRAM}, {65535, 1000, true, SENDER_ANOTHER_USER},
        {4242, 0, true, SENDER_PROGRAM},     {0, 1000, true, SENDER_PROGRAM},
        {1000, 1000, false, SENDER_UNKNOWN}, // sent from a softirq by a socket never seen sending
    };
    for (const auto& one : privacy)
    {
        sender_event event {};
        event.uid = one.nUid;
        event.pid = 77;
        event.sender_known = one.bSenderKnown;
        std::strcpy(event.comm, "dig");
        CNameRecord record;
        CSenderTable::Name(event, one.nOwnUid, &record);
        EXPECT_EQ(int(record.nSender), int(one.nSender)) << one.nUid << " for " << one.nOwnUid;
        EXPECT_EQ(record.IsAnonymous(), one.nSender != SENDER_PROGRAM) << one.nUid << " for " << one.nOwnUid;
    }

    constexpr std::uint64_t SENT_NS = 5000000000;
    const auto event = [](std::uint8_t nProtocol, std::uint16_t nId, bool bIdKnown) {
        sender_event e {};
        e.ktime_ns = SENT_NS;
        e.ip_version = 4;
        e.protocol = nProtocol;
        e.saddr[0] = 10;
        e.daddr[0] = 10;
        e.sport = 40000;
        e.dport = 53;
        e.dns_id = nId;
        e.id_known = bIdKnown;
        e.pid = nId;
        return e;
    };
    const auto facts = [](std::uint8_t nProtocol, std::uint16_t nId, std::uint16_t nSourcePort = 40000) {
        CQueryFacts f;
        f.nIpVersion = 4;
        f.nProtocol = nProtocol;
        f.abSource[0] = 10;
        f.abDestination[0] = 10;
        f.nSourcePort = nSourcePort;
        f.nDestinationPort = 53;
        f.nDnsId = nId;
        return f;
    };
    const auto table = std::make_unique<CSenderTable>();
    table->Add(event(17, 1, true));
    table->Add(event(6, 2, false)); // a TCP payload out of the program's reach
    const struct
    {
        const char* pszWhat;
        CQueryFacts facts;
        std::uint64_t nNowNs;
        std::uint32_t nFoundPid; // 0: none
    } lookups[] = {
        {"the same UDP query", facts(17, 1), SENT_NS, 1},
        {"its last moment", facts(17, 1), SENT_NS + CSenderTable::EVENT_LIFE_NS, 1},
        {"just after it", facts(17, 1), SENT_NS + CSenderTable::EVENT_LIFE_NS + 1, 0},
        {"another id", facts(17, 3), SENT_NS, 0},
        {"another port", facts(17, 1, 40001), SENT_NS, 0},
        {"any TCP query of the tuple", facts(6, 9), SENT_NS, 2},
        {"UDP never by tuple alone", facts(17, 0), SENT_NS, 0},
    };
    for (const auto& one : lookups)
    {
        const sender_event* pFound = table->Find(one.facts, one.nNowNs);
        EXPECT_EQ(pFound != nullptr ? pFound->pid : 0, one.nFoundPid) << one.pszWhat;
    }
    // A flood of other queries forgets the oldest, never more than the table holds.
    for (std::uint32_t i = 0; i < 4 * CSenderTable::SLOTS; ++i)
        table->Add(event(17, std::uint16_t(100 + i % 60000), true));
    EXPECT_EQ(table->Find(facts(17, 1), SENT_NS), nullptr);
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
