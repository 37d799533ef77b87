// The table that joins a captured query to the program that sent it, and who that program may be
// shown as.
#include "dns/DnsLayout.h"
#include "helper/SenderPrivacy.h"
#include "helper/SenderTable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace Channel;

// Limits in pairs: the first human uid, nobody and the uids beside it; root sees everyone.
TEST(SenderPrivacyTest, OtherPeoplesProgramsStayAnonymousAndSystemOnesAreNamed)
{
    const struct
    {
        std::uint32_t nUid, nOwnUid;
        bool bNamed;
    } cases[] = {
        {999, 1000, true},   {1000, 1001, false},  {1000, 1000, true}, {65533, 1000, false},
        {65534, 1000, true}, {65535, 1000, false}, {4242, 0, true},    {0, 1000, true},
    };
    for (const auto& one : cases)
        EXPECT_EQ(MayNameSender(one.nUid, one.nOwnUid), one.bNamed) << one.nUid << " for " << one.nOwnUid;
}

// What a record carries of its event: everything for a program that may be named, nothing otherwise.
TEST(SenderTableTest, NameFillsTheRecordOnlyForAProgramThatMayBeNamed)
{
    const struct
    {
        std::uint32_t nUid;
        bool bSenderKnown;
        Sender nSender;
    } cases[] = {
        {1000, true, SENDER_PROGRAM},
        {1001, true, SENDER_ANOTHER_USER},
        {1000, false, SENDER_UNKNOWN}, // sent from a softirq by a socket never seen sending
    };
    for (const auto& one : cases)
    {
        sender_event event {};
        event.uid = one.nUid;
        event.pid = 77;
        event.sender_known = one.bSenderKnown;
        std::strcpy(event.comm, "dig");
        CNameRecord record;
        CSenderTable::Name(event, 1000, &record.nSender, &record.sender);
        EXPECT_EQ(int(record.nSender), int(one.nSender)) << one.nUid;
        EXPECT_EQ(record.IsAnonymous(), one.nSender != SENDER_PROGRAM) << one.nUid;
        EXPECT_EQ(record.sender.nPid == 77 && std::strcmp(record.sender.szCommand, "dig") == 0,
                  one.nSender == SENDER_PROGRAM)
            << one.nUid;
    }
}

// How a frame finds its event: by tuple and id, within the event's life, TCP by tuple alone.
TEST(SenderTableTest, JoinsByTupleAndIdWithinTheEventsLife)
{
    constexpr std::uint64_t SENT_NS = 5000000000;
    const auto event = [](std::uint8_t nProtocol, std::uint16_t nId, bool bIdKnown) {
        sender_event e {};
        e.ktime_ns = SENT_NS;
        e.ip_version = 4;
        e.protocol = nProtocol;
        e.saddr[0] = 10;
        e.daddr[0] = 10;
        e.sport = 40000;
        e.dport = 53;
        e.dns_id = nId;
        e.id_known = bIdKnown;
        e.pid = nId;
        return e;
    };
    const auto facts = [](std::uint8_t nProtocol, std::uint16_t nId, std::uint16_t nSourcePort = 40000) {
        CQueryFacts f;
        f.nIpVersion = 4;
        f.nProtocol = nProtocol;
        f.abSource[0] = 10;
        f.abDestination[0] = 10;
        f.nSourcePort = nSourcePort;
        f.nDestinationPort = 53;
        f.nDnsId = nId;
        return f;
    };
    const auto table = std::make_unique<CSenderTable>();
    table->Add(event(PROTOCOL_UDP, 1, true));
    table->Add(event(PROTOCOL_TCP, 2, false)); // a TCP payload out of the program's reach
    const struct
    {
        const char* pszWhat;
        CQueryFacts facts;
        std::uint64_t nNowNs;
        std::uint32_t nFoundPid; // 0: none
    } lookups[] = {
        {"the same UDP query", facts(PROTOCOL_UDP, 1), SENT_NS, 1},
        {"its last moment", facts(PROTOCOL_UDP, 1), SENT_NS + CSenderTable::EVENT_LIFE_NS, 1},
        {"just after it", facts(PROTOCOL_UDP, 1), SENT_NS + CSenderTable::EVENT_LIFE_NS + 1, 0},
        {"another id", facts(PROTOCOL_UDP, 3), SENT_NS, 0},
        {"another port", facts(PROTOCOL_UDP, 1, 40001), SENT_NS, 0},
        {"any TCP query of the tuple", facts(PROTOCOL_TCP, 9), SENT_NS, 2},
        {"UDP never by tuple alone", facts(PROTOCOL_UDP, 0), SENT_NS, 0},
    };
    for (const auto& one : lookups)
    {
        const sender_event* pFound = table->Find(one.facts, one.nNowNs);
        EXPECT_EQ(pFound != nullptr ? pFound->pid : 0, one.nFoundPid) << one.pszWhat;
    }
    // A flood of other queries forgets the oldest, never more than the table holds.
    for (std::uint32_t i = 0; i < 4 * CSenderTable::SLOTS; ++i)
        table->Add(event(PROTOCOL_UDP, std::uint16_t(100 + i % 60000), true));
    EXPECT_EQ(table->Find(facts(PROTOCOL_UDP, 1), SENT_NS), nullptr);
}
