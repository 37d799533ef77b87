#include "watch/WatchOptions.h"

#include "ProjectFacts.h"
#include "frames/DohResolvers.h"
#include "watch/OutputFields.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
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

using COption = CWatchOptions::COption;
using O = CWatchOptions&;
using V = std::string_view;
using W = std::string&;

bool Count(V value, std::uint64_t& nValue, W strWhat)
{
    strWhat = "a whole number above 0";
    return ParseCount(value, nValue);
}

bool Seconds(V value, std::uint64_t& nMs, W strWhat)
{
    strWhat = "seconds above 0";
    return ParseSeconds(value, nMs);
}

bool Filter(O o, CLineFilter::Kind nKind, V value, W strWhat)
{
    return o.filter.Add(nKind, value, strWhat);
}

constexpr COption OPTIONS[] = {
    {"--address", 0, COption::NEEDED, "ADDRESS", false,
     "capture on the interface that owns this local address\n"
     "(default: the first of --list-addresses, as in the window)\n",
     "@addresses", [](O o, V v, W) { return o.strAddress = v, true; }},
    {"--interface", 'i', COption::NEEDED, "NAME", false, "capture on this interface, or on every one with 'any'\n",
     "@interfaces", [](O o, V v, W) { return o.strInterface = v, true; }},
    {"--list-addresses", 0, COption::NONE, nullptr, false,
     "print the local addresses a capture can use, the default first,\n"
     "then the interfaces (\"address ADDRESS\", \"interface NAME\" lines)\n",
     "", [](O o, V, W) { return o.nAction = CWatchOptions::LIST_ADDRESSES, true; }},
    {"--check", 0, COption::NONE, nullptr, false,
     "say which rights this user has (capture, naming programs, BTF);\n"
     "exit 0 only when a capture will work\n",
     "", [](O o, V, W) { return o.nAction = CWatchOptions::CHECK, true; }},
    {"--read", 'r', COption::NEEDED, "FILE", false,
     "read the queries of a pcap or pcapng file (Ethernet, Linux\n"
     "cooked capture SLL or SLL2, raw IP); needs no right\n",
     "@files",
     [](O o, V v, W) {
         o.strFile = v;
         if (o.nAction == CWatchOptions::WATCH)
             o.nAction = CWatchOptions::READ_FILE;
         return true;
     }},
    {"--format", 'F', COption::NEEDED, "FORMAT", false,
     "text (aligned, the default), tsv, csv (RFC 4180) or json\n"
     "(JSON lines: one object per line)\n",
     "text tsv csv json",
     [](O o, V v, W strWhat) {
         strWhat = "text, tsv, csv or json";
         return CQueryFormat::FromName(v, o.format);
     }},
    {nullptr, 'q', COption::NONE, nullptr, false, "print no heads line (text, tsv, csv)\n", "",
     [](O o, V, W) { return o.bNoHeads = true; }},
    {"--output", 'o', COption::NEEDED, "FILE", false,
     "append the lines to FILE (created 0600; a regular file of\n"
     "this user's with one name, no link) instead of stdout;\n"
     "SIGHUP opens it again, for log rotation\n",
     "@files",
     [](O o, V v, W strWhat) {
         strWhat = "a file name";
         return !v.empty() && (o.strOutput = v, true);
     }},
    {"--queries-only", 0, COption::NONE, nullptr, false, "print each query at once, without waiting for its response\n",
     "", [](O o, V, W) { return o.bQueriesOnly = true; }},
    {"--lookups", 0, COption::NONE, nullptr, false,
     "also print the lookups programs of the captured network\n"
     "namespace ask of the C library (getaddrinfo, gethostbyname,\n"
     "getnameinfo), those that send no packet too: the default\n"
     "with exchanges; the user's own, and the system's\n",
     "", [](O o, V, W) { return o.nLookupsWanted = 1, true; }},
    {"--no-lookups", 0, COption::NONE, nullptr, false, "print no lookups\n", "",
     [](O o, V, W) { return o.nLookupsWanted = 0, true; }},
    {"--encrypted", 0, COption::NONE, nullptr, false,
     "also print each connection that speaks DNS encrypted: over\n"
     "TLS (port 853), HTTPS to a known resolver, or QUIC, with the\n"
     "program that opened it: the default with exchanges\n",
     "", [](O o, V, W) { return o.nEncryptedWanted = 1, true; }},
    {"--no-encrypted", 0, COption::NONE, nullptr, false, "print no encrypted connections\n", "",
     [](O o, V, W) { return o.nEncryptedWanted = 0, true; }},
    {"--doh-names", 0, COption::NEEDED, "FILE", false,
     "add the resolvers in FILE to the known ones that speak DNS\n"
     "over HTTPS: a host name, *.NAME or an address a line, # comments\n",
     "@files",
     [](O o, V v, W strWhat) {
         strWhat = "a file name";
         return !v.empty() && (o.strDohNamesFile = v, true);
     }},
    {"--timeout", 0, COption::NEEDED, "S", false,
     "a query with no response after S seconds is unanswered\n"
     "(default 5)\n",
     "", [](O o, V v, W strWhat) { return Seconds(v, o.nTimeoutMs, strWhat); }},
    {"--new-only", 0, COption::NONE, nullptr, false,
     "print only the first sighting of each name, ignoring the case\n"
     "of ASCII letters, as the window's list does\n",
     "", [](O o, V, W) { return o.bNewOnly = true; }},
    {"--count", 'c', COption::NEEDED, "N", false, "stop after N printed lines\n", "",
     [](O o, V v, W strWhat) { return Count(v, o.nCount, strWhat); }},
    {"--duration", 0, COption::NEEDED, "S", false, "stop after S seconds of live capture\n", "",
     [](O o, V v, W strWhat) { return Seconds(v, o.nDurationMs, strWhat); }},
    {"--top", 0, COption::OPTIONAL, "[N]", false,
     "instead of lines, a table of the N (default 20) busiest names,\n"
     "programs, sources, types and, with exchanges, response codes\n"
     "and slowest names, and each program's busiest and slowest\n"
     "lookups and its encrypted connections; on a terminal full-screen,\n"
     "switched by n p s t r l k w e or Tab, q quits; otherwise every table once at the\n"
     "end, as text or (--format json) one JSON object per table\n",
     "",
     [](O o, V v, W strWhat) {
         o.bTop = true;
         return v.empty() || Count(v, o.nTopRows, strWhat);
     }},
    {"--interval", 0, COption::NEEDED, "S", false, "--top redraws every S seconds (default 2)\n", "",
     [](O o, V v, W strWhat) { return Seconds(v, o.nIntervalMs, strWhat); }},
    {"--utc", 0, COption::NONE, nullptr, false, "print times in UTC (Z) instead of the local offset\n", "",
     [](O o, V, W) { return o.bUtc = true; }},
    {"--stats", 0, COption::NONE, nullptr, false, "print the counts (as SIGUSR1 does) on stderr at the end\n", "",
     [](O o, V, W) { return o.bStats = true; }},
    {"--help", 'h', COption::NONE, nullptr, false, "print this help and exit\n", "",
     [](O o, V, W) { return o.nAction = CWatchOptions::HELP, true; }},
    {"--version", 0, COption::NONE, nullptr, false, "print the version and exit\n", "",
     [](O o, V, W) { return o.nAction = CWatchOptions::VERSION, true; }},
    {"--name", 0, COption::NEEDED, "GLOB", true,
     "names matching the glob (fnmatch, e.g. *.example.com), the case\n"
     "of ASCII letters ignored, on the name as printed (\\DDD escapes)\n",
     "", [](O o, V v, W strWhat) { return Filter(o, CLineFilter::NAME, v, strWhat); }},
    {"--exclude-name", 0, COption::NEEDED, "GLOB", true, "drop names matching it, whatever else matches\n", "",
     [](O o, V v, W strWhat) { return Filter(o, CLineFilter::EXCLUDE_NAME, v, strWhat); }},
    {"--type", 0, COption::NEEDED, "T[,T...]", true, "query types: A, AAAA, HTTPS... or TYPEnnn\n",
     "A AAAA ANY CAA CNAME DNSKEY DS HTTPS MX NAPTR NS PTR SOA SRV SVCB TXT",
     [](O o, V v, W strWhat) { return Filter(o, CLineFilter::TYPE, v, strWhat); }},
    {"--program", 0, COption::NEEDED, "COMMAND", true, "queries of the program with this command, exactly\n",
     "@commands", [](O o, V v, W strWhat) { return Filter(o, CLineFilter::PROGRAM, v, strWhat); }},
    {"--user", 0, COption::NEEDED, "USER", true, "queries of programs of this user, exactly\n", "@users",
     [](O o, V v, W strWhat) { return Filter(o, CLineFilter::USER, v, strWhat); }},
    {"--source", 0, COption::NEEDED, "CIDR", true, "queries from an address in this IPv4 or IPv6 prefix\n", "",
     [](O o, V v, W strWhat) { return Filter(o, CLineFilter::SOURCE, v, strWhat); }},
    {"--rcode", 0, COption::NEEDED, "R[,R...]", true,
     "exchanges with this response code: NOERROR, NXDOMAIN...,\n"
     "RCODEnnn, or unanswered (not with --queries-only); lookups\n"
     "with this result: SUCCESS, EAI_NONAME, HOST_NOT_FOUND...\n",
     "NOERROR FORMERR SERVFAIL NXDOMAIN NOTIMP REFUSED YXDOMAIN YXRRSET NXRRSET NOTAUTH NOTZONE BADVERS unanswered "
     "SUCCESS EAI_NONAME EAI_AGAIN EAI_FAIL EAI_NODATA HOST_NOT_FOUND TRY_AGAIN NO_RECOVERY NO_DATA",
     [](O o, V v, W strWhat) { return Filter(o, CLineFilter::RCODE, v, strWhat); }},
    {"--min-latency", 0, COption::NEEDED, "MS", true,
     "exchanges answered after MS milliseconds or more, and\n"
     "unanswered ones (not with --queries-only)\n",
     "", [](O o, V v, W strWhat) { return Filter(o, CLineFilter::MIN_LATENCY, v, strWhat); }},
};

