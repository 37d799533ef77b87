// Which lines the filters keep: globs on the presentation form, types and codes by any of their
// spellings, prefixes at their edges, latency for each way an exchange ends, and how kinds combine.
#include "watch/LineFilter.h"
#include "watch/NameGlob.h"

#include <fnmatch.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct CFilterValue
{
    CLineFilter::Kind nKind;
    const char* pszValue;
};

CLineFilter MakeFilter(const std::vector<CFilterValue>& values)
{
    CLineFilter filter;
    for (const CFilterValue& given : values)
    {
        std::string strError;
        EXPECT_TRUE(filter.Add(given.nKind, given.pszValue, strError)) << given.pszValue << ": " << strError;
    }
    return filter;
}

} // namespace

TEST(LineFilterTest, KeepsWhatEveryKindAndTheirMixSay)
{
    using enum CLineFilter::Kind;
    // Names come in their presentation form: a byte outside printable ASCII is \DDD.
    const std::string strEscaped = "bad\\001.Example.COM";
    CExchangeLine answered;
    answered.rcode = "NXDOMAIN";
    answered.bHasLatency = true;
    answered.nLatencyUs = 20'000;
    CExchangeLine unanswered;
    unanswered.nKind = CExchangeLine::UNANSWERED;
    CExchangeLine unasked;
    unasked.nKind = CExchangeLine::UNASKED;
    unasked.rcode = "NOERROR";

    struct
    {
        std::vector<CFilterValue> filters;
        std::string strName;
        std::string strType;
        std::string strSource;
        const CExchangeLine* pExchange;
        bool bKept;
    } cases[] = {
        {{}, "www.example.com", "A", "10.0.0.5", nullptr, true},
        {{{NAME, "*.example.com"}}, "WWW.Example.Com", "A", "10.0.0.5", nullptr, true},
        {{{NAME, "*.example.com"}}, "example.com", "A", "10.0.0.5", nullptr, false},
        {{{NAME, "*.example.com"}}, "a.b.example.com", "A", "10.0.0.5", nullptr, true},
        // A byte outside printable ASCII is matched as the \DDD it is shown as.
        {{{NAME, "bad\\\\001.*"}}, strEscaped, "A", "10.0.0.5", nullptr, true},
        {{{NAME, "bad?.*"}}, strEscaped, "A", "10.0.0.5", nullptr, false},
        {{{NAME, "*.org"}, {NAME, "*.com"}}, "www.example.com", "A", "10.0.0.5", nullptr, true},
        {{{NAME, "*.com"}, {EXCLUDE_NAME, "WWW.*"}}, "www.example.com", "A", "10.0.0.5", nullptr, false},
        {{{EXCLUDE_NAME, "*.local"}, {EXCLUDE_NAME, "*.arpa"}},
         "1.0.0.10.in-addr.arpa",
         "PTR",
         "10.0.0.5",
         nullptr,
         false},
        {{{TYPE, "aaaa,mx"}}, "x.example", "MX", "10.0.0.5", nullptr, true},
        {{{TYPE, "TYPE28"}}, "x.example", "AAAA", "10.0.0.5", nullptr, true},
        {{{TYPE, "TYPE65280"}}, "x.example", "TYPE65280", "10.0.0.5", nullptr, true},
        {{{TYPE, "A"}, {TYPE, "AAAA"}}, "x.example", "HTTPS", "10.0.0.5", nullptr, false},
        {{{SOURCE, "10.0.0.0/29"}}, "x.example", "A", "10.0.0.7", nullptr, true},
        {{{SOURCE, "10.0.0.0/29"}}, "x.example", "A", "10.0.0.8", nullptr, false},
        {{{SOURCE, "10.0.0.5"}}, "x.example", "A", "10.0.0.5", nullptr, true},
        {{{SOURCE, "0.0.0.0/0"}}, "x.example", "A", "fd00::1", nullptr, false},
        {{{SOURCE, "fd00::/7"}, {SOURCE, "192.0.2.0/24"}}, "x.example", "A", "fdff::1", nullptr, true},
        {{{SOURCE, "fd00::/7"}}, "x.example", "A", "fe00::1", nullptr, false},
        {{{RCODE, "nxdomain,SERVFAIL"}}, "x.example", "A", "10.0.0.5", &answered, true},
        {{{RCODE, "RCODE3"}}, "x.example", "A", "10.0.0.5", &answered, true},
        {{{RCODE, "NXDOMAIN"}}, "x.example", "A", "10.0.0.5", &unanswered, false},
        {{{RCODE, "unanswered"}}, "x.example", "A", "10.0.0.5", &unanswered, true},
        {{{RCODE, "unanswered"}}, "x.example", "A", "10.0.0.5", &unasked, false},
        {{{MIN_LATENCY, "20"}}, "x.example", "A", "10.0.0.5", &answered, true},
        {{{MIN_LATENCY, "20.001"}}, "x.example", "A", "10.0.0.5", &answered, false},
        {{{MIN_LATENCY, "1000"}}, "x.example", "A", "10.0.0.5", &unanswered, true},
        {{{MIN_LATENCY, "0"}}, "x.example", "A", "10.0.0.5", &unasked, false},
        // Across kinds every one must agree.
        {{{NAME, "*.example"}, {TYPE, "A"}, {SOURCE, "10.0.0.0/8"}, {RCODE, "NXDOMAIN"}},
         "x.example",
         "A",
         "10.0.0.5",
         &answered,
         true},
        {{{NAME, "*.example"}, {TYPE, "A"}, {SOURCE, "10.0.0.0/8"}, {RCODE, "NOERROR"}},
         "x.example",
         "A",
         "10.0.0.5",
         &answered,
         false},
    };
    for (const auto& entry : cases)
    {
        CLineFilter filter = MakeFilter(entry.filters);
        CQueryLine line;
        line.name = entry.strName;
        line.strType = entry.strType;
        line.strSource = entry.strSource;
        EXPECT_EQ(filter.Keeps(line, entry.pExchange), entry.bKept)
            << entry.strName << " " << entry.strType << " " << entry.strSource << " first filter "
            << (entry.filters.empty() ? "none" : entry.filters[0].pszValue);
    }

    // Programs and users are matched exactly, case and all.
    CLineFilter byProgram = MakeFilter({{PROGRAM, "dig"}, {USER, "alice"}});
    CQueryLine line;
    line.name = "x.example";
    line.program = "dig";
    line.user = "alice";
    EXPECT_TRUE(byProgram.Keeps(line, nullptr));
    line.user = "Alice";
    EXPECT_FALSE(byProgram.Keeps(line, nullptr));
    line.user = "alice";
    line.program = "digger";
    EXPECT_FALSE(byProgram.Keeps(line, nullptr));
}

