// A window started as root gives up every capability, so do the programs it starts, and its capture
// helper still captures when it holds the right as a file capability.
#include "capture/HelperProcess.h"
#include "platform/RootRights.h"
#include "common/GrantedHelper.h"
#include "common/NetNamespaceFixture.h"
#include "common/ProcessState.h"
#include "common/TestUser.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/capability.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr char NO_CAPABILITY[] = "0000000000000000";
// cap_net_raw, cap_perfmon and cap_bpf: the helper's rights.
constexpr char HELPER_RIGHTS_ONLY[] = "000000c000002000";
const char* const HELD_SETS[] = {"CapInh", "CapPrm", "CapEff", "CapAmb"};

using RootRightsTest = CNetNamespaceTest;

// Runs CAT /proc/self/status through the shell, as the window's browser or file chooser would be
// run: true when the program it ran held nothing in any of the four sets.
bool StartedProgramHoldsNothing(const std::string& strCat)
{
    FILE* pOutput = popen((strCat + " /proc/self/status").c_str(), "r");
    if (pOutput == nullptr)
        return false;
    int nEmpty = 0;
    char szLine[256];
    while (std::fgets(szLine, sizeof(szLine), pOutput) != nullptr)
    {
        const std::string strLine(szLine);
        for (const char* pszSet : HELD_SETS)
        {
            if (strLine == std::string(pszSet) + ":\t" + NO_CAPABILITY + "\n")
                ++nEmpty;
        }
    }
    return pclose(pOutput) == 0 && nEmpty == 4;
}

TEST_F(RootRightsTest, RootsWindowAndWhatItStartsKeepNoCapabilityAndItsHelperStillCaptures)
{
    // As the package, cmake --install and start.sh grant it; and a setuid-root cat beside it.
    const CGrantedHelper helper(TARROW_TEST_HELPER_PATH, "cap_net_raw=ep");
    ASSERT_FALSE(helper.GetPath().empty());
    const std::string strSetuidCat = helper.GetFolder() + "/setuid-cat";
    ASSERT_TRUE(std::filesystem::copy_file("/bin/cat", strSetuidCat) && chmod(strSetuidCat.c_str(), 04755) == 0);
    // In a child, so that this process keeps its rights for the tests after this one.
    const std::string strAddress = m_pNet->GetCaptureAddress();
    const pid_t pid = fork();
    if (pid == 0)
    {
        std::string strWhy;
        if (!GiveUpRootRights(&strWhy))
            _exit(10);
        const pid_t self = getpid();
        for (const char* pszSet : HELD_SETS)
        {
            if (ReadProcessStatus(self, pszSet) != NO_CAPABILITY)
                _exit(11);
        }
        if (ReadProcessStatus(self, "CapBnd") != HELPER_RIGHTS_ONLY)
            _exit(11);
        // Left alone, exec by uid 0 fills each from the bounding set, setuid-root or not.
        for (const std::string& strCat : {std::string("/bin/cat"), strSetuidCat})
        {
            if (!StartedProgramHoldsNothing(strCat))
                _exit(12);
        }
        const CHelperProcess::CStarted unGranted =
            CHelperProcess::StartHelper(TARROW_TEST_HELPER_PATH, strAddress.c_str());
        if (unGranted.channel.IsOpen() || unGranted.opened.nError != EPERM)
            _exit(13);
        const CHelperProcess::CStarted started =
            CHelperProcess::StartFrom({TARROW_TEST_HELPER_PATH, helper.GetPath()}, strAddress.c_str());
        _exit(started.channel.IsOpen() ? 0 : 14);
    }
    EXPECT_EQ(WaitForChild(pid), 0) << "10: not given up; 11: rights kept; 12: a program it started held "
                                       "some; 13: the helper without the file capability captured; 14: no capture";
}

#ifdef TARROW_APP_PATH
// Starts the program as root, with its stderr in *phStderr, after taking nDropped from the
// bounding set (-1: nothing).
pid_t StartTarrow(cap_value_t nDropped, int* phStderr)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0)
    {
        dup2(pipeEnds[1], STDERR_FILENO);
        if (nDropped >= 0 && cap_drop_bound(nDropped) != 0)
            _exit(126);
        char* argv[] = {const_cast<char*>(TARROW_APP_PATH), nullptr};
        char* envp[] = {const_cast<char*>("QT_QPA_PLATFORM=offscreen"), const_cast<char*>("HOME=/root"), nullptr};
        execve(TARROW_APP_PATH, argv, envp);
        _exit(127);
    }
    close(pipeEnds[1]);
    *phStderr = pipeEnds[0];
    return pid;
}

// The program gives them up before Qt starts a thread, so every thread of it holds none.
TEST_F(RootRightsTest, TarrowStartedAsRootHoldsNoCapabilityInAnyThread)
{
    int hStderr = -1;
    const pid_t pid = StartTarrow(-1, &hStderr);
    ASSERT_GT(pid, 0);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ReadProcessStatus(pid, "CapBnd") != HELPER_RIGHTS_ONLY && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ReadProcessStatus(pid, "CapBnd"), HELPER_RIGHTS_ONLY);
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
    {
        const int nTask = std::stoi(task.path().filename());
        for (const char* pszSet : HELD_SETS)
            EXPECT_EQ(ReadProcessStatus(nTask, pszSet), NO_CAPABILITY) << nTask << " " << pszSet;
    }
    kill(pid, SIGKILL);
    WaitForChild(pid);
    close(hStderr);
}

// Without CAP_SETPCAP root's rights cannot all be given up: the program says so and does not start.
TEST_F(RootRightsTest, TarrowThatCannotGiveUpRootsRightsSaysSoAndEnds)
{
    int hStderr = -1;
    const pid_t pid = StartTarrow(CAP_SETPCAP, &hStderr);
    ASSERT_GT(pid, 0);
    int nStatus = 0;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid, &nStatus, WNOHANG) == 0 && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (kill(pid, SIGKILL) == 0)
    {
        WaitForChild(pid);
        ADD_FAILURE() << "it went on running with root's rights";
    }
    char szSaid[512] = {};
    const ssize_t nSaid = read(hStderr, szSaid, sizeof(szSaid) - 1);
    close(hStderr);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 1) << nStatus;
    EXPECT_GT(nSaid, 0);
    EXPECT_NE(std::string(szSaid).find("tarrow: could not give up root's capabilities"), std::string::npos) << szSaid;
}
#endif

} // namespace
