#include "app/MonitorApp.h"

#include "links/Resources.h"
#include "ui/MonitorDlg.h"

CMonitorApp::CMonitorApp(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Tarrow"));
    setApplicationVersion(QStringLiteral("1.3.0.0"));
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
