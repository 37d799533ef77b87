#include "watch/StopSignals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t s_bRaised = 0;
volatile std::sig_atomic_t s_bReopen = 0;
volatile std::sig_atomic_t s_bCounts = 0;
int s_pipe[2] = {-1, -1};

void Wake()
{
    const char b = 1;
    // The pipe is non-blocking: a full one already wakes the loop.
    [[maybe_unused]] const ssize_t n = write(s_pipe[1], &b, 1);
}

void OnStopSignal(int)
{
    const int nSavedErrno = errno;
    s_bRaised = 1;
    Wake();
    errno = nSavedErrno;
}

// The flag is set before the byte is written, so a loop that drains the pipe and then takes the
// flags never misses a request.
void OnRequestSignal(int nSignal)
{
    const int nSavedErrno = errno;
    (nSignal == SIGHUP ? s_bReopen : s_bCounts) = 1;
    Wake();
    errno = nSavedErrno;
}

bool Take(volatile std::sig_atomic_t& bFlag)
{
    if (bFlag == 0)
        return false;
    bFlag = 0;
    return true;
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
    // A handler, not SIG_IGN, for SIGHUP: the helper started from here must not inherit a SIGHUP
    // ignored.
    struct sigaction request
    {};
    request.sa_handler = OnRequestSignal;
    request.sa_flags = SA_RESTART;
    sigemptyset(&request.sa_mask);
    struct sigaction ignore
    {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    // Every signal whose default would end the program on the spot ends it as Ctrl+C does, so that
    // it always puts the terminal back and reaps its helper (--top's table leaves it raw otherwise).
    for (const int nSignal :
         {SIGINT, SIGTERM, SIGQUIT, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO, SIGPWR, SIGSTKFLT})
    {
        if (sigaction(nSignal, &action, nullptr) != 0)
            return false;
    }
    // An output file past the size limit fails its write, which ends the run with status 4 and
    // says why, instead of killing it.
    return sigaction(SIGHUP, &request, nullptr) == 0 && sigaction(SIGUSR1, &request, nullptr) == 0
           && sigaction(SIGPIPE, &ignore, nullptr) == 0 && sigaction(SIGXFSZ, &ignore, nullptr) == 0;
}

bool CStopSignals::IsRaised()
{
    return s_bRaised != 0;
}

bool CStopSignals::TakeReopen()
{
    return Take(s_bReopen);
}

bool CStopSignals::TakeCounts()
{
    return Take(s_bCounts);
}

void CStopSignals::Drain()
{
    if (s_bRaised != 0)
        return;
    char buffer[64];
    while (read(s_pipe[0], buffer, sizeof(buffer)) > 0)
    {}
}

int CStopSignals::GetDescriptor()
{
    return s_pipe[0];
}
