// The window side of the load runs (LOAD_TARGET=WindowLoadTarget bench/load/run-load.sh): the real
// main dialog, shown offscreen, capturing on the given address after "Run". At the end (SIGINT,
// SIGTERM, or after the given seconds) it prints the rows listed, the kernel's counters and its CPU.
//   QT_QPA_PLATFORM=offscreen WindowLoadTarget ADDRESS [SECONDS]
#include "res/Resource.h"
#include "templates/DialogTemplate.h"
#include "ui/MonitorDlg.h"

#include "common/LoadRun.h"

#include <QApplication>
#include <QComboBox>
#include <QRegularExpression>
#include <QTableView>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: %s ADDRESS [SECONDS]\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);

    CMonitorDlg dlg;
    dlg.show();
    auto* pCombo = GetDlgItemAs<QComboBox>(&dlg, IDC_INTERFACE);
    const int nIndex = pCombo->findText(QString::fromLocal8Bit(argv[1]));
    if (nIndex < 0)
    {
        std::fprintf(stderr, "%s is not offered\n", argv[1]);
        return 1;
    }
    pCombo->setCurrentIndex(nIndex);
    emit pCombo->activated(nIndex);
    dlg.OnRun();
    std::printf("capturing on %s\n", argv[1]);
    std::fflush(stdout);

    LoadRun::RunUntilQuit(argc, argv, 2);

    // What the user is told was missed, read where the user reads it.
    static const QRegularExpression s_missed(QStringLiteral("\\((\\d+) quer"));
    const QRegularExpressionMatch missed = s_missed.match(dlg.windowTitle());
    const unsigned long long nDropped = missed.hasMatch() ? missed.captured(1).toULongLong() : 0;
    dlg.OnStop();
    LoadRun::WaitForCaptureHelper();
    const int nRows = GetDlgItemAs<QTableView>(&dlg, IDC_NAME_LIST)->model()->rowCount();
    LoadRun::PrintFigures(static_cast<unsigned long>(nRows), nRows, nDropped);
    return 0;
}
