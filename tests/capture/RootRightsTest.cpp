// A window started as root gives up every capability, and its capture helper still captures.
#include "capture/HelperProcess.h"
#include "capture/RootRights.h"
#include "common/NetNamespaceFixture.h"
#include "common/ProcessState.h"
#include "common/TestUser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace {

constexpr char NO_CAPABILITY[] = "0000000000000000";
constexpr char ONLY_NET_RAW[] = "0000000000002000";

using RootRightsTest = CNetNamespaceTest;

TEST_F(RootRightsTest, RootsWindowKeepsNoCapabilityAndItsHelperStillCaptures)
{
    // In a child, so that this process keeps its rights for the tests after this one.
    const std::string strAddress = m_pNet->GetCaptureAddress();
    const pid_t pid = fork();
    if (pid == 0)
    {
        if (!GiveUpRootRights())
            _exit(10);
        const pid_t self = getpid();
        if (ReadProcessStatus(self, "CapEff") != NO_CAPABILITY || ReadProcessStatus(self, "CapPrm") != NO_CAPABILITY
            || ReadProcessStatus(self, "CapBnd") != ONLY_NET_RAW)
            _exit(11);
        const CHelperProcess::CStarted started =
            CHelperProcess::StartHelper(TARROW_TEST_HELPER_PATH, strAddress.c_str());
        _exit(started.channel.IsOpen() ? 0 : 12);
    }
    EXPECT_EQ(WaitForChild(pid), 0) << "10: not given up; 11: rights kept; 12: no capture";
}

#ifdef TARROW_APP_PATH
// The program gives them up before Qt starts a thread, so every thread of it holds none.
TEST_F(RootRightsTest, TarrowStartedAsRootHoldsNoCapabilityInAnyThread)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        char* argv[] = {const_cast<char*>(TARROW_APP_PATH), nullptr};
        char* envp[] = {const_cast<char*>("QT_QPA_PLATFORM=offscreen"), const_cast<char*>("HOME=/root"), nullptr};
        execve(TARROW_APP_PATH, argv, envp);
        _exit(127);
    }
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ReadProcessStatus(pid, "CapBnd") != ONLY_NET_RAW && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ReadProcessStatus(pid, "CapBnd"), ONLY_NET_RAW);
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
    {
        const int nTask = std::stoi(task.path().filename());
        EXPECT_EQ(ReadProcessStatus(nTask, "CapEff"), NO_CAPABILITY) << nTask;
        EXPECT_EQ(ReadProcessStatus(nTask, "CapPrm"), NO_CAPABILITY) << nTask;
    }
    kill(pid, SIGKILL);
    WaitForChild(pid);
}
#endif

} // namespace
