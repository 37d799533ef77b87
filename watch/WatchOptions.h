#pragma once

#include "watch/LineFilter.h"
#include "watch/QueryFormat.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// tarrow-watch's command line, and the exit codes it documents.
struct CWatchOptions
{
    enum ExitCode
    {
        EXIT_DONE = 0,           // --count or --duration reached, the file read, stopped, or the reader left
        EXIT_CAPTURE_FAILED = 1, // the capture did not start, or ended by itself (the reason on stderr)
        EXIT_USAGE = 2,          // a bad command line
        EXIT_FILE_FAILED =
            3, // --read: the file cannot be opened or read, or is cut (its names before the cut are printed)
        EXIT_OUTPUT_FAILED = 4, // writing the output failed for another reason than a closed pipe
    };

    enum Action
    {
        WATCH,
        READ_FILE,
        LIST_ADDRESSES,
        CHECK,
        HELP,
        VERSION,
    };

    Action nAction = WATCH;
    std::string strAddress; // empty: the window's default, the first address listed
    // --interface: a name, or "any"; excludes --address
    std::string strInterface;
    std::string strFile;
    CQueryFormat format;
    bool bNewOnly = false;
    bool bUtc = false;
    bool bQueriesOnly = false; // queries as they come, without their responses
    // The lookups programs ask of the C library: on with exchanges unless --no-lookups.
    bool bLookups = false;
    int nLookupsWanted = -1; // --lookups 1, --no-lookups 0, neither -1
    // The connections that speak DNS encrypted: on with exchanges unless --no-encrypted.
    bool bEncrypted = false;
    int nEncryptedWanted = -1;       // --encrypted 1, --no-encrypted 0, neither -1
    std::string strDohNamesFile;     // --doh-names
    std::string strDohResolvers;     // its entries, one a line, once ReadDohNames took them
    std::uint64_t nTimeoutMs = 5000; // a query unanswered this long is given up
    std::uint64_t nCount = 0;        // 0: no limit
    std::uint64_t nDurationMs = 0;   // 0: no limit
    bool bNoHeads = false;           // -q: no heads line in text, TSV and CSV
    std::string strOutput;           // -o: a file to append to instead of stdout
    bool bStats = false;             // the counts on stderr at the end too
    CLineFilter filter;
    bool bTop = false; // a table of the busiest keys instead of the lines
    std::uint64_t nTopRows = 20;
    std::uint64_t nIntervalMs = 2000; // --top's refresh on a terminal

    // False with the reason in strError for an unknown option, a missing or bad value.
    bool Parse(int argc, const char* const* argv, std::string& strError);
    // Reads and checks --doh-names' file into strDohResolvers; false with why in strError.
    bool ReadDohNames(std::string& strError);
    static std::string HelpText();

    // One row an option: the parser, --help (and the man page help2man makes of it) and the bash
    // completion's test all read these; a new option is one row.
    struct COption
    {
        const char* pszLong;
        char chShort; // 0: none
        enum Value
        {
            NONE,
            NEEDED,
            OPTIONAL, // taken from the next argument only when that is a number: --top [N]
        } nValue;
        const char* pszValueName; // in --help
        bool bFilter;             // listed under the filters
        const char* pszHelp;      // its lines in --help, each ending in '\n'
        // What the shell completes its value with: words, or "@interfaces", "@addresses",
        // "@files", "@users", "@commands"; empty for a value nobody can guess.
        const char* pszCompletion;
        // Takes the value; false with what the value must be in strWhat.
        bool (*pfnApply)(CWatchOptions& options, std::string_view value, std::string& strWhat);
    };
    static std::span<const COption> Options();
};
