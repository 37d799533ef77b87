#include "app/MonitorApp.h"

#include "templates/Resources.h"
#include "ui/MonitorDlg.h"

CMonitorApp::CMonitorApp(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Tarrow"));
    setApplicationVersion(QStringLiteral(TARROW_VERSION));
    // The id of the installed desktop entry, so that a Wayland compositor (by app id) and the task
    // bar find its name and icon for the window.
    setDesktopFileName(QStringLiteral("org.example.merrow.Tarrow"));
    setWindowIcon(LoadAppIcon());
}

CMonitorApp::~CMonitorApp() = default;

int CMonitorApp::InitInstance()
{
    CMonitorDlg dlg(nullptr);
    dlg.exec();
    return 0;
}
