// The window side of the load runs (LOAD_TARGET=WindowLoadTarget bench/load/run-load.sh): the real
// main dialog, shown offscreen, capturing on the given address after "Run". At the end (SIGINT,
// SIGTERM, or after the given seconds) it prints the rows listed, the kernel's counters and its CPU.
//   QT_QPA_PLATFORM=offscreen WindowLoadTarget ADDRESS [SECONDS]
#include "links/DialogTemplate.h"
#include "res/Resource.h"
#include "ui/MonitorDlg.h"

#include <QApplication>
#include <QComboBox>
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

double Seconds(const timeval& tv)
{
    return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s ADDRESS [SECONDS]\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    CMonitorDlg dlg;
    dlg.show();
    auto* pCombo = GetDlgItemAs<QComboBox>(&dlg, IDC_INTERFACE);
    const int nIndex = pCombo->findText(QString::fromLocal8Bit(argv[1]));
    if (nIndex < 0) {
        std::fprintf(stderr, "%s is not offered\n", argv[1]);
        return 1;
    }
    pCombo->setCurrentIndex(nIndex);
    emit pCombo->activated(nIndex);
    dlg.OnRun();
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
    dlg.GetSession().ReadStatistics(&nReceived, &nDropped);
    dlg.OnStop();
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("delivered %d\nrows %d\nkernel_received %u\nkernel_dropped %u\ncpu_user_s %.2f\ncpu_sys_s %.2f\n",
                dlg.GetListModel().rowCount(), dlg.GetListModel().rowCount(), nReceived, nDropped,
                Seconds(usage.ru_utime), Seconds(usage.ru_stime));
    return 0;
}
