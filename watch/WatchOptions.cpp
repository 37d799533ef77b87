#include "watch/WatchOptions.h"

#include "ProjectFacts.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace {

bool ParseCount(std::string_view text, std::uint64_t& nValue)
{
    const auto result = std::from_chars(text.data(), text.data() + text.size(), nValue);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() && nValue > 0;
}

bool ParseSeconds(std::string_view text, std::uint64_t& nMs)
{
    double dSeconds = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), dSeconds);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || !(dSeconds > 0) || dSeconds > 1e9)
        return false;
    nMs = std::uint64_t(std::ceil(dSeconds * 1000));
    return true;
}

} // namespace

bool CWatchOptions::Parse(int argc, const char* const* argv, std::string& strError)
{
    for (int i = 1; i < argc; ++i)
    {
        std::string_view arg(argv[i]);
        std::string_view value;
        bool bHasValue = false;
        // "--option=value" and "--option value" alike.
        if (const size_t nEqual = arg.find('='); arg.starts_with("--") && nEqual != std::string_view::npos)
        {
            value = arg.substr(nEqual + 1);
            arg = arg.substr(0, nEqual);
            bHasValue = true;
        }
        // Short options as tcpdump's: "-c5" and "-c 5" alike.
        else if (arg.size() > 2 && arg[0] == '-' && arg[1] != '-')
        {
            value = arg.substr(2);
            arg = arg.substr(0, 2);
            bHasValue = true;
        }
        const auto TakeValue = [&]() -> bool {
            if (bHasValue)
                return true;
            if (i + 1 >= argc)
            {
                strError = std::string(arg) + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        const auto Bad = [&](std::string_view what) {
            strError = std::string(arg) + ": " + std::string(what) + ", not '" + std::string(value) + "'";
            return false;
        };
        const auto AddFilter = [&](CLineFilter::Kind nKind) {
            std::string strWhat;
            return TakeValue() && (filter.Add(nKind, value, strWhat) || Bad(strWhat));
        };

        if (arg == "--help" || arg == "-h")
            nAction = HELP;
        else if (arg == "--version")
            nAction = VERSION;
        else if (arg == "--list-addresses")
            nAction = LIST_ADDRESSES;
        else if (arg == "--check")
            nAction = CHECK;
        else if (arg == "--new-only")
            bNewOnly = true;
        else if (arg == "--utc")
            bUtc = true;
        else if (arg == "--queries-only")
            bQueriesOnly = true;
        else if (arg == "--timeout")
        {
            if (!TakeValue())
                return false;
            if (!ParseSeconds(value, nTimeoutMs))
                return Bad("seconds above 0");
        }
        else if (arg == "--address")
        {
            if (!TakeValue())
                return false;
            strAddress = value;
        }
        else if (arg == "-q")
            bNoHeads = true;
        else if (arg == "--stats")
            bStats = true;
        else if (arg == "--output" || arg == "-o")
        {
            if (!TakeValue())
                return false;
            if (value.empty())
                return Bad("a file name");
            strOutput = value;
        }
        else if (arg == "--name")
        {
            if (!AddFilter(CLineFilter::NAME))
                return false;
        }
        else if (arg == "--exclude-name")
        {
            if (!AddFilter(CLineFilter::EXCLUDE_NAME))
                return false;
        }
        else if (arg == "--type")
        {
            if (!AddFilter(CLineFilter::TYPE))
                return false;
        }
        else if (arg == "--program")
        {
            if (!AddFilter(CLineFilter::PROGRAM))
                return false;
        }
        else if (arg == "--user")
        {
            if (!AddFilter(CLineFilter::USER))
                return false;
        }
        else if (arg == "--source")
        {
            if (!AddFilter(CLineFilter::SOURCE))
                return false;
        }
        else if (arg == "--rcode")
        {
            if (!AddFilter(CLineFilter::RCODE))
                return false;
        }
        else if (arg == "--min-latency")
        {
            if (!AddFilter(CLineFilter::MIN_LATENCY))
                return false;
        }
        else if (arg == "--interface" || arg == "-i")
        {
            if (!TakeValue())
                return false;
            strInterface = value;
        }
        else if (arg == "--read" || arg == "-r")
        {
            if (!TakeValue())
                return false;
            strFile = value;
            if (nAction == WATCH)
                nAction = READ_FILE;
        }
        else if (arg == "--count" || arg == "-c")
        {
            if (!TakeValue())
                return false;
            if (!ParseCount(value, nCount))
                return Bad("a whole number above 0");
        }
        else if (arg == "--duration")
        {
            if (!TakeValue())
                return false;
            if (!ParseSeconds(value, nDurationMs))
                return Bad("seconds above 0");
        }
        else if (arg == "--top")
        {
            bTop = true;
            // N is optional: the next argument is it only when it is a number.
            if (!bHasValue && i + 1 < argc && argv[i + 1][0] >= '0' && argv[i + 1][0] <= '9')
            {
                value = argv[++i];
                bHasValue = true;
            }
            if (bHasValue && !ParseCount(value, nTopRows))
                return Bad("a whole number above 0");
        }
        else if (arg == "--interval")
        {
            if (!TakeValue())
                return false;
            if (!ParseSeconds(value, nIntervalMs))
                return Bad("seconds above 0");
        }
        else if (arg == "--format" || arg == "-F")
        {
            if (!TakeValue())
                return false;
            if (!CQueryFormat::FromName(value, format))
                return Bad("text, tsv, csv or json");
        }
        else
        {
            strError = "unknown option '" + std::string(arg) + "'";
            return false;
        }
        if (bHasValue
            && (arg == "--help" || arg == "-h" || arg == "--version" || arg == "--list-addresses" || arg == "--check"
                || arg == "--new-only" || arg == "--utc" || arg == "--queries-only" || arg == "-q" || arg == "--stats"))
        {
            strError = std::string(arg) + " takes no value";
            return false;
        }
    }
    format.SetExchanges(!bQueriesOnly);
    if (bQueriesOnly && filter.NeedsExchanges())
    {
        strError = "--rcode and --min-latency look at responses: they cannot go with --queries-only";
        return false;
    }
    if (nAction == READ_FILE && !strAddress.empty())
    {
        strError = "--read and --address exclude each other";
        return false;
    }
    if (!strInterface.empty() && (nAction == READ_FILE || !strAddress.empty()))
    {
        strError = nAction == READ_FILE ? "--read and --interface exclude each other"
                                        : "--address and --interface exclude each other";
        return false;
    }
    return true;
}

std::string CWatchOptions::HelpText()
{
    return "Usage: tarrow-watch [OPTION]...\n"
           "Print the DNS exchanges seen on one local interface, one line each, as " TARROW_APP_NAME "'s capture\n"
           "helper captures them, or those in a pcap or pcapng file: each query with the response's\n"
           "code, its answers and the latency, or as unanswered once its time is up.\n"
           "\n"
           "Options:\n"
           "  --address ADDRESS  capture on the interface that owns this local address\n"
           "                     (default: the first of --list-addresses, as in the window)\n"
           "  -i, --interface NAME  capture on this interface, or on every one with 'any'\n"
           "  --list-addresses   print the local addresses a capture can use, the default first,\n"
           "                     then the interfaces (\"address ADDRESS\", \"interface NAME\" lines)\n"
           "  --check            say which rights this user has (capture, naming programs, BTF);\n"
           "                     exit 0 only when a capture will work\n"
           "  -r, --read FILE    read the queries of a pcap or pcapng file (Ethernet, Linux\n"
           "                     cooked capture SLL or SLL2, raw IP); needs no right\n"
           "  -F, --format FORMAT  text (aligned, the default), tsv, csv (RFC 4180) or json\n"
           "                     (JSON lines: one object per line)\n"
           "  -q                 print no heads line (text, tsv, csv)\n"
           "  -o, --output FILE  append the lines to FILE (created 0600; a regular file of\n"
           "                     this user's with one name, no link) instead of stdout;\n"
           "                     SIGHUP opens it again, for log rotation\n"
           "  --queries-only     print each query at once, without waiting for its response\n"
           "  --timeout S        a query with no response after S seconds is unanswered\n"
           "                     (default 5)\n"
           "  --new-only         print only the first sighting of each name, ignoring the case\n"
           "                     of ASCII letters, as the window's list does\n"
           "  -c, --count N      stop after N printed lines\n"
           "  --duration S       stop after S seconds of live capture\n"
           "  --top [N]          instead of lines, a table of the N (default 20) busiest names,\n"
           "                     programs, sources, types and, with exchanges, response codes\n"
           "                     and slowest names; on a terminal full-screen, switched by\n"
           "                     n p s t r l or Tab, q quits; otherwise every table once at the\n"
           "                     end, as text or (--format json) one JSON object per table\n"
           "  --interval S       --top redraws every S seconds (default 2)\n"
           "  --utc              print times in UTC (Z) instead of the local offset\n"
           "  --stats            print the counts (as SIGUSR1 does) on stderr at the end\n"
           "  -h, --help         print this help and exit\n"
           "  --version          print the version and exit\n"
           "\n"
           "Filters (each may be given again: values of one filter are alternatives, and every\n"
           "filter given must keep a line):\n"
           "  --name GLOB        names matching the glob (fnmatch, e.g. *.example.com), the case\n"
           "                     of ASCII letters ignored, on the name as printed (\\DDD escapes)\n"
           "  --exclude-name GLOB  drop names matching it, whatever else matches\n"
           "  --type T[,T...]    query types: A, AAAA, HTTPS... or TYPEnnn\n"
           "  --program COMMAND  queries of the program with this command, exactly\n"
           "  --user USER        queries of programs of this user, exactly\n"
           "  --source CIDR      queries from an address in this IPv4 or IPv6 prefix\n"
           "  --rcode R[,R...]   exchanges with this response code: NOERROR, NXDOMAIN...,\n"
           "                     RCODEnnn, or unanswered (not with --queries-only)\n"
           "  --min-latency MS   exchanges answered after MS milliseconds or more, and\n"
           "                     unanswered ones (not with --queries-only)\n"
           "\n"
           "Fields: time (RFC 3339, microseconds), name (in its presentation form: printable ASCII as it\n"
           "is, other bytes and backslash as \\DDD), query type (A, AAAA, HTTPS... or TYPEnnn), transport,\n"
           "source and destination address and port, DNS id and, where the helper can tell, the\n"
           "sender (\"another user\", \"another host\"), pid, program, user and systemd unit or cgroup;\n"
           "for an exchange also the response code, the answers, their smallest TTL and the latency.\n"
           "Queries the kernel had to drop are counted on stderr (and as a record in JSON).\n"
           "SIGUSR1 prints on stderr the counts so far: frames read, queries, missed (dropped by the\n"
           "kernel), named and unnamed (whether the program was named), with exchanges answered and\n"
           "unanswered (and how many given up early for room, in the table or on their key),\n"
           "responses with a wrong checksum and those that could not be checked, and the lines\n"
           "printed.\n"
           "\n"
           "Exit status:\n"
           "  0  done: --count or --duration reached, the file read, Ctrl+C or SIGTERM, or the reading end\n"
           "     of the output closed\n"
           "  1  the capture could not start, or ended by itself (the reason on stderr)\n"
           "  2  bad command line\n"
           "  3  --read: the file cannot be opened or read, or is cut short (the queries before the cut\n"
           "     are printed)\n"
           "  4  writing the output failed (a full disk, say), or -o's file cannot be opened\n";
}
