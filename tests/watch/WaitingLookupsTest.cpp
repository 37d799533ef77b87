// The rule that says for whom a resolver asked, and the C library's words for a lookup's result.
#include "watch/LookupResult.h"
#include "watch/WaitingLookups.h"

#include <gtest/gtest.h>

#include <cstring>
#include <netdb.h>

using namespace Channel;

namespace {

CLookupRecord Lookup(std::uint32_t nPid, std::uint8_t nPhase, std::uint64_t nLatencyNs = 0)
{
    CLookupRecord lookup;
    lookup.nPhase = nPhase;
    lookup.sender.nPid = nPid;
    lookup.sender.nTid = nPid;
    lookup.sender.nNetNs = 7;
    lookup.nSeconds = 10;
    lookup.nLatencyNs = nLatencyNs;
    std::memcpy(lookup.sender.szCommand, "app", 3);
    return lookup;
}

} // namespace

TEST(WaitingLookupsTest, AQueryIsForTheLookupsOfItsNameThatRanInItsNamespaceWhenAnotherProcessSentIt)
{
    CSenderNames senders;
    CWaitingLookups waiting(1'000'000'000);
    waiting.Began(Lookup(5, LOOKUP_PHASE_BEGAN), "WWW.Example.com");
    waiting.Ended(Lookup(5, LOOKUP_PHASE_ENDED, 500'000'000), "WWW.Example.com");
    waiting.Began(Lookup(6, LOOKUP_PHASE_BEGAN), "slow.example.com"); // never ends here
    const struct
    {
        const char* pszWhat;
        const char* pszName;
        std::uint32_t nPid;
        std::uint32_t nNetNs;
        std::uint8_t nSender;
        std::uint32_t nNanoseconds; // of second 10; UINT32_MAX: second 11
        size_t nFor;
    } cases[] = {
        {"a resolver's query while it ran", "www.example.COM", 9, 7, SENDER_PROGRAM, 200'000'000, 1},
        {"the program's own query", "www.example.com", 5, 7, SENDER_PROGRAM, 200'000'000, 0},
        {"another namespace", "www.example.com", 9, 8, SENDER_PROGRAM, 200'000'000, 0},
        {"after the lookup ended", "www.example.com", 9, 7, SENDER_PROGRAM, 600'000'000, 0},
        {"another host's query", "www.example.com", 0, 0, SENDER_ANOTHER_HOST, 200'000'000, 0},
        {"another name (a search domain's)", "www.example.com.corp", 9, 7, SENDER_PROGRAM, 200'000'000, 0},
        {"a lookup still running", "slow.example.com", 9, 7, SENDER_PROGRAM, UINT32_MAX, 1},
    };
    for (const auto& one : cases)
    {
        CNameRecord query;
        query.nSender = one.nSender;
        query.sender.nPid = one.nPid;
        query.sender.nNetNs = one.nNetNs;
        query.facts.nSeconds = one.nNanoseconds == UINT32_MAX ? 11 : 10;
        query.facts.nNanoseconds = one.nNanoseconds == UINT32_MAX ? 0 : one.nNanoseconds;
        std::vector<CExchangeLine::CAskedFor> askedFor;
        waiting.AppendAskedFor(query, one.pszName, senders, askedFor);
        ASSERT_EQ(askedFor.size(), one.nFor) << one.pszWhat;
        if (one.nFor == 1)
        {
            EXPECT_EQ(askedFor[0].program, "app") << one.pszWhat;
        }
    }

    // The same name asked by two programs at once lists both.
    waiting.Began(Lookup(8, LOOKUP_PHASE_BEGAN), "www.example.com");
    CNameRecord query;
    query.nSender = SENDER_PROGRAM;
    query.sender.nPid = 9;
    query.sender.nNetNs = 7;
    query.facts.nSeconds = 10;
    query.facts.nNanoseconds = 100;
    std::vector<CExchangeLine::CAskedFor> askedFor;
    waiting.AppendAskedFor(query, "www.example.com", senders, askedFor);
    EXPECT_EQ(askedFor.size(), 2u);

    // An ended lookup is kept for the time given, a running one for a minute.
    waiting.Expire({11, 400'000'000});
    EXPECT_EQ(waiting.GetCount(), 3u);
    waiting.Expire({11, 600'000'000});
    EXPECT_EQ(waiting.GetCount(), 2u);
    waiting.Expire({10 + CWaitingLookups::MAX_RUNNING_NS / 1'000'000'000 + 1, 0});
    EXPECT_TRUE(waiting.IsEmpty());
}

TEST(LookupResultTest, EveryResultHasOneNameTheFiltersKnow)
{
    const struct
    {
        lookup_result_kind nKind;
        std::int32_t nResult;
        const char* pszName;
    } cases[] = {
        {LOOKUP_KIND_EAI, 0, "SUCCESS"},    {LOOKUP_KIND_EAI, EAI_NONAME, "EAI_NONAME"},
        {LOOKUP_KIND_HERRNO, 0, "SUCCESS"}, {LOOKUP_KIND_HERRNO, HOST_NOT_FOUND, "HOST_NOT_FOUND"},
        {LOOKUP_KIND_EAI, -77, "EAI-77"},   {LOOKUP_KIND_HERRNO, 9, "H_ERRNO9"},
        {LOOKUP_KIND_UNREAD, 5, "UNREAD"},
    };
    for (const auto& one : cases)
    {
        EXPECT_EQ(LookupResultName(one.nKind, one.nResult), one.pszName);
        EXPECT_TRUE(IsLookupResultName(one.pszName)) << one.pszName;
    }
    for (const char* pszNone : {"EAI-2", "EAI_", "NOERROR", "H_ERRNO", "H_ERRNOx", "eai_noname"})
        EXPECT_FALSE(IsLookupResultName(pszNone)) << pszNone;
}
