#include "app/MonitorApp.h"

#include "ProjectFacts.h"

#include "templates/Resources.h"
#include "ui/MonitorDlg.h"

CMonitorApp::CMonitorApp(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral(TARROW_APP_NAME));
    setApplicationVersion(QStringLiteral(TARROW_VERSION));
    // The id of the installed desktop entry, so that a Wayland compositor (by app id) and the task
    // bar find its name and icon for the window.
    setDesktopFileName(QStringLiteral(TARROW_APP_ID));
    setWindowIcon(LoadAppIcon());
}

CMonitorApp::~CMonitorApp() = default;

int CMonitorApp::InitInstance()
{
    CMonitorDlg dlg(nullptr);
    dlg.exec();
    return 0;
}
