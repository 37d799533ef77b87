// The user's places among their running captures, and who a query's sender may be shown as.
#include "HelperRun.h"
#include "common/GrantedHelper.h"
#include "helper/CapturePlaces.h"
#include "helper/SenderTable.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <latch>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

namespace {

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
