#pragma once

#include <string>
#include <vector>

#include "capture/PacketSocket.h"

// Opens the capture socket for a process that may lack CAP_NET_RAW. A process that has the right
// opens it itself; any other asks tarrow-capture-helper, the one file that holds the right, and
// receives the configured socket from it. Either way the result reads as CPacketSocket::Open's,
// so the caller shows the same messages. No Qt here.
class CCaptureHelperClient
{
public:
    // Opens in-process, and only when the open step is refused (EPERM) through the helper. When no
    // helper can be run or it gives no usable answer, the in-process refusal stands.
    static CPacketSocket::OpenResult Open(const char* pszLocalAddress);

    // Runs the helper at strHelperPath for the address. refused is returned when the helper cannot
    // be run, gives no usable answer or is not done in time. An address the helper would turn down
    // fails the bind step with EADDRNOTAVAIL, as in-process, without running anything.
    static CPacketSocket::OpenResult OpenThroughHelper(const std::string& strHelperPath,
                                                       const char* pszLocalAddress,
                                                       const CPacketSocket::OpenResult& refused);

    // Where the helper may be, most specific first: the build tree (only for a program that runs
    // from it), the root-owned copy that scripts/start.sh granted the right to (only in the build it
    // configured), then the installed libexec directory. Never PATH or the environment.
    static std::vector<std::string> GetHelperCandidates();

    // Milliseconds to wait for the helper's answer, then for its end.
    static constexpr int REPLY_TIMEOUT_MS = 6000;
    static constexpr int EXIT_TIMEOUT_MS = 2000;
};
