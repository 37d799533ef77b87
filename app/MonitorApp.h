#pragma once

#include <QApplication>

// The application object: names the program (message boxes are titled after it), gives it its
// version and icon, and runs the main dialog modally for the whole life of the process.
class CMonitorApp : public QApplication
{
    Q_OBJECT

public:
    CMonitorApp(int& argc, char** argv);
    ~CMonitorApp() override;

    // Shows the main dialog and returns when it has ended.
    int InitInstance();
};
