#include "watch/StopSignals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t s_bRaised = 0;
int s_pipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const int nSavedErrno = errno;
    s_bRaised = 1;
    const char b = 1;
    // The pipe is non-blocking: a full one already wakes the loop.
    [[maybe_unused]] const ssize_t n = write(s_pipe[1], &b, 1);
    errno = nSavedErrno;
}

} // namespace

bool CStopSignals::Install()
{
    if (s_pipe[0] < 0 && pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action
    {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction ignore
    {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0
           && sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

bool CStopSignals::IsRaised()
{
    return s_bRaised != 0;
}

int CStopSignals::GetDescriptor()
{
    return s_pipe[0];
}
