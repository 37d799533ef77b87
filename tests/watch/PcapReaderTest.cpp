// tarrow-watch's reader of pcap and pcapng files, and the times of the lines it makes.
#include "common/DnsQuery.h"
#include "common/PcapngFile.h"
#include "dns/TestFrames.h"
#include "watch/PcapReader.h"
#include "watch/QueryLineMaker.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Channel;

// A file may say any time; one that no record of a live capture may hold (before the epoch, past
// the last second of year 9999, past what the C library converts) makes its frame unreadable,
// skipped like one without a query, and the frames after it are still read. The last second is
// written in UTC where a local offset would put it in year 10000, which RFC 3339 cannot write.
TEST(PcapReaderTest, FileTimesNoRecordMayHoldAreUnreadable)
{
    const std::pair<std::uint64_t, const char*> times[] = {{~std::uint64_t(0), "before"},
                                                           {0, "epoch"},
                                                           {LAST_REAL_SECOND + 1, "after"},
                                                           {LAST_REAL_SECOND, "last"},
                                                           {std::uint64_t(1) << 62, "far"}};
    std::vector<TestPcapng::CFrame> frames;
    for (const auto& [nTime, pszName] : times)
        frames.push_back(
            {0, nTime, Ipv4Frame(17, UdpSegment(40000, 53, MakeDnsQuery(pszName + std::string(".example"))))});
    char szPath[] = "/tmp/tarrow-watch-timesXXXXXX";
    const int fd = mkstemp(szPath);
    ASSERT_GE(fd, 0);
    close(fd);
    // Whole seconds, so the times are the file's numbers as they are.
    TestPcapng::Write(szPath, {{DLT_IPV4, 0}}, frames);

    const char* pszOldZone = std::getenv("TZ");
    const std::string strOldZone = pszOldZone ? pszOldZone : "";
    struct
    {
        const char* pszZone;
        bool bUtc;
        std::vector<std::string> lines;
    } cases[] = {
        {"UTC0", true, {"1970-01-01T00:00:00.000000Z epoch.example", "9999-12-31T23:59:59.000000Z last.example"}},
        {"<+14>-14",
         false,
         {"1970-01-01T14:00:00.000000+14:00 epoch.example", "9999-12-31T23:59:59.000000Z last.example"}},
        {"<-12>12",
         false,
         {"1969-12-31T12:00:00.000000-12:00 epoch.example", "9999-12-31T11:59:59.000000-12:00 last.example"}},
    };
    for (const auto& entry : cases)
    {
        setenv("TZ", entry.pszZone, 1);
        tzset();
        CPcapReader reader;
        ASSERT_TRUE(reader.Open(szPath)) << reader.GetErrorText();
        struct CLines : CChannelReader::CSink
        {
            explicit CLines(bool bUtc) : maker(bUtc) {}
            CQueryLineMaker maker;
            std::vector<std::string> lines;
            void OnQuery(const CNameRecord& record, std::string_view text) override
            {
                const CQueryLine& line = maker.Make(record, text);
                lines.push_back(line.strTime + " " + std::string(line.name));
            }
        } sink(entry.bUtc);
        while (reader.Next(sink, false))
        {}
        const std::vector<std::string>& lines = sink.lines;
        EXPECT_EQ(reader.GetErrorText(), "");
        EXPECT_EQ(lines, entry.lines) << entry.pszZone;
    }
    if (pszOldZone)
        setenv("TZ", strOldZone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    unlink(szPath);

    // A local time keeps all six digits of its fraction.
    CQueryLineMaker local(false);
    const std::string strTime = local.FormatTime(1765100000, 999999999);
    EXPECT_EQ(strTime.size(), std::string("2025-12-07T09:33:20.999999+00:00").size()) << strTime;
    EXPECT_EQ(strTime.substr(19, 7), ".999999");
}
