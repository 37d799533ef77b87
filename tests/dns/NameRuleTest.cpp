// The list's rule, which the window's list and tarrow-watch --new-only share.
#include "dns/NameRule.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

TEST(NameRuleTest, OnlyAsciiLettersFoldAndEveryOtherByteCountsNulIncluded)
{
    const struct
    {
        std::string a, b;
        bool bSame;
    } pairs[] = {
        {"www.Example.ORG", "www.example.org", true},
        {"", "", true},
        // Each pair differs by 0x20 in one byte; only the letter pairs are one name.
        {"a[b", "a{b", false},
        {"x@", "x`", false},
        {"caf\xC3\x89", "caf\xC3\xA9", false},
        {"\xC4", "\xE4", false},
        {"www.example.org", "www.example.org.", false},
        // What follows a NUL is part of the name.
        {"www.bank.com\0.c2data.evil.test"s, "www.bank.com", false},
        {"a\0B"s, "A\0b"s, true},
        {"a\0b"s, "a\0c"s, false},
    };
    for (const auto& pair : pairs)
    {
        std::string strA, strB;
        NameRule::Fold(pair.a, strA);
        NameRule::Fold(pair.b, strB);
        EXPECT_EQ(NameRule::IsSameName(pair.a, pair.b), pair.bSame) << pair.a << " | " << pair.b;
        EXPECT_EQ(strA == strB, pair.bSame) << pair.a << " | " << pair.b;
    }
}
