// A user's places among running captures: at most four, whatever the user does to their files,
// however the starts meet, whatever another user binds, and however the user times their own
// helper's reading of the kernel's list of sockets.
#include "HelperRun.h"
#include "common/GrantedHelper.h"
#include "helper/CapturePlaces.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <latch>
#include <linux/netlink.h>
#include <memory>
#include <pwd.h>
#include <random>
#include <sched.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

namespace {

using CapturePlacesTest = CaptureHelperNetTest;

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

// strName with its leading NUL.
bool BindAbstract(int hSocket, const std::string& strName)
{
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, strName.data(), strName.size());
    return bind(hSocket, reinterpret_cast<const sockaddr*>(&addr),
                socklen_t(offsetof(sockaddr_un, sun_path) + strName.size()))
           == 0;
}

} // namespace

// Twelve starts by one user, one after another while the user changes their own files between
// them, or all at once: at most four run, every other start hears that four already run, and a
// stopped capture's place goes to the next start. The user is one of the test's own, so that
// captures of anyone else on the machine cannot count.
TEST_F(CapturePlacesTest, OneUserRunsAtMostFourCapturesWhateverTheyDoAndHoweverTheyStart)
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

// Another user binds names like those the user's captures take and holds them, runs as many
// captures of its own, and opens and closes socket pairs in a loop all the while, so that no two
// readings of the kernel's list agree: none of that takes or holds any of the user's four places,
// or keeps a capture from starting, and a fifth is still refused.
TEST_F(CapturePlacesTest, AnotherUserNeitherTakesNorHoldsTheUsersPlaces)
{
    const CGrantedHelper helper(TARROW_TEST_HELPER_PATH, CAPTURE_RIGHT);
    ASSERT_FALSE(helper.GetPath().empty());
    const CTestUser owner("tarrow-test-a"), other("tarrow-test-b");
    ASSERT_TRUE(owner.IsReady() && other.IsReady());
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    m_fds.insert(m_fds.end(), {ready[0], ready[1], done[0], done[1]});
    const auto start = [&] {
        return CHelperProcess::StartHelper(helper.GetPath(), m_pNet->GetCaptureAddress().c_str());
    };

    const pid_t pidOther = other.Start([&] {
        std::vector<CUniqueFd> names;
        for (int nName = 0; nName < 4 * MAX_CAPTURES_PER_USER; ++nName)
        {
            // In the state the user's own places are in, and in another.
            names.emplace_back(socket(AF_UNIX, nName % 2 == 0 ? SOCK_STREAM : SOCK_DGRAM, 0));
            char szTail[17];
            std::snprintf(szTail, sizeof(szTail), "%016x", nName);
            if (!BindAbstract(names.back().Get(),
                              std::string(1, '\0') + "tarrow-capture/" + std::to_string(owner.GetUid()) + "/" + szTail))
                return 10;
        }
        std::vector<CHelperProcess::CStarted> running;
        for (int i = 0; i < MAX_CAPTURES_PER_USER; ++i)
        {
            running.push_back(start());
            if (!running.back().channel.IsOpen())
                return 20 + i;
        }
        // Each pair is closed only once the next is open: every reading holds one that the next lacks.
        const std::jthread churn([](std::stop_token stop) {
            int held[2] = {-1, -1};
            for (int pair[2]; !stop.stop_requested();)
            {
                if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
                    continue;
                close(held[0]), close(held[1]);
                held[0] = pair[0], held[1] = pair[1];
            }
            close(held[0]), close(held[1]);
        });
        char c = 0;
        return write(ready[1], "r", 1) == 1 && read(done[0], &c, 1) == 1 ? 0 : 30;
    });
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1) << "the other user's captures: " << WaitForChild(pidOther);

    const int nOwner = WaitForChild(owner.Start([&] {
        std::vector<CHelperProcess::CStarted> running;
        for (int i = 0; i < MAX_CAPTURES_PER_USER; ++i)
        {
            running.push_back(start());
            if (!running.back().channel.IsOpen())
                return 10 + running.back().opened.nStep % 100;
        }
        return start().opened.nStep == STEP_NO_PLACE ? 0 : 40;
    }));
    EXPECT_EQ(write(done[1], "d", 1), 1);
    EXPECT_EQ(nOwner, 0) << "10 + step: a capture of the owner failed; 40: a fifth one ran";
    EXPECT_EQ(WaitForChild(pidOther), 0);
}

