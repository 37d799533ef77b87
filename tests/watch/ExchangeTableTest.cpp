// The join of responses to their queries: what answers what, what is never joined to a wrong
// query, retransmissions, timeouts and the bound on what waits.
#include "common/Records.h"
#include "watch/ExchangeTable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Channel;
using namespace TestRecords;

namespace {

// The response to Query(): from 10.53.1.1:53 back to 10.53.1.2:40000, same id and question.
CResponseRecord Response(std::int64_t nSeconds)
{
    const CNameRecord query = Query();
    CResponseRecord response;
    response.nSeconds = nSeconds;
    response.nProtocol = query.nProtocol;
    response.nIpVersion = query.nIpVersion;
    std::memcpy(response.abSource, query.abDestination, 16);
    std::memcpy(response.abDestination, query.abSource, 16);
    response.nSourcePort = query.nDestinationPort;
    response.nDestinationPort = query.nSourcePort;
    response.nDnsId = query.nDnsId;
    response.nQueryType = query.nQueryType;
    response.bHasType = 1;
    return response;
}

struct CTold : CExchangeTable::CSink
{
    std::vector<std::string> lines;
    void OnExchange(const CExchangeTable::CQuery* pQuery, const CResponseRecord* pResponse,
                    std::string_view responseName, std::string_view) override
    {
        lines.push_back(pQuery == nullptr      ? "unasked " + std::string(responseName)
                        : pResponse == nullptr ? "unanswered " + pQuery->strName
                                               : "answered " + pQuery->strName + " after "
                                                     + std::to_string(pResponse->nSeconds - pQuery->record.nSeconds)
                                                     + "s, retries " + std::to_string(pQuery->nRetries));
    }
};

} // namespace

TEST(ExchangeTableTest, ResponsesJoinOnlyTheQueryTheyAnswer)
{
    const std::int64_t T = Query().nSeconds;
    // Each case: how the response differs from the one to Query(), the name it asks, and the line.
    const struct
    {
        const char* pszWhat;
        void (*Change)(CResponseRecord&);
        const char* pszName;
        const char* pszTold;
    } cases[] = {
        {"the answer", [](CResponseRecord&) {}, "www.example.org", "answered www.example.org after 1s, retries 0"},
        {"another case of the name", [](CResponseRecord&) {}, "WWW.Example.ORG",
         "answered www.example.org after 1s, retries 0"},
        {"another name", [](CResponseRecord&) {}, "www.example.net", "unasked www.example.net"},
        {"another type", [](CResponseRecord& r) { r.nQueryType = 1; }, "www.example.org", "unasked www.example.org"},
        {"no question: the only query that fits", [](CResponseRecord& r) { r.bHasType = 0, r.nQueryType = 0; }, "",
         "answered www.example.org after 1s, retries 0"},
        {"another id", [](CResponseRecord& r) { r.nDnsId ^= 1; }, "www.example.org", "unasked www.example.org"},
        {"another host answers", [](CResponseRecord& r) { r.abSource[3] = 9; }, "www.example.org",
         "unasked www.example.org"},
        {"from another port", [](CResponseRecord& r) { r.nSourcePort = 5353; }, "www.example.org",
         "unasked www.example.org"},
        {"to another port", [](CResponseRecord& r) { r.nDestinationPort = 40001; }, "www.example.org",
         "unasked www.example.org"},
        {"over TCP", [](CResponseRecord& r) { r.nProtocol = IPPROTO_TCP; }, "www.example.org",
         "unasked www.example.org"},
    };
    for (const auto& entry : cases)
    {
        CTold told;
        CExchangeTable table(told, 5'000'000'000);
        table.OnQuery(Query(), "www.example.org");
        CResponseRecord response = Response(T + 1);
        entry.Change(response);
        table.OnResponse(response, entry.pszName, {});
        table.Flush();
        std::vector<std::string> expected {entry.pszTold};
        if (std::string(entry.pszTold).starts_with("unasked"))
            expected.push_back("unanswered www.example.org");
        EXPECT_EQ(told.lines, expected) << entry.pszWhat;
    }
}

TEST(ExchangeTableTest, RetransmissionsJoinTheFirstTimeoutsAndTheBoundGiveUpTheOldest)
{
    const std::int64_t T = Query().nSeconds;
    CTold told;
    CExchangeTable table(told, 5'000'000'000, 2);
    CNameRecord query = Query();
    table.OnQuery(query, "a.example");
    query.nSeconds = T + 2;
    table.OnQuery(query, "A.EXAMPLE");
    table.OnResponse(Response(T + 3), "a.example", {});
    EXPECT_EQ(told.lines, std::vector<std::string> {"answered a.example after 3s, retries 1"});

    // Just inside the timeout, then on it.
    told.lines.clear();
    query.nSeconds = T;
    table.OnQuery(query, "b.example");
    table.Expire(std::uint64_t(T + 5) * 1'000'000'000 + query.nNanoseconds - 1);
    EXPECT_TRUE(told.lines.empty());
    table.Expire(std::uint64_t(T + 5) * 1'000'000'000 + query.nNanoseconds);
    EXPECT_EQ(told.lines, std::vector<std::string> {"unanswered b.example"});

    // A third query to a table of two gives up the oldest at once.
    told.lines.clear();
    for (const char* pszName : {"c.example", "d.example", "e.example"})
    {
        query.nDnsId++;
        table.OnQuery(query, pszName);
    }
    EXPECT_EQ(told.lines, std::vector<std::string> {"unanswered c.example"});
    EXPECT_EQ(table.GetGivenUpCount(), 1u);
    EXPECT_EQ(table.GetOpenCount(), 2u);
}
