// How fast the shown main window takes names handed over in batches, as the capture session does,
// with the list already holding 0, 10^5 and 10^6 names, and the resident memory at 10^6 names.
// Run offscreen: QT_QPA_PLATFORM=offscreen MonitorDlgBench
#include "res/Resource.h"
#include "templates/DialogTemplate.h"
#include "ui/MonitorDlg.h"

#include "common/ProcStatus.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

// Hands nCount distinct names to the window in batches of the size a message from the capture
// helper holds, as the session does on the window's event loop, letting the loop run between
// batches (timers, repaints), and returns names per second.
double Deliver(CMonitorDlg& dlg, int nFirst, int nCount)
{
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
            dlg.OnCapturedNames(batch);
            batch.Clear();
            QCoreApplication::processEvents();
        }
    }
    return nCount / (timer.nsecsElapsed() / 1e9);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    CMonitorDlg dlg;
    dlg.show();
    // The list's own model, filled directly up to each size before the timed hand-overs.
    auto& model = *qobject_cast<CNameListModel*>(GetDlgItemAs<QTableView>(&dlg, IDC_NAME_LIST)->model());
    const int nSample = 20000;
    int nNext = 0;
    for (const int nRows : {0, 100000, 1000000})
    {
        char name[64];
        for (int nHeld = model.rowCount(); nHeld < nRows; ++nHeld)
        {
            const int nLength = std::snprintf(name, sizeof name, "host%d.bench.example.org", nNext++);
            model.AddName(name, size_t(nLength), std::time(nullptr));
        }
        model.FlushInsertions();
        app.processEvents();
        const double dRate = Deliver(dlg, nNext, nSample);
        nNext += nSample;
        std::printf("rows before %7d: %8.0f names/s handed over in batches into the shown window\n", nRows, dRate);
    }
    std::printf("rows %d: VmRSS %.0f MiB, VmHWM %.0f MiB\n", model.rowCount(), ProcStatusMiB("VmRSS"),
                ProcStatusMiB("VmHWM"));
    return 0;
}
