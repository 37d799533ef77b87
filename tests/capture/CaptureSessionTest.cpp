// The whole capture as the window runs it, in a private network namespace: real clients and real
// packet sockets, the helper process, and the session reading its channel on a Qt event loop.
#include "capture/CaptureSession.h"
#include "common/DnsQuery.h"
#include "common/NetNamespaceFixture.h"
#include "common/ProcessState.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

class CTestOwner : public QObject, public CCaptureOwner
{
    Q_OBJECT

public:
    void OnCapturedNames(const CCapturedNames& names) override
    {
        for (size_t i = 0; i < names.GetCount(); ++i)
            m_names.emplace_back(names.GetName(i).data(), qsizetype(names.GetName(i).size()));
        if (m_onName)
            m_onName();
    }
    void OnQueriesMissed(std::uint64_t nMissed) override { m_nMissed = nMissed; }
    void OnCaptureFailed() override { ++m_nFailures; }

    bool Has(const char* pszName) const
    {
        return std::find(m_names.begin(), m_names.end(), QByteArray(pszName)) != m_names.end();
    }

    std::vector<QByteArray> m_names;
    std::uint64_t m_nMissed = 0;
    int m_nFailures = 0;
    std::function<void()> m_onName;
};

// Handles events meanwhile: the session reads its channel on this thread's event loop.
bool WaitUntil(const std::function<bool()>& condition, int nMilliseconds = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMilliseconds);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Handles events until no helper is left: once its process is gone nothing more can arrive.
bool HelpersGone(int nMilliseconds = 5000)
{
    return WaitUntil([] { return ListChildProcesses().empty(); }, nMilliseconds);
}

// The session starts its helpers from this thread, so they capture on the capture side.
class CaptureSessionTest : public CNetNamespaceTest
{
protected:
    void SetUp() override
    {
        CNetNamespaceTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        // Silent servers and clients: nothing answers, so no ICMP error crosses the capture.
        m_hServerHere = Listen(m_pNet->GetCaptureName(), m_pNet->GetCaptureAddress(), 53);
        m_hServerThere = Listen(m_pNet->GetPeerName(), m_pNet->GetPeerAddress(), 53);
        m_hClientHere = Listen(m_pNet->GetCaptureName(), m_pNet->GetCaptureAddress(), 45000);
        m_hClientThere = Listen(m_pNet->GetPeerName(), m_pNet->GetPeerAddress(), 45000);
        m_nDescriptors = CountOpenDescriptors();
    }

    void QueryFromPeer(const std::string& strName)
    {
        ASSERT_TRUE(SendUdp(m_hClientThere, m_pNet->GetCaptureAddress(), 53, MakeDnsQuery(strName)));
    }

    // Helpers end once their channel closes, and are reaped as they go.
    void ExpectHelpersGoneAndDescriptorsClosed()
    {
        EXPECT_TRUE(HelpersGone(10000)) << ListChildProcesses().size() << " helpers left";
        EXPECT_EQ(CountOpenDescriptors(), m_nDescriptors);
    }

    // The capture helper of the one running capture.
    static int HelperPid()
    {
        const std::vector<int> children = ListChildProcesses();
        return children.size() == 1 ? children[0] : -1;
    }

    int m_hServerHere = -1, m_hServerThere = -1, m_hClientHere = -1, m_hClientThere = -1;
    int m_nDescriptors = 0;
};

TEST_F(CaptureSessionTest, AFailedStartKeepsItsTextUntilAnotherStartFails)
{
    CTestOwner owner;
    CCaptureSession session;
    // Well formed, so the helper runs; no interface of this namespace owns it.
    session.SetOwner(&owner, "192.0.2.77");
    EXPECT_FALSE(session.Start());
    EXPECT_EQ(session.GetErrorText(), "bind() failed, error no 99");
    EXPECT_EQ(session.GetErrorNumber(), EADDRNOTAVAIL);
    EXPECT_EQ(CountOpenDescriptors(), m_nDescriptors);
    EXPECT_TRUE(ListChildProcesses().empty());

    session.SetOwner(&owner, m_pNet->GetCaptureAddress());
    EXPECT_TRUE(session.Start());
    EXPECT_EQ(session.GetErrorText(), "bind() failed, error no 99");
}

TEST_F(CaptureSessionTest, StopIsHarmlessAnytimeAndDropsWhatWasInFlight)
{
    CTestOwner owner;
    CCaptureSession session;
    session.Stop();
    session.Stop();
    EXPECT_EQ(session.GetErrorText(), "");

    session.SetOwner(&owner, m_pNet->GetCaptureAddress());
    ASSERT_TRUE(session.Start());
    QueryFromPeer("in-flight.example");
    session.Stop();
    QueryFromPeer("after-stop.example");
    ExpectHelpersGoneAndDescriptorsClosed();
    session.Stop();
    EXPECT_EQ(session.GetErrorText(), "");
    EXPECT_TRUE(owner.m_names.empty());
}

