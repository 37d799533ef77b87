// Starting the capture helper from the window's side: where it is looked for, what counts as no
// answer, and that nothing is left behind whatever the helper does.
#include "capture/CaptureTexts.h"
#include "capture/HelperProcess.h"
#include "common/ProcessState.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/wait.h>

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
        {STEP_SANDBOX, 12, "The capture helper could not give up its rights, error no 12"},
        {STEP_PLACES, 24, "Tarrow could not count this user's running captures, error no 24"},
        {77, 13, "socket() failed, errno=13"},
    };
    for (const auto& step : steps)
        EXPECT_EQ(CaptureTexts::OpenFailureText(step.nStep, step.nValue), step.pszText) << step.nStep;
}
