#pragma once

// What the two load targets share: run the event loop until SIGINT, SIGTERM or a number of
// seconds, then print the figures the load script reads.

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace LoadRun {

inline std::atomic<bool> s_bQuit {false};

// Returns once a signal asked to stop or argv[nSecondsArg] seconds have passed.
inline void RunUntilQuit(int argc, char** argv, int nSecondsArg)
{
    std::signal(SIGINT, [](int) { s_bQuit.store(true); });
    std::signal(SIGTERM, [](int) { s_bQuit.store(true); });
    // Signals only set the flag; the loop looks at it.
    QTimer pollQuit;
    QObject::connect(&pollQuit, &QTimer::timeout, [] {
        if (s_bQuit.load())
            QCoreApplication::quit();
    });
    pollQuit.start(50);
    if (argc > nSecondsArg)
        QTimer::singleShot(std::atoi(argv[nSecondsArg]) * 1000, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
}

inline double Seconds(const timeval& tv)
{
    return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

// The capture helper is a child that the session reaps on its event loop after Stop; its time
// counts once it has been reaped.
inline void WaitForCaptureHelper()
{
    siginfo_t info {};
    for (int i = 0; i < 300 && waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0; ++i)
    {
        QCoreApplication::processEvents();
        usleep(10000);
    }
}

// CPU is the program's and its capture helper's together.
inline void PrintFigures(unsigned long nDelivered, int nRows, unsigned long long nDropped)
{
    rusage self {}, helper {};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &helper);
    std::printf("delivered %lu\nrows %d\nkernel_dropped %llu\ncpu_user_s %.2f\ncpu_sys_s %.2f\n"
                "helper_cpu_s %.2f\n",
                nDelivered, nRows, nDropped, Seconds(self.ru_utime) + Seconds(helper.ru_utime),
                Seconds(self.ru_stime) + Seconds(helper.ru_stime), Seconds(helper.ru_utime) + Seconds(helper.ru_stime));
}

} // namespace LoadRun
