#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "capture/helper/HelperProtocol.h"

// Starts tarrow-capture-helper, the process that captures, for one local address, and waits for
// its word on how the open went. Every capture runs through it, also for a process that could open
// a packet socket itself: the process that shows the window never holds one. No Qt here.
class CCaptureHelperClient
{
public:
    struct CStarted
    {
        int hChannel = -1; // the record stream, when the capture runs (nStep 0)
        pid_t pid = -1;    // the running helper, to be reaped with Reap when the channel is done
        HelperProtocol::COpened opened {};
    };

    // Runs the helpers of GetHelperCandidates in turn until one can capture or fails for another
    // reason than the missing right. When none can be run at all, or none answers, the result is the
    // open step refused with EPERM, as a process without the right would see it. An address the
    // helper would turn down fails the bind step with EADDRNOTAVAIL without running anything.
    static CStarted Start(const char* pszLocalAddress);

    // The same with one helper. Any helper that did not end up capturing has been reaped.
    static CStarted StartHelper(const std::string& strHelperPath, const char* pszLocalAddress);

    // Where the helper may be, most specific first: the build tree (only for a program that runs
    // from it), the root-owned copy that scripts/start.sh granted the right to (only in the build it
    // configured), then the installed libexec directory. Never PATH or the environment.
    static std::vector<std::string> GetHelperCandidates();

    // Waits up to nWaitMs for the helper to end, then kills it; it is reaped either way.
    static void Reap(pid_t pid, int nWaitMs);

    // Milliseconds to wait for the helper's first word (it may wait for a place among the user's
    // captures first), and for its end once its channel closed.
    static constexpr int REPLY_TIMEOUT_MS = int(HelperProtocol::CAPTURE_PLACE_WAIT_MS) + 6000;
    static constexpr int EXIT_TIMEOUT_MS = 2000;
};
