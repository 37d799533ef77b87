// tarrow-watch's lines: every format against golden lines, hostile names in every format read back
// by a real JSON and CSV parser, and the lookups behind the fields.
#include "common/DnsQuery.h"
#include "common/HostileNames.h"
#include "common/PcapngFile.h"
#include "common/Records.h"
#include "dns/TestFrames.h"
#include "watch/PcapReader.h"
#include "watch/QueryFormat.h"
#include "watch/QueryLineMaker.h"
#include "watch/SenderNames.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace Channel;
using namespace TestRecords;

namespace {

// One writer of each format for every row, as tarrow-watch keeps one for its whole run: nothing
// it keeps from one query may show in the next.
std::string Format(CQueryFormat::Kind nKind, const CNameRecord& record, std::string_view name)
{
    static CQueryFormat s_formats[] = {CQueryFormat(CQueryFormat::TEXT), CQueryFormat(CQueryFormat::TSV),
                                       CQueryFormat(CQueryFormat::CSV), CQueryFormat(CQueryFormat::JSON)};
    CQueryLineMaker maker(true);
    std::string strOut;
    s_formats[nKind].AppendQuery(strOut, maker.Make(record, name));
    return strOut;
}

} // namespace

TEST(QueryFormatTest, EveryFormatWritesTheGoldenLine)
{
    CNameRecord program = Query();
    program.nSender = SENDER_PROGRAM;
    program.nPid = 4242;
    program.nNetNs = 4026531840u;
    std::memcpy(program.szCommand, "dig", 4);
    CNameRecord other = Query();
    other.nSender = SENDER_ANOTHER_USER;
    other.nIpVersion = 6;
    std::memset(other.abSource, 0, 16);
    other.abSource[0] = 0xfd;
    other.abSource[15] = 2;
    std::memset(other.abDestination, 0, 16);
    other.abDestination[0] = 0xfd;
    other.abDestination[15] = 1;
    other.nQueryType = 65534;
    other.nProtocol = 6;
    CNameRecord typeZero = Query();
    typeZero.nQueryType = 0;

    const char* pszJsonProgram =
        R"({"kind":"query","time":"2025-12-07T09:33:20.123456Z","name":"www.Example.org","type":"HTTPS",)"
        R"("transport":"udp","source":"10.53.1.2","source_port":40000,"destination":"10.53.1.1",)"
        R"("destination_port":53,"dns_id":48879,"sender":"program","pid":4242,"program":"dig","user":null,)"
        R"("unit":null,"netns":4026531840})"
        "\n";
    // The program's JSON row comes again after another sender's.
    struct
    {
        CQueryFormat::Kind nKind;
        const CNameRecord& record;
        const char* pszLine;
    } cases[] = {
        {CQueryFormat::TEXT, program,
         "2025-12-07T09:33:20.123456Z     HTTPS udp   10.53.1.2:40000       10.53.1.1:53          48879 4242    dig  "
         "           -           -                           www.Example.org\n"},
        {CQueryFormat::TEXT, other,
         "2025-12-07T09:33:20.123456Z     TYPE65534 tcp   [fd00::2]:40000       [fd00::1]:53          48879 -       "
         "another user    -           -                           www.Example.org\n"},
        {CQueryFormat::TSV, program,
         "2025-12-07T09:33:20.123456Z\twww.Example.org\tHTTPS\tudp\t10.53.1.2\t40000\t10.53.1."
         "1\t53\t48879\tprogram\t4242"
         "\tdig\t\t\t4026531840\n"},
        {CQueryFormat::CSV, other,
         "2025-12-07T09:33:20.123456Z,www.Example.org,TYPE65534,tcp,fd00::2,40000,fd00::1,53,48879,another "
         "user,,,,,\n"},
        {CQueryFormat::CSV, typeZero,
         "2025-12-07T09:33:20.123456Z,www.Example.org,TYPE0,udp,10.53.1.2,40000,10.53.1.1,53,48879,,,,,,\n"},
        {CQueryFormat::JSON, program, pszJsonProgram},
        {CQueryFormat::JSON, other,
         R"({"kind":"query","time":"2025-12-07T09:33:20.123456Z","name":"www.Example.org","type":"TYPE65534",)"
         R"("transport":"tcp","source":"fd00::2","source_port":40000,"destination":"fd00::1",)"
         R"("destination_port":53,"dns_id":48879,"sender":"another user","pid":null,"program":null,"user":null,)"
         R"("unit":null,"netns":null})"
         "\n"},
        {CQueryFormat::JSON, program, pszJsonProgram},
    };
    for (const auto& entry : cases)
        EXPECT_EQ(Format(entry.nKind, entry.record, "www.Example.org"), entry.pszLine) << entry.nKind;

    std::string strMissed;
    CQueryFormat(CQueryFormat::JSON).AppendMissed(strMissed, "2025-12-07T09:33:20.000000Z", 17);
    CQueryFormat(CQueryFormat::CSV).AppendMissed(strMissed, "2025-12-07T09:33:20.000000Z", 17);
    EXPECT_EQ(strMissed, "{\"kind\":\"missed\",\"time\":\"2025-12-07T09:33:20.000000Z\",\"missed\":17}\n");

    std::string strHeads;
    CQueryFormat(CQueryFormat::CSV).AppendHeader(strHeads);
    CQueryFormat(CQueryFormat::JSON).AppendHeader(strHeads);
    EXPECT_EQ(strHeads, "time,name,type,transport,source,source_port,destination,destination_port,dns_id,sender,pid,"
                        "program,user,unit,netns\n");
}

