#include "platform/ReadSandbox.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

bool Failed(std::string* pstrWhy, const char* pszStep, int nError)
{
    *pstrWhy = std::string("the file is not read: ") + pszStep + " failed: " + std::strerror(nError);
    return false;
}

} // namespace

bool EnterReadSandbox(std::string* pstrWhy, [[maybe_unused]] bool bTerminal)
{
    tzset();
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return Failed(pstrWhy, "setting no_new_privs", errno);
#if defined(__SANITIZE_ADDRESS__)
    // The leak check at exit stops the process's threads with clone and ptrace, which the filter
    // would end; builds with it read without the filter.
    return true;
#else
    // With the table on the terminal, a refused call raises SIGSYS instead, whose handler puts the
    // terminal back before the signal ends the program all the same.
    const std::unique_ptr<void, decltype(&seccomp_release)> pFilter(
        seccomp_init(bTerminal ? SCMP_ACT_TRAP : SCMP_ACT_KILL_PROCESS), &seccomp_release);
    scmp_filter_ctx ctx = pFilter.get();
    if (ctx == nullptr)
        return Failed(pstrWhy, "making the system call filter", ENOMEM);
    int nResult = 0;
    for (const int nSyscall : {SCMP_SYS(read),         SCMP_SYS(readv),          SCMP_SYS(pread64),
                               SCMP_SYS(write),        SCMP_SYS(writev),         SCMP_SYS(lseek),
                               SCMP_SYS(fstat),        SCMP_SYS(getpid),         SCMP_SYS(close),
                               SCMP_SYS(brk),          SCMP_SYS(munmap),         SCMP_SYS(mremap),
                               SCMP_SYS(madvise),      SCMP_SYS(clock_gettime),  SCMP_SYS(gettimeofday),
                               SCMP_SYS(rt_sigreturn), SCMP_SYS(rt_sigprocmask), SCMP_SYS(restart_syscall),
                               SCMP_SYS(gettid),       SCMP_SYS(exit),           SCMP_SYS(exit_group)})
    {
        if (nResult == 0)
            nResult = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, nSyscall, 0);
    }
    // Memory for the allocator only: anonymous, never executable.
    if (nResult == 0)
        nResult = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 2, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0),
                                   SCMP_A3(SCMP_CMP_MASKED_EQ, MAP_ANONYMOUS, MAP_ANONYMOUS));
    if (nResult == 0)
        nResult =
            seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    if (bTerminal)
    {
        for (const int nSyscall : {SCMP_SYS(poll), SCMP_SYS(ppoll)})
        {
            if (nResult == 0)
                nResult = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, nSyscall, 0);
        }
        for (const unsigned long nRequest : {TCGETS, TCSETS, TCSETSW, TCSETSF, TIOCGWINSZ})
        {
            if (nResult == 0)
                nResult = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1,
                                           SCMP_A1(SCMP_CMP_EQ, static_cast<scmp_datum_t>(nRequest)));
        }
    }
    // abort() signals its own process, and no other (it asks for its pid and thread id first), and
    // sets SIGABRT's action back to the default should a handler return.
    if (nResult == 0)
        nResult = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1,
                                   SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(getpid())));
    if (nResult == 0)
        nResult = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(rt_sigaction), 1, SCMP_A0(SCMP_CMP_EQ, SIGABRT));
    // glibc's fstat() is newfstatat(fd, "", AT_EMPTY_PATH): allowed with that flag only, so stat()
    // and lstat() of a path fail (an error, not the end: a library that only asks how to buffer
    // goes on without). That narrows less than it looks: the kernel looks up a path given with the
    // flag all the same, and a filter sees the path's address, never its text, so a crafted call
    // can still learn a file's size and owner. Opening one stays impossible.
    if (nResult == 0)
        nResult = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(newfstatat), 1,
                                   SCMP_A3(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH));
    if (nResult == 0)
        nResult = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(newfstatat), 1,
                                   SCMP_A3(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, 0));
    if (nResult == 0)
        nResult = seccomp_load(ctx);
    return nResult == 0 || Failed(pstrWhy, "installing the system call filter", -nResult);
#endif
}
