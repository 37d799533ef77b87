#include "dns/DnsTypes.h"

#include <gtest/gtest.h>

TEST(DnsTypesTest, MnemonicsNumbersAndNone)
{
    const std::pair<std::uint16_t, const char*> types[] = {
        {0, "TYPE0"}, {1, "A"},     {28, "AAAA"},   {65, "HTTPS"},        {255, "ANY"},
        {257, "CAA"}, {3, "TYPE3"}, {66, "TYPE66"}, {65280, "TYPE65280"}, {65535, "TYPE65535"}};
    for (const auto& [nType, pszName] : types)
        EXPECT_EQ(DnsTypeName(nType), pszName) << nType;
}
