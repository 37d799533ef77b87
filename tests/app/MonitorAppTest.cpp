// The application object names the program and runs the main dialog until it ends.
#include "app/MonitorApp.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    CMonitorApp app(argc, argv);
    int nFailures = 0;
    auto check = [&nFailures](bool bOk, const char* pszWhat) {
        if (!bOk) {
            ++nFailures;
            qWarning("FAIL: %s", pszWhat);
        }
    };
    check(QApplication::applicationName() == "Tarrow", "application name is Tarrow");
    check(QApplication::applicationVersion() == "1.3.0.0", "version is 1.3.0.0");
    // The window's app id has to name the entry that is installed, or the desktop shows a stranger.
    const QStringList entries = QDir(QStringLiteral(TARROW_PACKAGING_DIR)).entryList({QStringLiteral("*.desktop")});
    check(entries.size() == 1 && QGuiApplication::desktopFileName() == QFileInfo(entries.value(0)).completeBaseName(),
          "desktop file name is the id of the desktop entry in packaging/");
    check(!QApplication::windowIcon().isNull(), "the application has its icon");

    // InitInstance returns once the dialog ends; Esc on the dialog ends it.
    QString strTitle;
    QTimer::singleShot(200, [&strTitle] {
        QWidget* pDialog = QApplication::activeModalWidget();
        if (pDialog) {
            strTitle = pDialog->windowTitle();
            QTest::keyClick(pDialog, Qt::Key_Escape);
        }
    });
    QTimer::singleShot(10000, [] { qFatal("the main dialog did not end"); });
    check(app.InitInstance() == 0, "InitInstance returns 0");
    check(strTitle == "Tarrow", "the main dialog's caption is Tarrow");

    const int nChecks = 6;
    std::printf("%d passed, %d failed\n", nChecks - nFailures, nFailures);
    return nFailures == 0 ? 0 : 1;
}
