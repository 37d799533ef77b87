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

inline void PrintFigures(unsigned long nDelivered, int nRows, unsigned nReceived, unsigned nDropped)
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("delivered %lu\nrows %d\nkernel_received %u\nkernel_dropped %u\ncpu_user_s %.2f\ncpu_sys_s %.2f\n",
                nDelivered, nRows, nReceived, nDropped, Seconds(usage.ru_utime), Seconds(usage.ru_stime));
}

} // namespace LoadRun
