#include "app/MonitorApp.h"
#include "capture/RootRights.h"

#include <cstdio>

int main(int argc, char** argv)
{
    // Before Qt starts any thread: each thread has capabilities of its own.
    if (!GiveUpRootRights())
        std::fputs("tarrow: could not give up root's capabilities; running with them\n", stderr);
    CMonitorApp app(argc, argv);
    return app.InitInstance();
}
