// tarrow-capture-helper ADDRESS|if:INTERFACE|any [WANTS [RESOLVERS]]
//
// The only file of Tarrow that holds cap_net_raw, and the process that captures for one running
// capture. It opens the capture socket for that place (platform/CaptureTarget.h) with its ring; when it also holds cap_bpf and
// cap_perfmon, it loads and attaches the fixed program that names the thread behind each query
// this machine sends, and when asked, the one that tells the lookups programs ask of the C
// library. Then it gives up every right it had, and from then on only reads frames and
// those events, decodes their query names, tells the connections that speak DNS encrypted (when
// asked, by the resolvers it was built with and those of its third argument, and of the others
// nothing leaves it), and writes records to the window through the Unix socket
// at descriptor 3. It hands out no descriptor and reads no environment; before its sandbox it asks
// the kernel only for this network namespace's list of Unix sockets, to count the user's captures,
// and, to load the program, reads the kernel's own type information. It ends when that socket
// closes or its parent dies.

#include "platform/CaptureTarget.h"
#include "channel/RecordWriter.h"
#include "frames/DohResolvers.h"
#include "helper/CaptureLoop.h"
#include "helper/CapturePlaces.h"
#include "helper/CaptureSandbox.h"
#include "helper/HelperTexts.h"
#include "helper/LookupEvents.h"
#include "helper/PacketRing.h"
#include "helper/PacketSocket.h"
#include "helper/SenderEvents.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/capability.h>
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

// Its file grants the rights as permitted only, not effective: a file whose rights are effective at
// once cannot be run at all by a process whose bounding set lacks one of them (a container, root's
// window), whereas this one then just names no programs. So it raises them itself. Failing, the
// open that needs them says so.
void RaisePermittedRights()
{
    const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> pCaps(cap_get_proc(), &cap_free);
    if (!pCaps)
        return;
    for (const cap_value_t nCap : {CAP_NET_RAW, CAP_BPF, CAP_PERFMON})
    {
        cap_flag_value_t nPermitted = CAP_CLEAR;
        if (cap_get_flag(pCaps.get(), nCap, CAP_PERMITTED, &nPermitted) == 0 && nPermitted == CAP_SET)
            cap_set_flag(pCaps.get(), CAP_EFFECTIVE, 1, &nCap, CAP_SET);
    }
    cap_set_proc(pCaps.get());
}

// The helper's first word, sent only from inside the sandbox. Whatever it said, a helper that did
// not open ends here.
void Reply(const COpenedRecord& opened)
{
    CRecordWriter writer(CHANNEL_FD);
    if (!writer.Put(opened) || !writer.Flush() || opened.nStep != STEP_NONE)
        CCaptureLoop::End(EXIT_STEP_FAILED);
}

static_assert(CAPTURE_PLACE_WAIT_MS < REPLY_LIMIT_MS / 2, "the wait for a place must leave the open time to answer");

} // namespace

int main(int argc, char** argv)
{
    // File capabilities clear an inherited parent-death signal, so it is asked for here; a parent
    // that is already gone left the channel closed, which ends the loop just the same.
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);

    if (!OpenStandardDescriptors())
        return EXIT_NO_CHANNEL;
    // Without a word on what is wanted, whole queries, as before there was a choice.
    Wants nWants = WANTS_QUERIES;
    const bool bWantsRead = argc < 3 || ParseWants(argv[2], &nWants);
    // The resolvers encrypted DNS is told by: the built-in list and the user's, which only come
    // with the wish for it.
    static CDohResolvers s_resolvers;
    if (bWantsRead && WantsEncrypted(nWants))
        s_resolvers = CDohResolvers::BuiltIn();
    std::string strResolversError;
    if (argc < 2 || argc > 4 || !IsCaptureTargetText(argv[1]) || !bWantsRead
        || (argc == 4
            && (!WantsEncrypted(nWants) || std::strlen(argv[3]) > MAX_RESOLVERS_ARGUMENT_BYTES
                || !s_resolvers.Add(argv[3], &strResolversError))))
    {
        std::fputs(HelperTexts::USAGE, stderr);
        return EXIT_BAD_ARGUMENT;
    }
    const bool bLookups = WantsLookups(nWants);
    const bool bEncrypted = WantsEncrypted(nWants);
    nWants = WantsOfFrames(nWants);
    struct stat channel
    {};
    if (fstat(CHANNEL_FD, &channel) != 0 || !S_ISSOCK(channel.st_mode))
    {
        std::fputs(HelperTexts::NO_CHANNEL, stderr);
        return EXIT_NO_CHANNEL;
    }

    RaisePermittedRights();
    static CPacketRing s_ring;
    COpenedRecord opened;
    int hSocket = -1;
    // Held, never closed, for the helper's whole life; past the sandbox nothing can be done with it.
    const int hPlace = TakeCapturePlace();
    if (hPlace < 0)
    {
        opened.nStep = errno == EUSERS ? STEP_NO_PLACE : STEP_PLACES;
        opened.nError = errno == EUSERS ? MAX_CAPTURES_PER_USER : errno;
    }
    else
    {
        hSocket = CPacketSocket::Open(argv[1], s_ring, &opened, bEncrypted ? Wants(nWants | WANTS_ENCRYPTED) : nWants);
    }
    // Whatever becomes of naming programs, the capture runs; the reply says why they go unnamed.
    static CSenderEvents s_events;
    // Asked now: past the sandbox, even this is refused.
    const uid_t nOwnUid = getuid();
    // The window shows no sender, and pays nothing for naming one.
    if (nWants == WANTS_NAMES)
        opened.nSendersError = ENOTSUP;
    else if (hSocket >= 0 && !s_events.Open(hSocket, bEncrypted))
        opened.nSendersError = errno > 0 ? errno : EIO;
    // Only when asked: the probes cost every program of the namespace a little on each lookup.
    static CLookupEvents s_lookups;
    if (bLookups && hSocket >= 0)
        opened.nLookupsError = s_lookups.Open() ? 0 : errno > 0 ? errno : EIO;
    // The right goes before anything is said, the word of a failed open included.
    if (!EnterCaptureSandbox(hSocket, CHANNEL_FD))
    {
        opened = COpenedRecord();
        opened.nStep = STEP_SANDBOX;
        opened.nError = errno;
    }
    Reply(opened);

    static CCaptureLoop s_loop(hSocket, s_ring, s_events.IsOpen() ? &s_events : nullptr, nOwnUid, nWants,
                               s_lookups.IsOpen() ? &s_lookups : nullptr);
    if (bEncrypted)
        s_loop.TellEncrypted(s_resolvers);
    s_loop.Run();
}
