// The programs behind the queries, named by a helper that holds the rights to, under the privacy rule.
#include "HelperRun.h"
#include "common/GrantedHelper.h"

#include <algorithm>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sched.h>
#include <sys/stat.h>
#include <tuple>

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
        EXPECT_EQ(+record.sender.nPid, std::uint32_t(digs[i])) << query.pszName;
        EXPECT_STREQ(record.sender.szCommand, "dig") << query.pszName;
        EXPECT_EQ(+record.sender.nUid, query.who == OWNER ? owner.GetUid() : 0) << query.pszName;
        EXPECT_NE(+record.sender.nTid, 0u) << query.pszName;
        EXPECT_EQ(+record.sender.nNetNs, query.bFromPeer ? nPeerNs : nCaptureNs) << query.pszName;
    }
}

namespace {

CBytes QueryWithId(const std::string& strName, std::uint16_t nId)
{
    CBytes query = MakeDnsQuery(strName);
    query[0] = std::uint8_t(nId >> 8);
    query[1] = std::uint8_t(nId);
    return query;
}

// One byte with room for one descriptor beside it, to hand a socket from one process to another.
struct CSocketMessage
{
    char byte = 0;
    iovec data {&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message {nullptr, 0, &data, 1, control, sizeof(control), 0};
};

bool PassSocket(int hVia, int hSocket)
{
    CSocketMessage passed;
    cmsghdr* pHeader = CMSG_FIRSTHDR(&passed.message);
    pHeader->cmsg_level = SOL_SOCKET;
    pHeader->cmsg_type = SCM_RIGHTS;
    pHeader->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(pHeader), &hSocket, sizeof(int));
    return sendmsg(hVia, &passed.message, 0) == 1;
}

int TakeSocket(int hVia)
{
    CSocketMessage taken;
    if (recvmsg(hVia, &taken.message, MSG_CMSG_CLOEXEC) != 1 || CMSG_FIRSTHDR(&taken.message) == nullptr)
        return -1;
    int hSocket = -1;
    std::memcpy(&hSocket, CMSG_DATA(CMSG_FIRSTHDR(&taken.message)), sizeof(int));
    return hSocket;
}

// One sendmmsg() whose first message goes elsewhere, as the review's sender did.
bool SendBehindAnother(int hSocket, const std::string& strPeer, const CBytes& query)
{
    const CBytes other = MakeDnsQuery("elsewhere.example");
    sockaddr_storage to[2] {};
    iovec data[2] = {{const_cast<unsigned char*>(other.data()), other.size()},
                     {const_cast<unsigned char*>(query.data()), query.size()}};
    mmsghdr messages[2] {};
    for (int i = 0; i < 2; ++i)
    {
        messages[i].msg_hdr.msg_name = &to[i];
        messages[i].msg_hdr.msg_namelen = MakeSocketAddress(strPeer, i == 0 ? 5353 : 53, to[i]);
        messages[i].msg_hdr.msg_iov = &data[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    return sendmmsg(hSocket, messages, 2, 0) == 2;
}

// Each query a helper reports, in this process.
struct CCollect
{
    std::vector<std::pair<std::string, CNameRecord>> seen;
    void OnRecord(const CNameRecord& name, std::string_view text) { seen.emplace_back(std::string(text), name); }
    template <class TRecord>
    void OnRecord(const TRecord&, std::string_view)
    {}
};

// Each swap on one CPU, so that a freed socket is the next one made there.
void OnOneCpu()
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    sched_setaffinity(0, sizeof(one), &one);
}

} // namespace

// User B's query is never named as user A's program, in each way the two can meet on one socket,
// while B's query waits for a neighbour that answers late and leaves after B is gone: B received
// A's socket and A closed its copy (handoff), A still holds it (shared), or B's new socket took A's
// freed one's place (reuse). B sends with a sendmmsg() whose first message goes elsewhere. The
// waiting queries leave in the call of the process that tells the kernel the neighbour's address,
// which names neither.
TEST_F(CaptureHelperNetTest, AnotherUsersQueryOnTheSameSocketIsNeverTheFirstUsers)
{
    const CGrantedHelper full(TARROW_TEST_HELPER_PATH, CAPTURE_AND_NAMING_RIGHTS);
    ASSERT_FALSE(full.GetPath().empty());
    const CTestUser a("tarrow-test-a"), b("tarrow-test-b");
    ASSERT_TRUE(a.IsReady() && b.IsReady());
    const std::string strPeer = m_pNet->GetPeerAddress(), strIf = m_pNet->GetCaptureInterface();
    Listen(m_pNet->GetPeerName(), strPeer, 53);
    Listen(m_pNet->GetPeerName(), strPeer, 5353);
    std::string strPeerLink;
    ASSERT_EQ(CNetNamespace::RunIn(m_pNet->GetPeerName(),
                                   "sysctl -qw net.ipv4.conf.all.arp_ignore=8 && ip -o link show type veth | sed -n "
                                   "'s/.*link\\/ether \\([0-9a-f:]*\\).*/\\1/p'",
                                   &strPeerLink),
              0);
    strPeerLink.erase(strPeerLink.find_last_not_of("\n ") + 1);
    ASSERT_FALSE(strPeerLink.empty());
    const std::string strNeighbour = strPeer + " dev " + strIf;
    const auto Forget = [&] {
        return CNetNamespace::RunIn(m_pNet->GetCaptureName(), "ip neigh flush dev " + strIf) == 0;
    };
    const auto Answer = [&] {
        return CNetNamespace::RunIn(m_pNet->GetCaptureName(),
                                    "ip neigh replace " + strNeighbour + " lladdr " + strPeerLink + " nud reachable")
               == 0;
    };
    const auto Waiting = [&] {
        return CNetNamespace::RunIn(m_pNet->GetCaptureName(), "ip neigh show " + strNeighbour + " | grep -q INCOMPLETE")
               == 0;
    };
    CHelperProcess::CStarted started = CHelperProcess::StartHelper(full.GetPath(), m_pNet->GetCaptureAddress().c_str());
    ASSERT_TRUE(started.channel.IsOpen());
    ASSERT_EQ(+started.opened.nSendersError, 0);

    enum Swap
    {
        HANDOFF,
        SHARED,
        REUSE
    };
    struct
    {
        const char* pszA;
        const char* pszB;
        Swap swap;
        pid_t pidA = -1, pidB = -1;
    } cases[] = {
        {"a.handoff.swap.example", "b.handoff.swap.example", HANDOFF},
        {"a.shared.swap.example", "b.shared.swap.example", SHARED},
        {"a.reuse.swap.example", "b.reuse.swap.example", REUSE},
    };
    std::uint16_t nId = 0x5000;
    for (auto& one : cases)
    {
        int via[2], held[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, via), 0);
        ASSERT_EQ(pipe2(held, O_CLOEXEC), 0);
        ASSERT_TRUE(one.swap == REUSE ? Answer() : Forget());
        const CBytes queryA = QueryWithId(one.pszA, ++nId), queryB = QueryWithId(one.pszB, ++nId);
        one.pidA = a.Start([&] {
            OnOneCpu();
            close(held[1]);
            const int hSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (!SendUdp(hSocket, strPeer, 53, queryA))
                return 1;
            if (one.swap != REUSE && !PassSocket(via[0], hSocket))
                return 2;
            char byte = 0;
            if (one.swap == SHARED && read(held[0], &byte, 1) < 0)
                return 3;
            return close(hSocket);
        });
        if (one.swap == REUSE)
        {
            ASSERT_EQ(WaitForChild(one.pidA), 0) << one.pszA;
            ASSERT_TRUE(Forget());
        }
        one.pidB = b.Start([&] {
            OnOneCpu();
            const int hSocket = one.swap == REUSE ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : TakeSocket(via[1]);
            return hSocket >= 0 && SendBehindAnother(hSocket, strPeer, queryB) ? close(hSocket) : 1;
        });
        EXPECT_EQ(WaitForChild(one.pidB), 0) << one.pszB;
        EXPECT_TRUE(Waiting()) << one.pszB << ": the neighbour answered before it was told to";
        ASSERT_TRUE(Answer());
        close(held[1]);
        if (one.swap != REUSE)
        {
            EXPECT_EQ(WaitForChild(one.pidA), 0) << one.pszA;
        }
        for (const int fd : {via[0], via[1], held[0]})
            close(fd);
    }

