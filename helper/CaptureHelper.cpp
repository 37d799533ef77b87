// tarrow-capture-helper ADDRESS
//
// The only file of Tarrow that holds cap_net_raw, and the process that captures for one running
// capture. It opens the capture socket for ADDRESS with its ring, gives up every right it had, and
// from then on only reads frames, decodes their query names and writes records to the window
// through the Unix socket at descriptor 3. It hands out no descriptor, reads no environment and no
// file, and ends when that socket closes or its parent dies.

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
#include <sys/prctl.h>
#include <sys/stat.h>

using namespace Channel;

namespace {

[[noreturn]] void ReplyAndEnd(OpenStep nStep, int nError)
{
    CRecordWriter writer;
    COpenedRecord opened;
    opened.nStep = nStep;
    opened.nError = nError;
    writer.AddOpened(opened);
    CCaptureLoop::Send(writer);
    CCaptureLoop::End(EXIT_STEP_FAILED);
}

} // namespace

int main(int argc, char** argv)
{
    // File capabilities clear an inherited parent-death signal, so it is asked for here; a parent
    // that is already gone left the channel closed, which ends the loop just the same.
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);

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

    if (TakeCapturePlace() < 0)
        ReplyAndEnd(STEP_NO_PLACE, errno);

    static CPacketRing s_ring;
    const CPacketSocket::OpenResult result = CPacketSocket::Open(argv[1], &s_ring);
    if (result.fd < 0)
        ReplyAndEnd(result.failedStep, result.error);
    if (!EnterCaptureSandbox(result.fd, CHANNEL_FD))
        ReplyAndEnd(STEP_SANDBOX, errno);

    CRecordWriter writer;
    COpenedRecord opened;
    opened.nReceiveAllError = result.receiveAllError;
    writer.AddOpened(opened);
    CCaptureLoop::Send(writer);

    static CCaptureLoop s_loop(result.fd, s_ring);
    s_loop.Run();
}
