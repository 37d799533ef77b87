#include "helper/CaptureSandbox.h"

#include <cerrno>
#include <linux/if_packet.h>
#include <memory>
#include <seccomp.h>
#include <sys/capability.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool DropCapabilities()
{
    const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> pNone(cap_init(), &cap_free);
    if (!pNone || cap_set_proc(pNone.get()) != 0)
        return false;
    // Ambient capabilities would come back on an exec; the filter forbids exec, but none is kept.
    return cap_reset_ambient() == 0;
}

// Even a call the filter lets through cannot open a descriptor, start a process or grow a file: a
// second wall in case the filter has a gap. The descriptor limit cannot be zero, as poll() refuses
// to watch more descriptors than it allows; at four, the number the loop watches, it still allows
// no new one, for 0 to 3 are always open (the helper opens /dev/null at 0 to 2 before anything
// else, and the channel is 3).
bool ZeroLimits()
{
    const rlimit none {0, 0};
    const rlimit polled {4, 4};
    return setrlimit(RLIMIT_NOFILE, &polled) == 0 && setrlimit(RLIMIT_NPROC, &none) == 0
           && setrlimit(RLIMIT_FSIZE, &none) == 0;
}

// libseccomp returns -errno; errno is what callers read.
bool Check(int nResult)
{
    if (nResult == 0)
        return true;
    errno = -nResult;
    return false;
}

bool InstallFilter(int hCaptureSocket, int hChannel)
{
    // Anything outside the list ends the process: a helper that tries one has been taken over.
    const std::unique_ptr<void, decltype(&seccomp_release)> pFilter(seccomp_init(SCMP_ACT_KILL_PROCESS),
                                                                    &seccomp_release);
    scmp_filter_ctx ctx = pFilter.get();
    if (ctx == nullptr)
    {
        errno = ENOMEM;
        return false;
    }
    const auto allow = [ctx](int nSyscall) { return Check(seccomp_rule_add(ctx, SCMP_ACT_ALLOW, nSyscall, 0)); };
    const auto socket = static_cast<scmp_datum_t>(hCaptureSocket);
    const auto channel = static_cast<scmp_datum_t>(hChannel);

    bool bOk = true;
    for (const int nSyscall :
         {SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday), SCMP_SYS(clock_nanosleep),
          SCMP_SYS(nanosleep), SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigreturn), SCMP_SYS(restart_syscall),
          SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(madvise), SCMP_SYS(sigaltstack), SCMP_SYS(rt_sigprocmask),
          SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(sched_yield)})
        bOk = bOk && allow(nSyscall);
    // abort() signals its own process; no other.
    bOk = bOk
          && Check(seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1,
                                    SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(getpid()))));

    bOk = bOk && Check(seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(sendto), 1, SCMP_A0(SCMP_CMP_EQ, channel)))
          && Check(seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(getsockopt), 3, SCMP_A0(SCMP_CMP_EQ, socket),
                                    SCMP_A1(SCMP_CMP_EQ, SOL_PACKET), SCMP_A2(SCMP_CMP_EQ, PACKET_STATISTICS)))
          && Check(seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(getsockopt), 3, SCMP_A0(SCMP_CMP_EQ, socket),
                                    SCMP_A1(SCMP_CMP_EQ, SOL_SOCKET), SCMP_A2(SCMP_CMP_EQ, SO_ERROR)))
          // Memory for the allocator only: anonymous, never executable.
          && Check(seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 2, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0),
                                    SCMP_A3(SCMP_CMP_MASKED_EQ, MAP_ANONYMOUS, MAP_ANONYMOUS)))
          && Check(
              seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)));
    return bOk && Check(seccomp_load(ctx));
}

} // namespace

bool EnterCaptureSandbox(int hCaptureSocket, int hChannel)
{
    if (!DropCapabilities())
        return false;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || !ZeroLimits())
        return false;
    return InstallFilter(hCaptureSocket, hChannel);
}