    CCollect collect;
    const auto Find = [&](const char* pszName) {
        return std::find_if(collect.seen.begin(), collect.seen.end(),
                            [&](const auto& s) { return s.first == pszName; });
    };
    unsigned char message[MAX_MESSAGE_BYTES];
    pollfd pfd {started.channel.Get(), POLLIN, 0};
    while (Find(cases[2].pszB) == collect.seen.end() && poll(&pfd, 1, 10000) == 1)
    {
        const ssize_t nReceived = recv(started.channel.Get(), message, sizeof(message), 0);
        ASSERT_GT(nReceived, 0);
        ASSERT_TRUE(ReadRecords(message, size_t(nReceived), false, collect));
    }
    for (const auto& one : cases)
    {
        for (const auto& [pszName, pid, uid] :
             {std::tuple(one.pszA, one.pidA, a.GetUid()), std::tuple(one.pszB, one.pidB, b.GetUid())})
        {
            const auto found = Find(pszName);
            ASSERT_NE(found, collect.seen.end()) << pszName;
            EXPECT_EQ(+found->second.nSender, +SENDER_PROGRAM) << pszName;
            EXPECT_EQ(+found->second.sender.nPid, std::uint32_t(pid)) << pszName;
            EXPECT_EQ(+found->second.sender.nUid, uid) << pszName;
        }
    }
}
