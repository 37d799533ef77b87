#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What an exchange adds to its query's line: how it ended, the response's code, its answers, their
// smallest TTL and the time from the query's frame to the response's, and the lookups of other
// programs it was asked for. A lookup's line is one too: its result as the code, its addresses as
// answers and the call's time as the latency. Texts are the helper's presentation form already;
// each format writes them in its own way.
struct CExchangeLine
{
    enum Kind
    {
        ANSWERED,   // a query and the response to it
        UNANSWERED, // a query no response came to within the timeout
        UNASKED,    // a response whose query came before the capture, or was missed
        LOOKUP,     // a lookup of the C library, which sent no packet of its own or no packet at all
        ENCRYPTED,  // a connection that speaks DNS encrypted: no code, answers or latency
    };
    struct CAnswer
    {
        std::string_view owner;
        std::string_view type; // the mnemonic, or TYPE and the number
        std::uint32_t nTtl = 0;
        std::string_view data;
        bool bHasTtl = true; // a lookup's addresses have none
    };
    // A program whose lookup of the name waited while a resolver asked it.
    struct CAskedFor
    {
        std::uint32_t nPid = 0;
        std::string program;
        std::string user;
        std::string unit;
    };

    Kind nKind = ANSWERED;
    std::string_view rcode; // NOERROR, NXDOMAIN..., RCODE and the number; empty for UNANSWERED
    std::string_view flags; // the header's, in dig's words: qr,aa,tc,rd,ra,ad,cd; empty for UNANSWERED
    std::vector<CAnswer> answers;
    bool bHasTtlMin = false;
    std::uint32_t nTtlMin = 0;
    bool bHasLatency = false; // ANSWERED only
    std::uint64_t nLatencyUs = 0;
    // Queries sent again with the same id and question before the response; the latency counts
    // from the first.
    unsigned nRetries = 0;
    // Answers the response held that the line does not: more than a record carries, or unreadable.
    unsigned nAnswersLeftOut = 0;
    std::string_view family {};         // LOOKUP only: inet, inet6, unspec, or the number asked
    std::vector<CAskedFor> askedFor {}; // the exchange was a resolver's, for these lookups
    std::string_view encrypted {};      // ENCRYPTED only: DoT, DoH or DoQ
    std::string_view alpn {};           // ENCRYPTED only: the hello's ALPN protocols, apart at commas
};
