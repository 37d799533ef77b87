// --new-only: the list's rule with the window's budget, which it says it reached by refusing.
#include "dns/NewNames.h"

#include <gtest/gtest.h>

TEST(NewNamesTest, FirstSightingsByTheListsRuleUntilEitherBudgetIsSpent)
{
    CNewNames byCount(2, 1000);
    EXPECT_EQ(byCount.Sight("one.example"), CNewNames::FIRST);
    EXPECT_EQ(byCount.Sight("ONE.example"), CNewNames::SEEN);
    EXPECT_EQ(byCount.Sight("two.example"), CNewNames::FIRST);
    EXPECT_EQ(byCount.Sight("three.example"), CNewNames::REFUSED);
    EXPECT_EQ(byCount.Sight("Two.Example"), CNewNames::SEEN);
    EXPECT_EQ(byCount.Sight("four.example"), CNewNames::REFUSED);
    EXPECT_EQ(byCount.GetRefusedCount(), 2u);

    // Bytes of name text: just inside, then just outside.
    CNewNames byBytes(100, 8);
    EXPECT_EQ(byBytes.Sight("abcd"), CNewNames::FIRST);
    EXPECT_EQ(byBytes.Sight("efgh"), CNewNames::FIRST);
    EXPECT_EQ(byBytes.Sight("i"), CNewNames::REFUSED);
}
