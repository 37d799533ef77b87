#include "app/MonitorApp.h"
#include "platform/RootRights.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    // Before Qt starts any thread: each thread has capabilities of its own.
    std::string strWhy;
    if (!GiveUpRootRights(&strWhy))
    {
        // Going on would hand root's rights to every program the window starts.
        std::fprintf(stderr, "tarrow: could not give up root's capabilities (%s); not starting\n", strWhy.c_str());
        return 1;
    }
    CMonitorApp app(argc, argv);
    return app.InitInstance();
}
