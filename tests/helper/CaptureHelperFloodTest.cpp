// Floods of sending events against a helper that names programs: captured queries are neither lost
// nor misnamed, and what the bounded ring loses is counted.
#include "HelperRun.h"
#include "helper/SenderEvents.h"

#include <chrono>
#include <csignal>
#include <thread>

using namespace std::chrono_literals;

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
        if (opened.nSendersError != 0)
            GTEST_SKIP() << "the helper names no programs here: " << std::strerror(opened.nSendersError);
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
            EXPECT_EQ(+record.sender.nPid, std::uint32_t(getpid())) << seen.m_names[i];
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
    EXPECT_EQ(+seen.m_records[0].sender.nPid, std::uint32_t(getpid()));
    EXPECT_EQ(seen.m_nEventsLost, 0u) << "after a loopback flood of " << dRate << " events/s";
}