const COption* FindOption(std::string_view arg)
{
    for (const COption& option : OPTIONS)
    {
        if ((option.pszLong != nullptr && arg == option.pszLong)
            || (option.chShort != 0 && arg.size() == 2 && arg[0] == '-' && arg[1] == option.chShort))
            return &option;
    }
    return nullptr;
}

// "  -c, --count N" and its help, the help's lines from column 21, or after two spaces past it.
void AppendOptionHelp(std::string& strHelp, const COption& option)
{
    std::string strLeft = "  ";
    if (option.chShort != 0)
        strLeft += std::string {'-', option.chShort} + (option.pszLong != nullptr ? ", " : "");
    if (option.pszLong != nullptr)
        strLeft += option.pszLong;
    if (option.pszValueName != nullptr)
        strLeft += std::string(" ") + option.pszValueName;
    constexpr size_t HELP_COLUMN = 21;
    strLeft.append(strLeft.size() + 2 <= HELP_COLUMN ? HELP_COLUMN - strLeft.size() : 2, ' ');
    std::string_view help = option.pszHelp;
    for (bool bFirst = true; !help.empty(); bFirst = false)
    {
        const size_t nEnd = help.find('\n') + 1;
        strHelp += bFirst ? strLeft : std::string(HELP_COLUMN, ' ');
        strHelp += help.substr(0, nEnd);
        help.remove_prefix(nEnd);
    }
}

} // namespace

