// tarrow-capture-helper ADDRESS
//
// The only file of Tarrow that holds cap_net_raw, and the process that captures for one running
// capture. It opens the capture socket for ADDRESS with its ring, gives up every right it had, and
// from then on only reads frames, decodes their query names and writes records to the window
// through the Unix socket at descriptor 3. It hands out no descriptor and reads no environment and
// no file; before its sandbox it asks the kernel only for this network namespace's list of Unix
// sockets, to count the user's captures. It ends when that socket closes or its parent dies.

#include "channel/AddressText.h"
#include "channel/CaptureRecords.h"
#include "helper/CaptureLoop.h"
#include "helper/CapturePlaces.h"
#include "helper/CaptureSandbox.h"
#include "helper/PacketRing.h"
#include "helper/PacketSocket.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Channel;

namespace {

// Started with one of them closed, the helper's first descriptors would take its place, and
// whatever writes to "stderr" would write to them.
bool OpenStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        if (errno != EBADF || open("/dev/null", O_RDWR) != fd)
            return false;
    }
    return true;
}

// The reply to the window, sent only from inside the sandbox.
void Reply(OpenStep nStep, int nError, int nReceiveAllError)
{
    CRecordWriter writer;
    COpenedRecord opened;
    opened.nStep = nStep;
    opened.nError = nError;
    opened.nReceiveAllError = nReceiveAllError;
    writer.AddOpened(opened);
    CCaptureLoop::Send(writer);
}

} // namespace

int main(int argc, char** argv)
{
    // File capabilities clear an inherited parent-death signal, so it is asked for here; a parent
    // that is already gone left the channel closed, which ends the loop just the same.
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);

    if (!OpenStandardDescriptors())
        return EXIT_NO_CHANNEL;
    if (argc != 2 || !IsAddressText(argv[1]))
    {
        std::fputs("usage: tarrow-capture-helper LOCAL-ADDRESS (run by Tarrow, not by hand)\n", stderr);
        return EXIT_BAD_ARGUMENT;
    }
    struct stat channel
    {};
    if (fstat(CHANNEL_FD, &channel) != 0 || !S_ISSOCK(channel.st_mode))
    {
        std::fputs("tarrow-capture-helper: no caller's socket at descriptor 3\n", stderr);
        return EXIT_NO_CHANNEL;
    }

    static CPacketRing s_ring;
    CPacketSocket::OpenResult result;
    // Held, never closed, for the helper's whole life; past the sandbox nothing can be done with it.
    const int hPlace = TakeCapturePlace();
    if (hPlace < 0)
    {
        result.failedStep = errno == EUSERS ? STEP_NO_PLACE : STEP_PLACES;
        result.error = errno;
    }
    else
    {
        result = CPacketSocket::Open(argv[1], &s_ring);
    }
    // The right goes before anything is said, the word of a failed open included.
    if (!EnterCaptureSandbox(result.fd, CHANNEL_FD))
    {
        Reply(STEP_SANDBOX, errno, 0);
        CCaptureLoop::End(EXIT_STEP_FAILED);
    }
    if (result.fd < 0)
    {
        Reply(result.failedStep, result.error, 0);
        CCaptureLoop::End(EXIT_STEP_FAILED);
    }
    Reply(STEP_NONE, 0, result.receiveAllError);

    static CCaptureLoop s_loop(result.fd, s_ring);
    s_loop.Run();
}
