#include "app/MonitorApp.h"

#include "templates/Resources.h"
#include "ui/MonitorDlg.h"

CMonitorApp::CMonitorApp(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Tarrow"));
    setApplicationVersion(QStringLiteral(TARROW_VERSION));
    setDesktopFileName(QStringLiteral("tarrow"));
    setWindowIcon(LoadAppIcon());
}

CMonitorApp::~CMonitorApp() = default;

int CMonitorApp::InitInstance()
{
    CMonitorDlg dlg(nullptr);
    dlg.exec();
    return 0;
}
