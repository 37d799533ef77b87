#pragma once

#include "channel/Channel.h"
#include "platform/UniqueFd.h"

#include <string>
#include <sys/types.h>
#include <vector>

// One run of tarrow-capture-helper, the process that captures: starting it for a local address,
// its word on how the open went, and its end. Every capture runs through it, also for a process
// that could open a packet socket itself: the process that shows the window never holds one. The
// process is known by a pidfd as well as its pid, so its end is seen without a wait and it is
// always reaped. No Qt here.
class CHelperProcess
{
public:
    // Milliseconds to wait for the helper's first word (it may wait for a place among the user's
    // captures first), and for its end once its channel closed, before it is killed.
    static constexpr int REPLY_TIMEOUT_MS = int(Channel::REPLY_LIMIT_MS);
    static constexpr int EXIT_GRACE_MS = 2000;

    struct CStarted;

    // Runs the helpers of GetHelperCandidates in turn until one can capture or fails for another
    // reason than the missing right. When none can be run at all, or none answers, the result is the
    // open step refused with EPERM, as a process without the right would see it. The place is a
    // local address, an interface or "any" as platform/CaptureTarget.h writes them; one the helper
    // would turn down fails the bind step with EADDRNOTAVAIL without running anything.
    // nWants says what the front end wants of each frame (Channel::Wants); with WANTS_ENCRYPTED,
    // strResolvers adds the user's resolvers to the helper's list, one a line (frames/DohResolvers.h).
    static CStarted Start(const char* pszLocalAddress, Channel::Wants nWants = Channel::WANTS_QUERIES,
                          const std::string& strResolvers = {});
    // The same with these candidates. When none of them exists, the result lists them as missing.
    static CStarted StartFrom(const std::vector<std::string>& candidates, const char* pszLocalAddress,
                              Channel::Wants nWants = Channel::WANTS_QUERIES, const std::string& strResolvers = {});
    // The same with one helper. A helper that did not end up capturing has been reaped.
    static CStarted StartHelper(const std::string& strHelperPath, const char* pszLocalAddress,
                                Channel::Wants nWants = Channel::WANTS_QUERIES, const std::string& strResolvers = {});

    // Where the helper may be, most specific first: the build tree (only for a program that runs
    // from it), the root-owned copy that scripts/start.sh granted the right to (only in the build it
    // configured), then the installed libexec directory. Never PATH or the environment.
    static std::vector<std::string> GetHelperCandidates();

    CHelperProcess() = default;
    explicit CHelperProcess(pid_t pid);
    CHelperProcess(CHelperProcess&& other) noexcept;
    CHelperProcess& operator=(CHelperProcess&& other) noexcept;
    // Kills and reaps a helper that is still there: none is ever left behind.
    ~CHelperProcess();

    bool IsRunning() const { return m_pid > 0; }
    // Reaps it when it has ended; true when there is no process any more.
    bool ReapIfEnded();
    // Kills it (SIGKILL reaches a stopped process too) and reaps it.
    void Kill();
    // Waits up to nWaitMs for its end, without reaping it.
    void WaitForEnd(int nWaitMs);
    // Waits up to nWaitMs for its end, then kills it; reaped either way.
    void End(int nWaitMs);

private:
    void Reap();

    pid_t m_pid = -1;
    CUniqueFd m_pidFd;
};

struct CHelperProcess::CStarted
{
    CUniqueFd channel; // the record stream, when the capture runs (nStep STEP_NONE)
    CHelperProcess process;
    Channel::COpenedRecord opened;
    std::vector<std::string> missing; // every place a helper was looked for, when none was there
    std::vector<std::string> refused; // every helper that was there and was refused the right
};