std::span<const CWatchOptions::COption> CWatchOptions::Options()
{
    return OPTIONS;
}

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
        const COption* pOption = FindOption(arg);
        if (pOption == nullptr)
        {
            strError = "unknown option '" + std::string(arg) + "'";
            return false;
        }
        switch (pOption->nValue)
        {
        case COption::NONE:
            if (bHasValue)
            {
                strError = std::string(arg) + " takes no value";
                return false;
            }
            break;
        case COption::NEEDED:
            if (!bHasValue && i + 1 >= argc)
            {
                strError = std::string(arg) + " needs a value";
                return false;
            }
            if (!bHasValue)
                value = argv[++i];
            break;
        case COption::OPTIONAL:
            // The next argument is the value only when it is a number: a following option or file is none.
            if (!bHasValue && i + 1 < argc && argv[i + 1][0] >= '0' && argv[i + 1][0] <= '9')
                value = argv[++i];
            break;
        }
        if (std::string strWhat; !pOption->pfnApply(*this, value, strWhat))
        {
            strError = std::string(arg) + ": " + strWhat + ", not '" + std::string(value) + "'";
            return false;
        }
    }
    format.SetExchanges(!bQueriesOnly);
    if (bQueriesOnly && filter.NeedsExchanges())
    {
        strError = "--rcode and --min-latency look at responses: they cannot go with --queries-only";
        return false;
    }
    // A lookup's line has its result where an exchange's has the response's: a query's line has
    // no room for it.
    if (bQueriesOnly && nLookupsWanted == 1)
    {
        strError = "--lookups prints results, which --queries-only leaves out: they cannot go together";
        return false;
    }
    // A file holds packets: its lookups, if any, were never seen.
    bLookups = !bQueriesOnly && nLookupsWanted != 0 && nAction != READ_FILE;
    // An encrypted connection's line tells its protocol where an exchange's has the response's code.
    if (bQueriesOnly && nEncryptedWanted == 1)
    {
        strError = "--encrypted prints lines of exchanges, which --queries-only leaves out: they cannot go together";
        return false;
    }
    bEncrypted = !bQueriesOnly && nEncryptedWanted != 0;
    if (!strDohNamesFile.empty() && !bEncrypted)
    {
        strError = "--doh-names adds to what encrypted connections are told by: it needs them shown";
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
    std::string strHelp =
        "Usage: tarrow-watch [OPTION]...\n"
        "Print the DNS exchanges seen on one local interface, one line each, as " TARROW_APP_NAME "'s capture\n"
        "helper captures them, or those in a pcap or pcapng file: each query with the response's\n"
        "code, its answers and the latency, or as unanswered once its time is up.\n"
        "\n"
        "Options:\n";
    for (const COption& option : OPTIONS)
    {
        if (!option.bFilter)
            AppendOptionHelp(strHelp, option);
    }
    strHelp += "\n"
               "Filters (each may be given again: values of one filter are alternatives, and every\n"
               "filter given must keep a line):\n";
    for (const COption& option : OPTIONS)
    {
        if (option.bFilter)
            AppendOptionHelp(strHelp, option);
    }
    // The fields as every format has them, in their order.
    std::string strFields = "\nFields, in the order of every format (JSON's keys, the heads of the others):\n";
    size_t nColumn = 0;
    for (const COutputField& field : OutputFields())
    {
        const std::string_view key = field.pszKey;
        const size_t nWidth = key.size() + (&field == &OutputFields().back() ? 0 : 1);
        if (nColumn > 0 && nColumn + 1 + nWidth > 90)
        {
            strFields += "\n";
            nColumn = 0;
        }
        else if (nColumn > 0)
        {
            strFields += ' ';
            ++nColumn;
        }
        strFields += key;
        if (&field != &OutputFields().back())
            strFields += ',';
        nColumn += nWidth;
    }
    strHelp += strFields + "\n"
               + "(rcode to alpn, and answers, only with exchanges). Names are in their master-file form,\n"
                 "as dig writes them; programs, users and units in their presentation form (printable\n"
                 "ASCII as it is, other bytes and backslash as \\DDD).\n"
                 "A line of kind lookup is a program's call of getaddrinfo, gethostbyname(2)(_r) or\n"
                 "getnameinfo: its result as rcode (SUCCESS, EAI_NONAME, HOST_NOT_FOUND...), what could not\n"
                 "be read as flags (name-cut, addresses-cut, unread), the family asked, the addresses found\n"
                 "as answers without a TTL, and the call's time as latency. An exchange a local resolver\n"
                 "made while such lookups of its name waited lists them in for, as program/pid/user/unit.\n"
                 "A line of kind encrypted is a connection that speaks DNS encrypted: encrypted says DoT\n"
                 "(TLS to port 853), DoH (TLS to port 443 of a known resolver, by its server name or its\n"
                 "address) or DoQ (QUIC to port 853, or to a known resolver's address); name is the\n"
                 "server name its hello sent, alpn its protocols, flags ech, cut or by-address. Other\n"
                 "HTTPS never leaves the capture helper.\n"
                 "Queries the kernel had to drop are counted on stderr (and as a record in JSON).\n"
                 "SIGUSR1 prints on stderr the counts so far: frames read, queries, missed (dropped by the\n"
                 "kernel), named and unnamed (whether the program was named), with exchanges answered and\n"
                 "unanswered (and how many given up early for room, in the table or on their key),\n"
                 "responses with a wrong checksum and those that could not be checked, lookups and those\n"
                 "lost (the kernel had no room for them), encrypted connections, and the lines printed.\n"
                 "\n"
                 "Exit status:\n"
                 "  0  done: --count or --duration reached, the file read, Ctrl+C or SIGTERM, or the reading end\n"
                 "     of the output closed\n"
                 "  1  the capture could not start, or ended by itself (the reason on stderr)\n"
                 "  2  bad command line\n"
                 "  3  --read: the file cannot be opened or read, or is cut short (the queries before the cut\n"
                 "     are printed)\n"
                 "  4  writing the output failed (a full disk, say), or -o's file cannot be opened\n";
    return strHelp;
}