TEST(LineFilterTest, RefusesValuesNoLineCouldShowAndSaysWhatItTakes)
{
    using enum CLineFilter::Kind;
    const struct
    {
        CLineFilter::Kind nKind;
        std::string strValue;
        const char* pszTakes;
    } cases[] = {
        {NAME, "", "a glob"},
        {NAME, "tab\there", "a glob"},
        {EXCLUDE_NAME, "ends.in\\", "a glob"},
        {TYPE, "AAAAA", "a type"},
        {TYPE, "A,", "a type"},
        {TYPE, "TYPE65536", "a type"},
        {TYPE, "TYPE", "a type"},
        {PROGRAM, "", "a program's command"},
        {USER, "", "a user name"},
        {SOURCE, "10.0.0.0/33", "a CIDR"},
        {SOURCE, "fd00::/129", "a CIDR"},
        {SOURCE, "10.0.0/8", "a CIDR"},
        {SOURCE, "10.0.0.0/", "a CIDR"},
        {SOURCE, "example.com", "a CIDR"},
        {RCODE, "NXDOMAINS", "a response code"},
        {RCODE, "RCODE4096", "a response code"},
        {MIN_LATENCY, "-1", "milliseconds"},
        {MIN_LATENCY, "5ms", "milliseconds"},
        {MIN_LATENCY, "nan", "milliseconds"},
    };
    for (const auto& entry : cases)
    {
        CLineFilter filter;
        std::string strError;
        EXPECT_FALSE(filter.Add(entry.nKind, entry.strValue, strError)) << entry.strValue;
        EXPECT_NE(strError.find(entry.pszTakes), std::string::npos) << entry.strValue << ": " << strError;
    }
    // An escaped backslash at the end is one to match, not a lone escape.
    CLineFilter filter;
    std::string strError;
    EXPECT_TRUE(filter.Add(NAME, "ends.in\\\\", strError)) << strError;
}

// Globs of stars and texts are matched without fnmatch, and must agree with it on every name,
// where texts overlap, repeat, or leave no room between them above all.
TEST(LineFilterTest, StarGlobsMatchWhatFnmatchMatches)
{
    const char* const globs[] = {"*",       "**",       "*.example.com", "EXAMPLE.COM", "ads.*",
                                 "*track*", "a*a",      "*a*a*",         "ab*ba",       "*.*",
                                 "x*",      "*\\\\065", "?.example.com", "[ab]*.com",   ""};
    const char* const names[] = {"",
                                 "a",
                                 "aa",
                                 "aba",
                                 "abba",
                                 "example.com",
                                 "www.Example.COM",
                                 "ads.example",
                                 "ADS.",
                                 "mytracker.net",
                                 "x",
                                 "a\\065",
                                 "b.example.com",
                                 "ab.example.com",
                                 "tracktrack"};
    for (const char* pszGlob : globs)
    {
        const CNameGlob glob(pszGlob);
        for (const char* pszName : names)
            EXPECT_EQ(glob.Matches(pszName), fnmatch(pszGlob, pszName, FNM_CASEFOLD) == 0)
                << pszGlob << " on " << pszName;
    }
}