namespace {

// The bucket the kernel files an abstract name of this type in: the folded checksum of the whole
// address, as the kernel computes it. It only aims the race below; a kernel that files names
// otherwise gets an unaimed race, which proves less, never more.
unsigned AbstractBucket(const std::string& strName, int nType)
{
    std::string strAddress(2, '\0');
    strAddress[0] = char(AF_UNIX);
    strAddress += strName;
    std::uint32_t nSum = 0;
    for (size_t i = 0; i < strAddress.size(); i += 2)
        nSum += std::uint8_t(strAddress[i])
                | (i + 1 < strAddress.size() ? std::uint32_t(std::uint8_t(strAddress[i + 1])) << 8 : 0);
    while ((nSum >> 16) != 0)
        nSum = (nSum & 0xffff) + (nSum >> 16);
    unsigned nHash = ~nSum & 0xffff;
    nHash ^= nHash >> 8;
    nHash ^= unsigned(nType);
    return nHash & 0xff;
}

// The abstract names of this namespace that start with strPrefix (without its NUL).
std::vector<std::string> ListedNames(const std::string& strPrefix)
{
    std::ifstream table("/proc/self/net/unix");
    std::vector<std::string> names;
    std::string strLine;
    while (std::getline(table, strLine))
    {
        const size_t nAt = strLine.find(" @" + strPrefix);
        if (nAt != std::string::npos)
            names.push_back(std::string(1, '\0') + strLine.substr(nAt + 2));
    }
    return names;
}

// Whether pid's list of sockets is half read: a part waits in its socket and more are to come.
bool ListingHalfRead(pid_t pid)
{
    std::ifstream table("/proc/" + std::to_string(pid) + "/net/netlink");
    std::string strLine;
    std::getline(table, strLine);
    while (std::getline(table, strLine))
    {
        std::istringstream fields(strLine);
        std::string strSocket;
        long nProtocol = 0, nPort = 0, nRmem = 0, nDump = 0;
        unsigned long nGroups = 0, nWmem = 0;
        fields >> strSocket >> nProtocol >> nPort >> std::hex >> nGroups >> std::dec >> nRmem >> nWmem >> nDump;
        if (nProtocol == NETLINK_SOCK_DIAG && nPort == pid && nRmem > 0 && nDump == 1)
            return true;
    }
    return false;
}

struct CRaceResult
{
    int nAttempts = 0;
    int nCaught = 0; // the fifth stopped with its list half read, then the sockets ahead closed
    int nFifths = 0;
    int nOtherStep = 0;
    int nAimed = 0; // the padding listed right ahead of the place it was aimed at
};

constexpr int RACES = 20;
constexpr int MAX_ATTEMPTS = 400;
// Far more than one part of the list holds, all in the bucket of one place, ahead of it.
constexpr int PADDING = 300;

// As the user: four captures run; then a fifth start is stopped while its list of sockets is half
// read, with the cursor among sockets ahead of a place in that place's bucket, and those sockets
// are closed before it goes on. Returns 0 and writes the result to hReport, or a failed set-up.
int RaceFifth(const std::string& strHelper, const std::string& strAddress, uid_t uid, int hReport)
{
    // The fifth runs only while the racer sleeps, so the racer stops it wherever it is.
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof(cpus), &cpus) != 0)
        return 1;
    int nCpu = 0;
    while (!CPU_ISSET(nCpu, &cpus))
        ++nCpu;
    CPU_ZERO(&cpus);
    CPU_SET(nCpu, &cpus);
    if (sched_setaffinity(0, sizeof(cpus), &cpus) != 0 || prctl(PR_SET_TIMERSLACK, 1UL) != 0)
        return 2;

    std::vector<CHelperProcess::CStarted> running;
    for (int i = 0; i < MAX_CAPTURES_PER_USER; ++i)
    {
        running.push_back(CHelperProcess::StartHelper(strHelper, strAddress.c_str()));
        if (!running.back().channel.IsOpen())
            return 3;
    }
    std::vector<std::string> places = ListedNames("tarrow-capture/" + std::to_string(uid) + "/");
    if (places.size() != size_t(MAX_CAPTURES_PER_USER))
        return 4;
    // The first place's bucket comes first in the list, behind nothing but unnamed sockets.
    const auto byBucket = [](const std::string& a, const std::string& b) {
        return AbstractBucket(a, SOCK_STREAM) < AbstractBucket(b, SOCK_STREAM);
    };
    const std::string strTarget = *std::min_element(places.begin(), places.end(), byBucket);
    const unsigned nBucket = AbstractBucket(strTarget, SOCK_STREAM);

    std::mt19937_64 random(std::random_device {}());
    CRaceResult result;
    while (result.nCaught < RACES && result.nAttempts < MAX_ATTEMPTS)
    {
        ++result.nAttempts;
        // Bound after the place, so ahead of it in its bucket.
        std::vector<CUniqueFd> padding;
        while (padding.size() < size_t(PADDING))
        {
            char szName[40];
            std::snprintf(szName, sizeof(szName), "tarrow-test-pad/%016llx", static_cast<unsigned long long>(random()));
            const std::string strName = std::string(1, '\0') + szName;
            if (AbstractBucket(strName, SOCK_STREAM) != nBucket)
                continue;
            padding.emplace_back(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (!BindAbstract(padding.back().Get(), strName))
                return 5;
        }
        const std::vector<std::string> listed = ListedNames("tarrow-");
        const auto target = std::find(listed.begin(), listed.end(), strTarget);
        if (target != listed.begin() && target != listed.end()
            && target[-1].starts_with(std::string(1, '\0') + "tarrow-test-pad/"))
            ++result.nAimed;

        const std::vector<int> before = ListChildProcesses();
        std::atomic<bool> bDone = false;
        CHelperProcess::CStarted fifth;
        std::thread starter([&] {
            fifth = CHelperProcess::StartHelper(strHelper, strAddress.c_str());
            bDone = true;
        });
        pid_t pid = -1;
        while (pid < 0 && !bDone)
        {
            for (const int child : ListChildProcesses())
                if (std::find(before.begin(), before.end(), child) == before.end())
                    pid = child;
        }
        bool bCaught = false;
        while (pid > 0 && !bDone && !bCaught)
        {
            if (kill(pid, SIGSTOP) != 0)
                break;
            // "T (stopped)", "Z (zombie)", or nothing once it is gone.
            char cState = 0;
            while ((cState = ReadProcessStatus(pid, "State").append("X")[0]) != 'T' && cState != 'Z' && cState != 'X')
                sched_yield();
            if (cState == 'T' && ListingHalfRead(pid))
            {
                padding.clear();
                bCaught = true;
            }
            kill(pid, SIGCONT);
            const timespec pause {0, long(1000 + random() % 20000)};
            nanosleep(&pause, nullptr);
        }
        starter.join();
        result.nCaught += bCaught ? 1 : 0;
        if (fifth.channel.IsOpen())
            ++result.nFifths;
        else if (fifth.opened.nStep != STEP_NO_PLACE)
            ++result.nOtherStep;
    }
    return write(hReport, &result, sizeof(result)) == ssize_t(sizeof(result)) ? 0 : 6;
}

} // namespace