bool CWatchOptions::ReadDohNames(std::string& strError)
{
    if (strDohNamesFile.empty())
        return true;
    const auto Fail = [&](const std::string& strWhy) {
        strError = "--doh-names " + strDohNamesFile + ": " + strWhy;
        return false;
    };
    std::ifstream file(strDohNamesFile, std::ios::binary);
    if (!file)
        return Fail(std::strerror(errno));
    // Far more than a list of every public resolver takes; a larger file is no list.
    constexpr size_t MAX_FILE_BYTES = 1 << 20;
    std::string strText(MAX_FILE_BYTES + 1, '\0');
    file.read(strText.data(), std::streamsize(strText.size()));
    if (file.bad())
        return Fail(std::strerror(errno));
    strText.resize(size_t(file.gcount()));
    if (strText.size() > MAX_FILE_BYTES)
        return Fail("longer than " + std::to_string(MAX_FILE_BYTES) + " bytes");
    CDohResolvers added;
    if (std::string strWhy; !added.Add(strText, &strWhy))
        return Fail(strWhy);
    strDohResolvers = added.ToText();
    if (strDohResolvers.size() > Channel::MAX_RESOLVERS_ARGUMENT_BYTES)
        return Fail("its entries take more than " + std::to_string(Channel::MAX_RESOLVERS_ARGUMENT_BYTES)
                    + " bytes, more than the capture helper takes");
    return true;
}
