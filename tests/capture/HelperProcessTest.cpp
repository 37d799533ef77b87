// Starting the capture helper from a front end's side: where it is looked for, what counts as no
// answer, what a refusal says, and that nothing is left behind whatever the helper does.
#include "capture/CaptureTexts.h"
#include "capture/HelperProcess.h"
#include "capture/HelperRights.h"
#include "common/ProcessState.h"
#include "common/TestUser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Channel;

namespace {

void ExpectStep(const CHelperProcess::CStarted& started, int nStep, int nError)
{
    EXPECT_FALSE(started.channel.IsOpen());
    EXPECT_EQ(+started.opened.nStep, nStep);
    EXPECT_EQ(+started.opened.nError, nError);
}

bool NoChildLeft()
{
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

} // namespace

TEST(HelperProcessTest, NoAnswerReadsAsTheRefusedOpenAndBadAddressesAsTheBindWouldFail)
{
    const int nBefore = CountOpenDescriptors();
    // Missing, not a program, and a program that exits without a word.
    for (const char* pszPath : {"/nonexistent/tarrow-capture-helper", "/etc/hostname", "/bin/true"})
    {
        ExpectStep(CHelperProcess::StartHelper(pszPath, "127.0.0.1"), STEP_OPEN, EPERM);
        EXPECT_EQ(CountOpenDescriptors(), nBefore) << pszPath;
        EXPECT_TRUE(NoChildLeft()) << pszPath;
    }
    // Nothing is run for these: had it been, the result would be the refusal.
    for (const char* pszBad : {"", "not an address", "1.2.3.4; rm -rf /", "999.1.1.1"})
        ExpectStep(CHelperProcess::StartHelper("/bin/true", pszBad), STEP_BIND, EADDRNOTAVAIL);
    EXPECT_TRUE(NoChildLeft());
}

TEST(HelperProcessTest, NoHelperAnywhereIsToldAsMissingWithWhereItWasLookedFor)
{
    const CHelperProcess::CStarted started = CHelperProcess::StartFrom(
        {"/nonexistent/a/tarrow-capture-helper", "/nonexistent/b/tarrow-capture-helper"}, "127.0.0.1");
    EXPECT_FALSE(started.channel.IsOpen());
    EXPECT_EQ(CaptureTexts::MissingHelperText(started.missing),
              "Tarrow's capture helper is missing: it was looked for at /nonexistent/a/tarrow-capture-helper and "
              "/nonexistent/b/tarrow-capture-helper. Reinstall the package, or start Tarrow from its clone with "
              "scripts/start.sh.");
    // One that is there but cannot run is a refusal, not a missing helper.
    EXPECT_TRUE(CHelperProcess::StartFrom({"/nonexistent/a", "/etc/hostname"}, "127.0.0.1").missing.empty());
}

TEST(HelperProcessTest, FindsTheBuildTreeHelperFirstAndTheInstalledOneLast)
{
    const std::vector<std::string> candidates = CHelperProcess::GetHelperCandidates();
    ASSERT_FALSE(candidates.empty());
    for (const std::string& strPath : candidates)
        EXPECT_EQ(strPath.front(), '/') << strPath;
    EXPECT_EQ(candidates.back().substr(candidates.back().rfind('/')), "/tarrow-capture-helper");
    if (candidates.size() > 1)
    {
        EXPECT_EQ(candidates.front(), TARROW_TEST_HELPER_PATH);
    }
}

TEST(HelperProcessTest, EveryFailedStepHasItsOwnTextAndAnUnknownOneReadsAsTheRefusedOpen)
{
    const struct
    {
        std::int32_t nStep;
        std::int32_t nValue;
        const char* pszText;
    } steps[] = {
        {STEP_OPEN, 1, "socket() failed, errno=1"},
        {STEP_OPTIONS, 22, "SetSockOpt Failed error num = 22"},
        {STEP_BIND, 99, "bind() failed, error no 99"},
        {STEP_NO_PLACE, 4, "Tarrow already runs 4 captures for this user. Stop one and try again."},
        {STEP_SANDBOX, 12, "The capture helper could not give up its rights, error no 12 (Cannot allocate memory)"},
        {STEP_PLACES, 24, "Tarrow could not count this user's running captures, error no 24 (Too many open files)"},
        {77, 13, "socket() failed, errno=13"},
    };
    for (const auto& step : steps)
        EXPECT_EQ(CaptureTexts::OpenFailureText(step.nStep, step.nValue), step.pszText) << step.nStep;
}

// As an ordinary user, each helper a refused start tried says why it could not capture, with the
// command that mends it.
TEST(HelperProcessTest, ARefusedStartSaysOfEachHelperTriedWhyAndHowToMendIt)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "making a test user and group needs root";
    const CTestUser user("tarrowrights");
    ASSERT_TRUE(user.IsReady());
    const std::string strGroup = "tarrowrightsg";
    std::system(("groupdel " + strGroup + " >/dev/null 2>&1").c_str());
    ASSERT_EQ(std::system(("groupadd " + strGroup).c_str()), 0);
    char szFolder[] = "/tmp/tarrow-rights-XXXXXX";
    ASSERT_NE(mkdtemp(szFolder), nullptr);
    chmod(szFolder, 0755);
    const std::string strFolder = szFolder;
    const auto Copy = [&](const std::string& strName, const std::string& strOwner, const std::string& strGroupOf,
                          mode_t nMode) {
        const std::string strPath = strFolder + "/" + strName;
        std::filesystem::copy_file(TARROW_TEST_HELPER_PATH, strPath);
        EXPECT_EQ(std::system(("chown " + strOwner + ":" + strGroupOf + " " + strPath).c_str()), 0);
        chmod(strPath.c_str(), nMode);
        return strPath;
    };
    const std::string strGrouped = Copy("grouped", "root", strGroup, 0750);
    const std::string strBare = Copy("bare", "root", "root", 0755);
    const std::string strOwn = Copy("own", "tarrowrights", "tarrowrights", 0755);
    const std::string strBuilt = Copy("built", "root", "root", 0755);
    const struct
    {
        const char* pszWhat;
        std::string strPath;
        bool bListed; // the user is in the group's entry (but, as at an old login, not the process)
        std::string strExpected;
    } cases[] = {
        {"missing", strFolder + "/none", false,
         "The capture helper " + strFolder
             + "/none was tried: it does not exist.\nTo fix it: scripts/start.sh "
               "(from a clone), or install the package"},
        {"not in the group", strGrouped, false,
         "The capture helper " + strGrouped + " was tried: tarrowrights may not run it: only members of the group "
             + strGroup + " may.\nTo fix it: sudo usermod -aG " + strGroup
             + " tarrowrights, then log out and in again"},
        {"joined since the login", strGrouped, true,
         "The capture helper " + strGrouped + " was tried: you joined the group " + strGroup
             + " after you logged in.\nTo fix it: log out and in again (or, in this shell only: newgrp " + strGroup
             + ")"},
        {"no capability", strBare, false,
         "The capture helper " + strBare
             + " was tried: it lacks cap_net_raw.\nTo fix it: sudo setcap "
               "cap_net_raw,cap_bpf,cap_perfmon=p "
             + strBare},
        {"a build tree's, though root's", strBuilt, false,
         "The capture helper " + strBuilt
             + " was tried: it lacks cap_net_raw.\nTo fix it: scripts/start.sh (from a "
               "clone: it grants a root-owned copy)"},
        {"the user's own file", strOwn, false,
         "The capture helper " + strOwn
             + " was tried: it lacks cap_net_raw.\nTo fix it: scripts/start.sh (from a "
               "clone: it grants a root-owned copy)"},
    };
    for (const auto& entry : cases)
    {
        if (entry.bListed)
        {
            ASSERT_EQ(std::system(("usermod -aG " + strGroup + " tarrowrights").c_str()), 0);
        }
        int pipe[2];
        ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
        const pid_t pid = user.Start([&] {
            // The root-owned copy stands for the package's helper.
            const std::string strText = ExplainRefusal({entry.strPath}, strBare);
            return write(pipe[1], strText.data(), strText.size()) == ssize_t(strText.size()) ? 0 : 1;
        });
        close(pipe[1]);
        EXPECT_EQ(WaitForChild(pid), 0) << entry.pszWhat;
        char szText[1024] = {};
        const ssize_t nRead = read(pipe[0], szText, sizeof(szText) - 1);
        close(pipe[0]);
        EXPECT_EQ(std::string(szText, size_t(std::max<ssize_t>(nRead, 0))), entry.strExpected) << entry.pszWhat;
    }
    std::filesystem::remove_all(strFolder);
    std::system(("gpasswd -d tarrowrights " + strGroup + " >/dev/null 2>&1; groupdel " + strGroup).c_str());
}