// The user times their own fifth start against the kernel's handing over of its list of sockets in
// parts: stopped between two parts, with sockets ahead of a place in its bucket closed before it
// goes on, a single reading would pass over that place. No such start runs.
TEST_F(CapturePlacesTest, AFifthStartStoppedBetweenThePartsOfItsListStillFindsFourRunning)
{
    const CGrantedHelper helper(TARROW_TEST_HELPER_PATH, CAPTURE_RIGHT);
    ASSERT_FALSE(helper.GetPath().empty());
    const CTestUser user("tarrow-test-a");
    ASSERT_TRUE(user.IsReady());
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    m_fds.insert(m_fds.end(), {report[0], report[1]});
    const std::string strAddress = m_pNet->GetCaptureAddress();
    const int nExit =
        WaitForChild(user.Start([&] { return RaceFifth(helper.GetPath(), strAddress, getuid(), report[1]); }));
    ASSERT_EQ(nExit, 0) << "set-up step that failed";
    CRaceResult result;
    ASSERT_EQ(read(report[0], &result, sizeof(result)), ssize_t(sizeof(result)));
    std::printf("%d attempts, %d aimed, %d caught between parts, %d fifths ran\n", result.nAttempts, result.nAimed,
                result.nCaught, result.nFifths);
    EXPECT_EQ(result.nFifths, 0);
    EXPECT_EQ(result.nOtherStep, 0);
    EXPECT_GE(result.nCaught, RACES) << "the race was not run often enough to say anything";
}