// A capture that ends by itself: the owner is told once, with the reason, the helper is reaped and
// its descriptors closed, and the next Start captures again.
TEST_F(CaptureSessionTest, ACaptureThatEndsByItselfTellsTheOwnerWhyAndRunWorksAgain)
{
    CTestOwner owner;
    CCaptureSession session;
    session.SetOwner(&owner, m_pNet->GetCaptureAddress());
    const std::string strIf = m_pNet->GetCaptureInterface();
    const std::string& strNs = m_pNet->GetCaptureName();
    const struct
    {
        int nSignal;            // sent to the helper; 0: the command runs instead
        std::string strCommand; // run in the capture namespace
        const char* pszText;
    } ends[] = {
        {SIGKILL, "", "The capture helper ended unexpectedly."},
        {SIGSTOP, "", "The capture helper stopped responding."},
        {0, "ip link set " + strIf + " down", "recvfrom() failed, error num 100"},
        {0, "ip link del " + strIf, "recvfrom() failed, error num 100"},
    };
    for (int i = 0; i < 4; ++i)
    {
        ASSERT_TRUE(session.Start()) << session.GetErrorText();
        const std::string strName = "run" + std::to_string(i) + ".example";
        QueryFromPeer(strName);
        ASSERT_TRUE(WaitUntil([&] { return owner.Has(strName.c_str()); })) << ends[i].pszText;
        const int nCaused =
            ends[i].nSignal != 0 ? kill(HelperPid(), ends[i].nSignal) : CNetNamespace::RunIn(strNs, ends[i].strCommand);
        ASSERT_EQ(nCaused, 0) << ends[i].pszText;
        ASSERT_TRUE(WaitUntil([&] { return owner.m_nFailures == i + 1; }, 15000)) << ends[i].pszText;
        EXPECT_EQ(session.GetErrorText(), ends[i].pszText);
        ExpectHelpersGoneAndDescriptorsClosed();
        if (i == 2) // the interface comes back for the next run
        {
            ASSERT_EQ(CNetNamespace::RunIn(strNs, "ip link set " + strIf + " up"), 0);
        }
    }
    session.Stop();
    EXPECT_EQ(owner.m_nFailures, 4);
}

TEST_F(CaptureSessionTest, ANestedEventLoopKeepsDelivering)
{
    CTestOwner owner;
    CCaptureSession session;
    session.SetOwner(&owner, m_pNet->GetCaptureAddress());
    ASSERT_TRUE(session.Start());
    bool bDone = false;
    size_t nInNestedLoop = 0;
    // As a modal dialog does: a loop of its own, entered from an event handler.
    QTimer::singleShot(0, [&] {
        QEventLoop loop;
        owner.m_onName = [&] {
            if (owner.m_names.size() == 2)
                loop.quit();
        };
        QueryFromPeer("modal1.example");
        QueryFromPeer("modal2.example");
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
        nInNestedLoop = owner.m_names.size();
        bDone = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return bDone; }, 10000));
    EXPECT_EQ(nInNestedLoop, 2u);
    owner.m_onName = nullptr;
}

