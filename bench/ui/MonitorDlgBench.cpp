// How fast the shown main window takes names handed over in batches from another thread, as the
// capture session does, with the list already holding 0, 10^5 and 10^6 names, and the resident
// memory at 10^6 names.
// Run offscreen: QT_QPA_PLATFORM=offscreen MonitorDlgBench
#include "ui/MonitorDlg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <thread>

namespace {

long ReadStatusKb(const char* pszField)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
    {
        if (line.startsWith(pszField))
            return line.mid(qstrlen(pszField)).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Delivers nCount distinct names from another thread in batches of the size a message from the
// capture helper holds, waiting for the window to take each, and returns names per second.
double Deliver(CMonitorDlg& dlg, int nFirst, int nCount)
{
    double dRate = 0;
    std::thread worker([&] {
        QElapsedTimer timer;
        timer.start();
        char name[64];
        CCapturedNames batch;
        for (int i = nFirst; i < nFirst + nCount; ++i)
        {
            const int nLength = std::snprintf(name, sizeof name, "host%d.bench.example.org", i);
            batch.Add(std::string_view(name, size_t(nLength)), std::time(nullptr));
            if (batch.GetCount() == 500 || i + 1 == nFirst + nCount)
            {
                QMetaObject::invokeMethod(
                    &dlg, [&] { dlg.OnCapturedNames(batch); }, Qt::BlockingQueuedConnection);
                batch.Clear();
            }
        }
        dRate = nCount / (timer.nsecsElapsed() / 1e9);
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    qApp->exec();
    worker.join();
    return dRate;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    CMonitorDlg dlg;
    dlg.show();
    const int nSample = 20000;
    int nNext = 0;
    for (const int nRows : {0, 100000, 1000000})
    {
        char name[64];
        for (int nHeld = dlg.GetListModel().rowCount(); nHeld < nRows; ++nHeld)
        {
            std::snprintf(name, sizeof name, "host%d.bench.example.org", nNext++);
            dlg.GetListModel().AddName(name);
        }
        dlg.GetListModel().FlushInsertions();
        app.processEvents();
        const double dRate = Deliver(dlg, nNext, nSample);
        nNext += nSample;
        std::printf("rows before %7d: %8.0f names/s handed over in batches into the shown window\n", nRows, dRate);
    }
    std::printf("rows %d: VmRSS %ld kB, VmHWM %ld kB\n", dlg.GetListModel().rowCount(), ReadStatusKb("VmRSS:"),
                ReadStatusKb("VmHWM:"));
    return 0;
}
