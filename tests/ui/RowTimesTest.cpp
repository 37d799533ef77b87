#include "ui/RowTimes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

void SetZone(const char* pszZone)
{
    setenv("TZ", pszZone, 1);
    tzset();
}

} // namespace

// A row shows the local time of its arrival, whatever the zone becomes afterwards; rows of one second
// share an entry, and an earlier entry still reads right after later ones were made.
TEST(RowTimesTest, EntriesKeepTheLocalTimeOfTheirSecond)
{
    SetZone("UTC0");
    const std::time_t t = 1783112405; // July 03 2026 21:00:05 UTC
    CRowTimes times;
    const uint32_t nFirst = times.Index(t);
    EXPECT_EQ(times.Index(t), nFirst);
    const uint32_t nNext = times.Index(t + 1);
    EXPECT_NE(nNext, nFirst);

    SetZone("JST-9");
    EXPECT_EQ(times.Text(nNext), QByteArray("July 03 2026 21:00:06"));
    EXPECT_EQ(times.Text(nFirst), QByteArray("July 03 2026 21:00:05"));
    EXPECT_EQ(CRowTimes::Format(t), QByteArray("July 04 2026 06:00:05"));

    times.Release();
    EXPECT_EQ(times.Index(t), 0u);
    EXPECT_EQ(times.Text(0), QByteArray("July 04 2026 06:00:05"));
    SetZone("UTC0");
}
