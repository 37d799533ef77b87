// The capture helper started as the window starts it: what it turns down before it answers, the
// step it reports and with which rights, the names it writes and how it ends.
#include "HelperRun.h"

#include <cerrno>
#include <ctime>
#include <filesystem>

namespace {

// Sound entries, one a line, of at least nBytes.
std::string ManyResolvers(size_t nBytes)
{
    std::string strText;
    while (strText.size() < nBytes)
        strText += "doh" + std::to_string(strText.size()) + ".example\n";
    return strText;
}

} // namespace

TEST(HelperStartTest, HelperTurnsDownBadArgumentsAndAMissingChannelWithoutAnswering)
{
    const std::vector<std::vector<std::string>> badArguments = {
        {},
        {"127.0.0.1", "127.0.0.1"},
        {""},
        {"127.0.0.1\n"},
        {"256.0.0.1"},
        {"127.1"},
        {std::string(100000, '1')},
        {"--help"},
        {"if:a/b"},
        // Resolvers come only with the wish for encrypted DNS, and each is one.
        {"127.0.0.1", "exchanges", "dns.example"},
        {"127.0.0.1", "names+encrypted"},
        {"127.0.0.1", "exchanges+encrypted", "bad name.example"},
        {"127.0.0.1", "exchanges+encrypted", ManyResolvers(MAX_RESOLVERS_ARGUMENT_BYTES + 1)},
    };
    for (const auto& args : badArguments)
    {
        CHelperRun run(args);
        EXPECT_EQ(run.ReadReply(), 0);
        EXPECT_EQ(run.WaitForEnd(), EXIT_BAD_ARGUMENT) << (args.empty() ? "(none)" : args[0].substr(0, 20));
    }
    EXPECT_EQ(CHelperRun({"127.0.0.1"}, {.bWithChannel = false}).WaitForEnd(), EXIT_NO_CHANNEL);
}

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
        {"if:nosuch0", {}, STEP_BIND, ENODEV},
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

// Started as the window starts it, the helper runs with no right left in its sandbox and nothing it
// writes reaches the starter's terminal; root as the starter is, it holds no packet socket of its own.
TEST_F(CaptureHelperNetTest, HelperWritesTheNamesWithoutRightsAndEndsWhenItsChannelCloses)
{
    CHelperProcess::CStarted started =
        CHelperProcess::StartHelper(TARROW_TEST_HELPER_PATH, m_pNet->GetCaptureAddress().c_str());
    ASSERT_TRUE(started.channel.IsOpen()) << "step " << started.opened.nStep << " errno " << started.opened.nError;
    EXPECT_EQ(fcntl(started.channel.Get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    // The helper is this test's only child.
    const std::vector<int> children = ListChildProcesses();
    ASSERT_EQ(children.size(), 1u);
    const std::pair<const char*, const char*> status[] = {{"CapEff", "0000000000000000"},
                                                          {"CapPrm", "0000000000000000"},
                                                          {"CapAmb", "0000000000000000"},
                                                          {"NoNewPrivs", "1"},
                                                          {"Seccomp", "2"}};
    for (const auto& [pszField, pszValue] : status)
        EXPECT_EQ(ReadProcessStatus(children[0], pszField), pszValue) << pszField;
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(children[0]) + "/fd/2"), "/dev/null");
    EXPECT_FALSE(HoldsPacketSocket());

    const int hPeer = CNetNamespace::OpenSocketIn(m_pNet->GetPeerName(), SOCK_DGRAM, m_pNet->GetPeerAddress(), 41000);
    ASSERT_GE(hPeer, 0);
    m_fds.push_back(hPeer);
    const std::time_t tSent = std::time(nullptr);
    ASSERT_TRUE(SendUdp(hPeer, m_pNet->GetCaptureAddress(), 53, MakeDnsQuery("through.helper.example")));
    CCollected collected;
    ASSERT_TRUE(ReadChannelUntil(started.channel.Get(), collected, [&] { return !collected.m_names.empty(); }));
    ASSERT_EQ(collected.m_names, std::vector<std::string> {"through.helper.example"});
    EXPECT_LE(std::abs(collected.m_records.back().facts.nSeconds - tSent), 1);

    started.channel.Reset();
    siginfo_t info {};
    ASSERT_EQ(waitid(P_ALL, 0, &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(info.si_code, CLD_EXITED);
    EXPECT_EQ(info.si_status, EXIT_ENDED);
}
