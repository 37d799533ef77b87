// The type and response code tables: each number's one text, and every text read back to it.
#include "dns/DnsTypes.h"

#include <gtest/gtest.h>

TEST(DnsTypesTest, EveryTypeAndCodeHasOneTextThatReadsBack)
{
    const std::pair<std::uint16_t, const char*> types[] = {
        {0, "TYPE0"}, {1, "A"},     {10, "NULL"},     {11, "TYPE11"},       {28, "AAAA"},        {65, "HTTPS"},
        {255, "ANY"}, {257, "CAA"}, {258, "TYPE258"}, {65280, "TYPE65280"}, {65535, "TYPE65535"}};
    for (const auto& [nType, pszName] : types)
    {
        EXPECT_EQ(DnsTypeName(nType), pszName) << nType;
        std::uint16_t nRead = 0;
        EXPECT_TRUE(ParseDnsType(pszName, nRead) && nRead == nType) << pszName;
    }
    const std::pair<std::uint16_t, const char*> rcodes[] = {{0, "NOERROR"},  {3, "NXDOMAIN"}, {10, "NOTZONE"},
                                                            {11, "RCODE11"}, {16, "BADVERS"}, {4095, "RCODE4095"}};
    for (const auto& [nRcode, pszName] : rcodes)
    {
        EXPECT_EQ(DnsRcodeName(nRcode), pszName) << nRcode;
        std::uint16_t nRead = 0;
        EXPECT_TRUE(ParseDnsRcode(pszName, nRead) && nRead == nRcode) << pszName;
    }

    // The letters' case is free; a number is one or none.
    const struct
    {
        const char* pszText;
        bool bType, bRead;
        std::uint16_t nValue;
    } texts[] = {
        {"aaaa", true, true, 28},       {"type28", true, true, 28},   {"TYPE65535", true, true, 65535},
        {"TYPE65536", true, false, 0},  {"TYPE", true, false, 0},     {"TYPE-1", true, false, 0},
        {"AAAAA", true, false, 0},      {"", true, false, 0},         {"nxdomain", false, true, 3},
        {"RCODE4096", false, false, 0}, {"badvers", false, true, 16}, {"RCODE0x1", false, false, 0},
    };
    for (const auto& text : texts)
    {
        std::uint16_t nValue = 0;
        EXPECT_EQ(text.bType ? ParseDnsType(text.pszText, nValue) : ParseDnsRcode(text.pszText, nValue), text.bRead)
            << text.pszText;
        EXPECT_EQ(nValue, text.bRead ? text.nValue : 0) << text.pszText;
    }
}