// A spreadsheet runs any cell that starts a formula, and a program names itself as it likes: in
// TSV and CSV every text field has such a first character escaped, not the name alone.
TEST(QueryFormatTest, NoTextFieldStartsAFormula)
{
    CQueryLine line;
    line.strTime = "2025-12-07T09:33:20.123456Z";
    line.strType = "A";
    line.pszTransport = "udp";
    line.strSource = "10.53.1.2";
    line.strDestination = "10.53.1.1";
    line.nSourcePort = 40000;
    line.nDestinationPort = 53;
    line.nDnsId = 48879;
    line.nSender = SENDER_PROGRAM;
    line.nPid = 4242;
    // Each lead character as the saved file escapes it, in the name, program, user and unit.
    const std::pair<char, const char*> leads[] = {{'=', "\\061"}, {'+', "\\043"}, {'-', "\\045"}, {'@', "\\064"}};
    for (const auto& [chLead, pszEscaped] : leads)
    {
        const std::string strName = chLead + std::string("n.example"), strProgram = chLead + std::string("cmd,1"),
                          strUser = chLead + std::string("user"), strUnit = chLead + std::string("unit");
        line.name = strName;
        line.program = strProgram;
        line.user = strUser;
        line.unit = strUnit;
        const std::string strEsc = pszEscaped;
        std::string strTsv, strCsv;
        CQueryFormat(CQueryFormat::TSV).AppendQuery(strTsv, line);
        CQueryFormat(CQueryFormat::CSV).AppendQuery(strCsv, line);
        EXPECT_EQ(strTsv, "2025-12-07T09:33:20.123456Z\t" + strEsc
                              + "n.example\tA\tudp\t10.53.1.2\t40000\t10.53.1.1\t53\t48879"
                                "\tprogram\t4242\t"
                              + strEsc + "cmd,1\t" + strEsc + "user\t" + strEsc + "unit\t\n");
        EXPECT_EQ(strCsv, "2025-12-07T09:33:20.123456Z," + strEsc
                              + "n.example,A,udp,10.53.1.2,40000,10.53.1.1,53,48879,program,"
                                "4242,\""
                              + strEsc + "cmd,1\"," + strEsc + "user," + strEsc + "unit,\n");
    }
}

// A file may say any time; one that no record of a live capture may hold (before the epoch, past
// the last second of year 9999, past what the C library converts) makes its frame unreadable,
// skipped like one without a query, and the frames after it are still read. The last second is
// written in UTC where a local offset would put it in year 10000, which RFC 3339 cannot write.
TEST(QueryFormatTest, FileTimesNoRecordMayHoldAreUnreadable)
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
}

