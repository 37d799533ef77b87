// tarrow-watch: the queries of one interface, or of a pcap file, as lines for terminals and log
// pipelines.
#include "capture/LocalAddresses.h"
#include "platform/RootRights.h"
#include "watch/RightsCheck.h"
#include "watch/StopSignals.h"
#include "watch/WatchLoop.h"
#include "watch/WatchOptions.h"

#include "ProjectFacts.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    // First of all: root's tarrow-watch parses files and other processes' records, and needs none
    // of root's rights for that; the helper holds the one capture needs.
    if (std::string strWhy; !GiveUpRootRights(&strWhy))
    {
        std::fprintf(stderr, "tarrow-watch: could not give up root's capabilities (%s); not starting\n",
                     strWhy.c_str());
        return CWatchOptions::EXIT_CAPTURE_FAILED;
    }
    CWatchOptions options;
    std::string strError;
    if (!options.Parse(argc, argv, strError) || !options.ReadDohNames(strError))
    {
        std::fprintf(stderr, "tarrow-watch: %s\nTry 'tarrow-watch --help'.\n", strError.c_str());
        return CWatchOptions::EXIT_USAGE;
    }
    if (!CStopSignals::Install())
    {
        std::fprintf(stderr, "tarrow-watch: the stop signals could not be set up: %s\n", std::strerror(errno));
        return CWatchOptions::EXIT_CAPTURE_FAILED;
    }

    std::string strText;
    int nExit = CWatchOptions::EXIT_DONE;
    switch (options.nAction)
    {
    case CWatchOptions::HELP:
        strText = CWatchOptions::HelpText();
        break;
    case CWatchOptions::VERSION:
        strText = "tarrow-watch " TARROW_VERSION "\n";
        break;
    case CWatchOptions::CHECK:
    {
        CRightsCheck check;
        nExit = check.Run() ? CWatchOptions::EXIT_DONE : CWatchOptions::EXIT_CAPTURE_FAILED;
        strText = check.GetText();
        break;
    }
    case CWatchOptions::LIST_ADDRESSES:
        for (const std::string& strAddress : ListLocalIpAddresses())
            strText += "address " + strAddress + "\n";
        for (const std::string& strInterface : ListCaptureInterfaces())
            strText += "interface " + strInterface + "\n";
        break;
    case CWatchOptions::READ_FILE:
        return CWatchLoop(options, STDOUT_FILENO, stderr).RunFile(true);
    case CWatchOptions::WATCH:
        return CWatchLoop(options, STDOUT_FILENO, stderr).RunCapture();
    }
    return std::fwrite(strText.data(), 1, strText.size(), stdout) == strText.size() && std::fflush(stdout) == 0
               ? nExit
               : CWatchOptions::EXIT_OUTPUT_FAILED;
}
