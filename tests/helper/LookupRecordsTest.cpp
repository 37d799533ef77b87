// What the helper makes of the kernel's word on a lookup: who may see it, its name in the form
// query names take, a reverse lookup's name, and the real time it began.
#include "dns/PresentationForm.h"
#include "helper/LookupRecords.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace Channel;

TEST(LookupRecordsTest, ANamesTextTakesTheMasterFileForm)
{
    const struct
    {
        std::string text;
        const char* pszPresented;
    } cases[] = {
        {"www.example.com", "www.example.com"},
        {"www.example.com.", "www.example.com"},
        {"a b;c\\d.example", "a\\032b\\;c\\\\d.example"},
        {"\x1b[31m\xff.example", "\\027[31m\\255.example"},
        {".", "."},
        {"", ""},
    };
    for (const auto& one : cases)
    {
        std::string strOut;
        AppendDottedName(strOut, one.text);
        EXPECT_EQ(strOut, one.pszPresented) << one.text;
    }
}

TEST(LookupRecordsTest, AnotherPersonsLookupIsNotToldAndTheRestTakeRealTimes)
{
    lookup_event event {};
    event.began_ns = 5'000'000'123;
    event.ended_ns = 5'000'300'123;
    event.pid = 42;
    event.tid = 43;
    event.uid = 1001;
    event.netns = 7;
    std::memcpy(event.comm, "curl", 4);
    event.phase = LOOKUP_PHASE_ENDED;
    event.call = LOOKUP_CALL_GETADDRINFO;
    event.family = 2;
    // Whatever the kernel's word holds past what it may, the record holds no more.
    event.result_kind = 9;
    event.flags = 0xff;
    event.addresses = 200;
    std::memcpy(event.name, "www.example", 11);
    event.name_length = 11;

    CLookupRecords records(1000);
    EXPECT_FALSE(records.Make(event, 0)) << "another person's lookup";
    for (const char* pszAddress : {"192.0.2.1", "2001:db8::1", "fe80::1%eth0"})
        EXPECT_TRUE(CLookupRecords::IsAddressText(pszAddress)) << pszAddress;
    for (const char* pszName : {"192.0.2.1.example", "db8", "1.2.3", ""})
        EXPECT_FALSE(CLookupRecords::IsAddressText(pszName)) << pszName;
    event.uid = 1000;
    ASSERT_TRUE(records.Make(event, 1'700'000'000'000'000'000));
    const CLookupRecord& record = records.GetRecord();
    EXPECT_TRUE(record.IsValid());
    EXPECT_EQ(std::int64_t(record.nSeconds), 1'700'000'005);
    EXPECT_EQ(+record.nNanoseconds, 123u);
    EXPECT_EQ(+record.nLatencyNs, 300'000u);
    EXPECT_EQ(+record.nResultKind, int(LOOKUP_KIND_UNREAD));
    EXPECT_EQ(size_t(record.nAddresses), MAX_LOOKUP_ADDRESSES);
    EXPECT_EQ(records.GetTail(), "www.example");
    EXPECT_EQ(+record.sender.nPid, 42u);
    EXPECT_STREQ(record.sender.szCommand, "curl");
}

TEST(LookupRecordsTest, AReverseLookupAsksTheAddresssReverseNameAndCarriesTheHostFound)
{
    const struct
    {
        std::uint8_t nVersion;
        std::uint8_t abAddress[16];
        const char* pszName;
    } cases[] = {
        {4, {192, 0, 2, 7}, "7.2.0.192.in-addr.arpa"},
        {6,
         {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1f},
         "f.1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa"},
    };
    for (const auto& one : cases)
    {
        lookup_event event {};
        event.phase = LOOKUP_PHASE_ENDED;
        event.call = LOOKUP_CALL_GETNAMEINFO;
        event.result_kind = LOOKUP_KIND_EAI;
        event.address_versions[0] = one.nVersion;
        std::memcpy(event.address[0], one.abAddress, 16);
        std::memcpy(event.name, "host.example", 12);
        event.name_length = 12;
        CLookupRecords records(0);
        ASSERT_TRUE(records.Make(event, 0));
        const CLookupRecord& record = records.GetRecord();
        EXPECT_TRUE(record.IsValid());
        EXPECT_EQ(records.GetTail().substr(0, record.nLength), one.pszName);
        EXPECT_EQ(records.GetTail().substr(record.nLength), "host.example");
        EXPECT_EQ(size_t(record.nAddresses), 0u);
    }
}