// Under a flood from the peer: starts and stops, starts without a stop, and a session and its owner
// going in either order, with and without events handled in between; then an owner that goes while
// its session stays, which stops by itself at its next read. Each cycle starts a helper process
// with its ring, so this takes seconds.
TEST_F(CaptureSessionTest, TeardownsUnderTrafficInEveryOrderLeaveNothingBehind)
{
    // Queries from the peer as fast as it sends them, until the test ends.
    const std::jthread traffic([this](std::stop_token stop) {
        const CBytes query = MakeDnsQuery("load.example");
        while (!stop.stop_requested())
        {
            for (int i = 0; i < 50; ++i)
                SendUdp(m_hClientThere, m_pNet->GetCaptureAddress(), 53, query);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    CTestOwner owner;
    CCaptureSession session;
    session.SetOwner(&owner, m_pNet->GetCaptureAddress());
    for (int i = 0; i < 60; ++i)
    {
        ASSERT_TRUE(session.Start()) << i << ": " << session.GetErrorText();
        QCoreApplication::processEvents();
        if (i % 2 == 0)
            session.Stop();

        auto pOwner = std::make_unique<CTestOwner>();
        auto pSession = std::make_unique<CCaptureSession>();
        pSession->SetOwner(pOwner.get(), m_pNet->GetCaptureAddress());
        ASSERT_TRUE(pSession->Start()) << i << ": " << pSession->GetErrorText();
        for (int j = 0; j < i % 4; ++j)
            QCoreApplication::processEvents();
        if (i % 2 == 0)
        {
            // Names still waiting in the channel never reach the owner.
            const size_t nNames = pOwner->m_names.size();
            pSession.reset();
            EXPECT_EQ(pOwner->m_names.size(), nNames);
        }
        pOwner.reset();
        if (i % 3 == 0)
            QCoreApplication::processEvents();
        pSession.reset();
    }
    // The last capture still runs.
    EXPECT_TRUE(WaitUntil([&] { return !owner.m_names.empty(); }));
    EXPECT_EQ(session.GetErrorText(), "");
    session.Stop();

    auto pOwner = std::make_unique<CTestOwner>();
    session.SetOwner(pOwner.get(), m_pNet->GetCaptureAddress());
    ASSERT_TRUE(session.Start());
    ASSERT_TRUE(WaitUntil([&] { return !pOwner->m_names.empty(); }));
    pOwner.reset();
    ExpectHelpersGoneAndDescriptorsClosed();
    EXPECT_EQ(session.GetErrorText(), "");
}

// Frames of 1,600 bytes fill the ring after some 40,000 queries; the frozen helper reads none of them.
TEST_F(CaptureSessionTest, WhatTheKernelDropsWhileTheHelperIsFrozenIsCountedExactly)
{
    CTestOwner owner;
    CCaptureSession session;
    session.SetOwner(&owner, m_pNet->GetCaptureAddress());
    ASSERT_TRUE(session.Start()) << session.GetErrorText();
    const int nHelper = HelperPid();
    ASSERT_EQ(kill(nHelper, SIGSTOP), 0);
    const int nSent = 100000;
    for (int i = 0; i < nSent; ++i)
        ASSERT_TRUE(SendUdp(m_hClientThere, m_pNet->GetCaptureAddress(), 53,
                            MakeDnsQuery("burst" + std::to_string(i) + ".example", 1500)));
    ASSERT_EQ(kill(nHelper, SIGCONT), 0);
    EXPECT_TRUE(WaitUntil([&] { return owner.m_names.size() + owner.m_nMissed == size_t(nSent); }, 30000))
        << owner.m_names.size() << " listed, " << owner.m_nMissed << " missed";
    EXPECT_GT(owner.m_nMissed, 0u);
    // Whatever was kept arrives in the order it was sent.
    std::vector<int> order;
    for (const QByteArray& name : owner.m_names)
        order.push_back(name.mid(5, name.indexOf('.') - 5).toInt());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(session.GetErrorText(), "");
}

// Leaving main with a capture running and names waiting in its channel.
TEST_F(CaptureSessionTest, TheProcessExitsPromptlyWithNamesWaitingForTheOwner)
{
    const std::string strSelf = std::filesystem::read_symlink("/proc/self/exe");
    for (const char* pszMode : {"--exit-probe=scoped", "--exit-probe=leaked"})
    {
        const auto start = std::chrono::steady_clock::now();
        std::string strOutput;
        const int nStatus = CNetNamespace::RunIn(m_pNet->GetCaptureName(),
                                                 "timeout 10 " + strSelf + " " + pszMode + " "
                                                     + m_pNet->GetCaptureAddress() + " " + m_pNet->GetPeerAddress(),
                                                 &strOutput);
        EXPECT_EQ(nStatus, 0) << pszMode << ": " << strOutput;
        EXPECT_NE(strOutput.find("waiting"), std::string::npos) << strOutput;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << pszMode;
    }
}

// Held here, not merely leaked, so the leak checker counts them as still in use at exit (volatile,
// so the compiler keeps stores that nothing reads).
CTestOwner* volatile s_pKeptOwner = nullptr;
CCaptureSession* volatile s_pKeptSession = nullptr;

// Captures on the address, sends queries to the peer across the watched interface until the owner
// has one, then ten more, and returns from main without handling events again: "scoped" destroys
// session and owner first, "leaked" keeps them alive.
int RunExitProbe(int argc, char** argv, bool bLeaked, const char* pszAddress, const char* pszPeer)
{
    QCoreApplication app(argc, argv);
    auto* pOwner = new CTestOwner;
    auto* pSession = new CCaptureSession;
    pSession->SetOwner(pOwner, pszAddress);
    if (!pSession->Start())
        return 2;
    const int hClient = socket(AF_INET, SOCK_DGRAM, 0);
    const auto query = [&](int i) {
        SendUdp(hClient, pszPeer, 53, MakeDnsQuery("exit" + std::to_string(i) + ".example"));
    };
    query(0);
    if (!WaitUntil([&] { return !pOwner->m_names.empty(); }))
        return 3;
    for (int i = 1; i <= 10; ++i)
        query(i);
    std::printf("waiting\n");
    std::fflush(stdout);
    if (bLeaked)
    {
        s_pKeptOwner = pOwner;
        s_pKeptSession = pSession;
    }
    else
    {
        delete pSession;
        delete pOwner;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strncmp(argv[1], "--exit-probe=", 13) == 0)
        return RunExitProbe(argc, argv, std::strcmp(argv[1] + 13, "leaked") == 0, argv[2], argv[3]);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "CaptureSessionTest.moc"
