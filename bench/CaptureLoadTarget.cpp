// The capture side of the load runs (bench/load/run-load.sh): a session on the given address feeds
// a list model on a running event loop, as the window does, without painting. At the end (SIGINT,
// SIGTERM, or after the given seconds) it prints the names handed over, the kernel's counters and
// its own CPU time.
//   CaptureLoadTarget ADDRESS [SECONDS]

#include "capture/CaptureSession.h"
#include "ui/NameListModel.h"

#include <QCoreApplication>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace {

std::atomic<bool> s_bQuit {false};

void OnSignal(int)
{
    s_bQuit.store(true);
}

class CLoadOwner : public QObject
{
    Q_OBJECT

public:
    Q_INVOKABLE void OnCapturedName(const QByteArray& name)
    {
        // Counted per call: the model folds repeated names into one row.
        ++m_nDelivered;
        m_model.AddName(name.constData(), size_t(name.size()));
    }
    Q_INVOKABLE void OnCaptureFailed() { ++m_nFailures; }

    unsigned long m_nDelivered = 0;
    unsigned long m_nFailures = 0;
    CNameListModel m_model;
};

double Seconds(const timeval& tv)
{
    return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: %s ADDRESS [SECONDS]\n", argv[0]);
        return 2;
    }
    QCoreApplication app(argc, argv);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    CLoadOwner owner;
    CCaptureSession session;
    session.SetOwner(&owner, argv[1]);
    if (!session.Start())
    {
        std::fprintf(stderr, "%s\n", session.GetErrorText().c_str());
        return 1;
    }
    std::printf("capturing on %s\n", argv[1]);
    std::fflush(stdout);

    QTimer pollQuit;
    QObject::connect(&pollQuit, &QTimer::timeout, [] {
        if (s_bQuit.load())
            QCoreApplication::quit();
    });
    pollQuit.start(50);
    if (argc > 2)
        QTimer::singleShot(std::atoi(argv[2]) * 1000, &app, &QCoreApplication::quit);
    app.exec();

    unsigned nReceived = 0, nDropped = 0;
    session.ReadStatistics(&nReceived, &nDropped);
    session.Stop();
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("delivered %lu\nrows %d\nkernel_received %u\nkernel_dropped %u\nfailures %lu\ncpu_user_s %.2f\ncpu_sys_s %.2f\n",
                owner.m_nDelivered, owner.m_model.rowCount(), nReceived, nDropped, owner.m_nFailures,
                Seconds(usage.ru_utime), Seconds(usage.ru_stime));
    return 0;
}

#include "CaptureLoadTarget.moc"