// Python's own parsers read every hostile name back: one JSON object and one CSV row per query,
// each name exactly as shown (CSV and TSV with the formula guard of a saved file).
TEST(QueryFormatTest, HostileNamesStayOneValidRecordInEveryFormat)
{
    if (std::system("python3 -c pass") != 0)
        GTEST_SKIP() << "python3 is not there to parse the output";
    CNameRecord record = Query();
    record.nSender = SENDER_PROGRAM;
    record.nPid = 1;
    std::memcpy(record.szCommand, "\x1b]0;x\x07\"", 8);
    // Rows of one length, the name second.
    const std::string strRows = "assert all(len(x)==len(r[0]) for x in r)\nfor x in r[1:]: print(x[1])";
    const std::pair<CQueryFormat::Kind, std::string> readers[] = {
        {CQueryFormat::JSON,
         "import json,sys\nfor l in open(sys.argv[1],encoding='ascii'): print(json.loads(l)['name'])"},
        {CQueryFormat::CSV,
         "import csv,sys\nr=list(csv.reader(open(sys.argv[1],newline='',encoding='ascii')))\n" + strRows},
        {CQueryFormat::TSV,
         "import sys\nr=[l.rstrip('\\n').split('\\t') for l in open(sys.argv[1],encoding='ascii')]\n" + strRows},
        // Aligned text: the name is the rest of the line after the fixed columns.
        {CQueryFormat::TEXT, "import sys\nfor l in list(open(sys.argv[1],encoding='ascii'))[1:]: "
                             "print(l[32+6+6+22+22+6+8+16+12+28:].rstrip('\\n'))"},
    };
    char szPath[] = "/tmp/tarrow-watch-formatXXXXXX";
    const int fd = mkstemp(szPath);
    ASSERT_GE(fd, 0);
    close(fd);
    for (const auto& [nKind, strScript] : readers)
    {
        std::string strOut, strExpected;
        CQueryFormat format(nKind);
        format.AppendHeader(strOut);
        CQueryLineMaker maker(true);
        for (const CHostileName& hostile : HostileNames())
        {
            format.AppendQuery(strOut, maker.Make(record, hostile.strName));
            const bool bSaved = (nKind == CQueryFormat::CSV || nKind == CQueryFormat::TSV) && !hostile.strSaved.empty();
            strExpected += (bSaved ? hostile.strSaved : hostile.strShown) + "\n";
        }
        std::ofstream(szPath, std::ios::binary) << strOut;
        setenv("SCRIPT", strScript.c_str(), 1);
        FILE* pRead = popen(("python3 -c \"$SCRIPT\" " + std::string(szPath)).c_str(), "r");
        ASSERT_NE(pRead, nullptr);
        std::string strRead;
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pRead)) > 0;)
            strRead.append(buffer, n);
        EXPECT_EQ(pclose(pRead), 0) << nKind;
        EXPECT_EQ(strRead, strExpected) << nKind;
    }
    unlink(szPath);
}

TEST(QueryFormatTest, UnitsAndTheListRule)
{
    const std::pair<const char*, const char*> units[] = {
        {"/system.slice/systemd-resolved.service", "systemd-resolved.service"},
        {"/user.slice/user-1000.slice/user@1000.service/app.slice/app-firefox-12.scope/tab", "app-firefox-12.scope"},
        {"/user.slice/user-1000.slice", "/user.slice/user-1000.slice"},
        {"/", "/"},
        {"/a.services/b", "/a.services/b"},
    };
    for (const auto& [pszPath, pszUnit] : units)
        EXPECT_EQ(CSenderNames::UnitOfPath(pszPath), pszUnit) << pszPath;

    CSenderNames senders;
    EXPECT_EQ(senders.UserName(0), "root");
    EXPECT_EQ(senders.UserName(4000000000u), "4000000000");
    // This process's own cgroup, found in the cgroup2 tree wherever it is mounted, and an id that
    // is in none, asked twice (the second time from what the first walk left).
    std::ifstream cgroups("/proc/self/cgroup");
    std::string strLine;
    while (std::getline(cgroups, strLine) && strLine.rfind("0::", 0) != 0)
        ;
    const std::string strOwn = strLine.substr(std::min<size_t>(3, strLine.size()));
    struct stat own
    {};
    ASSERT_EQ(stat((CSenderNames::CgroupRoot() + strOwn).c_str(), &own), 0) << strOwn;
    EXPECT_EQ(senders.UnitOf(own.st_ino), CSenderNames::UnitOfPath(strOwn)) << strOwn;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(senders.UnitOf(~std::uint64_t(0)), "");

    CQueryLineMaker local(false);
    const std::string strTime = local.FormatTime(1765100000, 999999999);
    EXPECT_EQ(strTime.size(), std::string("2025-12-07T09:33:20.999999+00:00").size()) << strTime;
    EXPECT_EQ(strTime.substr(19, 7), ".999999");
}
