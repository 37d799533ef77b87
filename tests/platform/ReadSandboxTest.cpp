// The file reader's sandbox: what it refuses ends the process, but abort() still dies of SIGABRT,
// and a file's facts cannot be asked by path.
#include "platform/ReadSandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(ReadSandboxTest, WhatItAllowsAndHowWhatItRefusesEnds)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "builds with AddressSanitizer read without the filter";
#endif
    const struct
    {
        const char* pszWhat;
        bool bTerminal;
        int (*Run)();
        int nStatus; // the exit code, or 128 + the signal that ended it
    } cases[] = {
        {"abort", false,
         [] {
             std::abort();
             return 1;
         },
         128 + SIGABRT},
        {"fstat of an open file", false,
         [] {
             struct stat facts
             {};
             return fstat(STDERR_FILENO, &facts) == 0 ? 0 : 1;
         },
         0},
        {"stat of a path", false,
         [] {
             struct stat facts
             {};
             return stat("/etc/passwd", &facts) != 0 && errno == EACCES ? 0 : 1;
         },
         0},
        {"open", false, [] { return open("/etc/passwd", O_RDONLY | O_CLOEXEC) >= 0 ? 0 : 1; }, 128 + SIGSYS},
        {"open, with the terminal", true, [] { return open("/etc/passwd", O_RDONLY | O_CLOEXEC) >= 0 ? 0 : 1; },
         128 + SIGSYS},
    };
    for (const auto& entry : cases)
    {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
        {
            std::string strWhy;
            _exit(EnterReadSandbox(&strWhy, entry.bTerminal) ? entry.Run() : 2);
        }
        int nStatus = 0;
        ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
        EXPECT_EQ(WIFSIGNALED(nStatus) ? 128 + WTERMSIG(nStatus) : WEXITSTATUS(nStatus), entry.nStatus)
            << entry.pszWhat;
    }
}
