// The programs behind the queries, named by a helper that holds the rights to, under the privacy rule.
#include "HelperRun.h"
#include "common/GrantedHelper.h"

#include <algorithm>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>

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
            return started.channel.IsOpen() ? started.opened.nSendersError : 200;
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
        const std::int32_t errors[2] = {narrowStart.channel.IsOpen() ? narrowStart.opened.nSendersError : -1,
                                        started.channel.IsOpen() ? started.opened.nSendersError : -1};
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
        {"root.udp.sender.example", ROOT, false, strPeer, "+notcp", SENDER_PROGRAM},
        {"root.tcp.sender.example", ROOT, false, strPeer, "+tcp", SENDER_PROGRAM},
        {"root.ipv6.sender.example", ROOT, false, m_pNet->GetPeerAddress6(), "-6", SENDER_PROGRAM},
        {"owner.sender.example", OWNER, false, strPeer, "+notcp", SENDER_PROGRAM},
        {"other.sender.example", OTHER, false, strPeer, "+notcp", SENDER_ANOTHER_USER},
        {"peer.sender.example", ROOT, true, strCapture, "+notcp", SENDER_PROGRAM},
    };
    // The first query goes alone to a neighbour not found yet: it waits for neighbour discovery and
    // leaves from a softirq, and is named all the same. So does the first IPv6 query, whose neighbour
    // nothing has asked for yet: it often leaves only after dig gave up and closed its socket.
    ASSERT_EQ(CNetNamespace::RunIn(m_pNet->GetCaptureName(), "ip neigh flush all"), 0);
    std::vector<pid_t> digs;
    for (const auto& one : queries)
    {
        if (one.strServer == m_pNet->GetPeerAddress6())
        {
            ASSERT_NE(CNetNamespace::RunIn(m_pNet->GetCaptureName(), "ip -6 neigh | grep -q lladdr"), 0)
                << "the first IPv6 query must find no neighbour";
        }
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
        for (int nTry = 0;
             digs.size() == 1 && nTry < 100
             && CNetNamespace::RunIn(m_pNet->GetCaptureName(), "ip neigh show " + strPeer + " | grep -q lladdr") != 0;
             ++nTry)
            usleep(20000);
    }
    for (const pid_t pid : digs)
        WaitForChild(pid);
    std::vector<CSeenQuery> seen;
    const auto Seen = [&seen](const char* pszName) {
        return std::find_if(seen.begin(), seen.end(),
                            [&](const CSeenQuery& s) { return std::string_view(s.szName) == pszName; });
    };
    const auto AllSeen = [&] {
        return std::all_of(std::begin(queries), std::end(queries),
                           [&](const auto& q) { return Seen(q.pszName) != seen.end(); });
    };
    // The last frames still wait in a block of the ring, which the helper hands on once it is full
    // or its time is up.
    pollfd pfd {ready[0], POLLIN, 0};
    for (CSeenQuery one {};
         !AllSeen() && poll(&pfd, 1, 10000) == 1 && read(ready[0], &one, sizeof(one)) == ssize_t(sizeof(one));)
        seen.push_back(one);
    close(done[1]);
    m_fds.erase(std::find(m_fds.begin(), m_fds.end(), done[1]));
    EXPECT_EQ(WaitForChild(pidOwner), 0);
    for (size_t i = 0; i < std::size(queries); ++i)
    {
        const auto& query = queries[i];
        const auto found = Seen(query.pszName);
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
