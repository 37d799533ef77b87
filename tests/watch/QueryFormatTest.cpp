// tarrow-watch's lines: every format against golden lines, for queries and whole exchanges, the
// same fields in each, and hostile names and answers in every format read back by a real JSON and
// CSV parser.
#include "common/DnsQuery.h"
#include "common/HostileNames.h"
#include "common/Records.h"
#include "dns/DnsName.h"
#include "dns/PresentationForm.h"
#include "dns/TestFrames.h"
#include "channel/AnswerTail.h"
#include "frames/FrameRecords.h"
#include "watch/EncryptedLineMaker.h"
#include "watch/QueryFormat.h"
#include "watch/QueryLineMaker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

CQueryLine DigQuery()
{
    CQueryLine line;
    line.strTime = "2025-12-07T09:33:20.123456Z";
    line.name = "www.example.org";
    line.strType = "A";
    line.pszTransport = "udp";
    line.strSource = "10.53.1.2";
    line.strDestination = "10.53.1.1";
    line.nSourcePort = 40000;
    line.nDestinationPort = 53;
    line.nDnsId = 48879;
    line.nSender = SENDER_PROGRAM;
    line.nPid = 4242;
    line.program = "dig";
    line.nNetNs = 4026531840u;
    return line;
}

// What Python prints for the script run on the text, the script's exit status checked.
std::string ReadBack(const std::string& strScript, const std::string& strText)
{
    char szPath[] = "/tmp/tarrow-watch-formatXXXXXX";
    const int fd = mkstemp(szPath);
    if (fd < 0)
        return "mkstemp failed";
    close(fd);
    std::ofstream(szPath, std::ios::binary) << strText;
    setenv("SCRIPT", strScript.c_str(), 1);
    FILE* pRead = popen(("python3 -c \"$SCRIPT\" " + std::string(szPath)).c_str(), "r");
    std::string strRead;
    if (pRead)
    {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pRead)) > 0;)
            strRead.append(buffer, n);
        EXPECT_EQ(pclose(pRead), 0) << strScript;
    }
    unlink(szPath);
    return strRead;
}

// A dotted name's labels through the question decoder: the form the helper sends.
std::string NameForm(const std::string& strDotted)
{
    CBytes wire;
    for (size_t nFrom = 0;;)
    {
        const size_t nDot = strDotted.find('.', nFrom);
        const std::string strLabel = strDotted.substr(nFrom, nDot - nFrom);
        wire.push_back(static_cast<unsigned char>(strLabel.size()));
        wire.insert(wire.end(), strLabel.begin(), strLabel.end());
        if (nDot == std::string::npos)
            break;
        nFrom = nDot + 1;
    }
    wire.push_back(0);
    char szText[NAME_BUFFER_SIZE];
    size_t nText = 0;
    EXPECT_TRUE(DecodeQuestionForm(wire.data(), wire.size(), szText, nText)) << strDotted;
    return std::string(szText, nText);
}

} // namespace

TEST(QueryFormatTest, EveryFormatWritesTheGoldenLine)
{
    CNameRecord program = Query();
    program.nSender = SENDER_PROGRAM;
    program.sender.nPid = 4242;
    program.sender.nNetNs = 4026531840u;
    std::memcpy(program.sender.szCommand, "dig", 4);
    CNameRecord other = Query();
    other.nSender = SENDER_ANOTHER_USER;
    other.facts.nIpVersion = 6;
    std::memset(other.facts.abSource, 0, 16);
    other.facts.abSource[0] = 0xfd;
    other.facts.abSource[15] = 2;
    std::memset(other.facts.abDestination, 0, 16);
    other.facts.abDestination[0] = 0xfd;
    other.facts.abDestination[15] = 1;
    other.facts.nQueryType = 65534;
    other.facts.nProtocol = 6;
    CNameRecord typeZero = Query();
    typeZero.facts.nQueryType = 0;

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
         "query      2025-12-07T09:33:20.123456Z      www.Example.org                 HTTPS  udp   10.53.1.2       "
         "40000 "
         "10.53.1.1       53    48879 program      4242    dig             -           -                           "
         "4026531840\n"},
        {CQueryFormat::TEXT, other,
         "query      2025-12-07T09:33:20.123456Z      www.Example.org                 TYPE65534 tcp   fd00::2         "
         "40000 fd00::1         53    48879 another user -       -               -           -                         "
         "  "
         "-\n"},
        {CQueryFormat::TSV, program,
         "query\t2025-12-07T09:33:20.123456Z\twww.Example.org\tHTTPS\tudp\t10.53.1.2\t40000\t10.53.1."
         "1\t53\t48879\tprogram\t4242"
         "\tdig\t\t\t4026531840\n"},
        {CQueryFormat::CSV, other,
         "query,2025-12-07T09:33:20.123456Z,www.Example.org,TYPE65534,tcp,fd00::2,40000,fd00::1,53,48879,another "
         "user,,,,,\n"},
        {CQueryFormat::CSV, typeZero,
         "query,2025-12-07T09:33:20.123456Z,www.Example.org,TYPE0,udp,10.53.1.2,40000,10.53.1.1,53,48879,,,,,,\n"},
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
    EXPECT_EQ(strHeads,
              "kind,time,name,type,transport,source,source_port,destination,destination_port,dns_id,sender,pid,"
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
        EXPECT_EQ(strTsv, "query\t2025-12-07T09:33:20.123456Z\t" + strEsc
                              + "n.example\tA\tudp\t10.53.1.2\t40000\t10.53.1.1\t53\t48879"
                                "\tprogram\t4242\t"
                              + strEsc + "cmd,1\t" + strEsc + "user\t" + strEsc + "unit\t\n");
        EXPECT_EQ(strCsv, "query,2025-12-07T09:33:20.123456Z," + strEsc
                              + "n.example,A,udp,10.53.1.2,40000,10.53.1.1,53,48879,program,"
                                "4242,\""
                              + strEsc + "cmd,1\"," + strEsc + "user," + strEsc + "unit,\n");
    }
}

// Python's own parsers read every hostile name back: one JSON object and one CSV row per query,
// each name exactly as shown (CSV and TSV with the formula guard of a saved file).
TEST(QueryFormatTest, HostileNamesStayOneValidRecordInEveryFormat)
{
    if (std::system("python3 -c pass") != 0)
        GTEST_SKIP() << "python3 is not there to parse the output";
    CNameRecord record = Query();
    record.nSender = SENDER_PROGRAM;
    record.sender.nPid = 1;
    std::memcpy(record.sender.szCommand, "\x1b]0;x\x07\"", 8);
    // Rows of one length, the name third.
    const std::string strRows = "assert all(len(x)==len(r[0]) for x in r)\nfor x in r[1:]: print(x[2])";
    const std::pair<CQueryFormat::Kind, std::string> readers[] = {
        {CQueryFormat::JSON,
         "import json,sys\nfor l in open(sys.argv[1],encoding='ascii'): print(json.loads(l)['name'])"},
        {CQueryFormat::CSV,
         "import csv,sys\nr=list(csv.reader(open(sys.argv[1],newline='',encoding='ascii')))\n" + strRows},
        {CQueryFormat::TSV,
         "import sys\nr=[l.rstrip('\\n').split('\\t') for l in open(sys.argv[1],encoding='ascii')]\n" + strRows},
        // Aligned text: columns end at spaces, and no value holds one.
        {CQueryFormat::TEXT, "import sys\nr=[l.split() for l in open(sys.argv[1],encoding='ascii')]\n" + strRows},
    };
    for (const auto& [nKind, strScript] : readers)
    {
        std::string strOut, strExpected;
        CQueryFormat format(nKind);
        format.AppendHeader(strOut);
        CQueryLineMaker maker(true);
        for (const CHostileName& hostile : HostileNames())
        {
            // The name as the helper gives it: its master-file form.
            const std::string strForm = NameForm(hostile.strName);
            format.AppendQuery(strOut, maker.Make(record, strForm));
            const bool bSaved = (nKind == CQueryFormat::CSV || nKind == CQueryFormat::TSV)
                                && IsFormulaStart(static_cast<unsigned char>(strForm[0]));
            std::string strShown = bSaved ? PresentationForm(strForm.substr(0, 1), true) + strForm.substr(1) : strForm;
            // Text writes "\;" as \059, so that "; " parts only answers.
            for (size_t nAt; nKind == CQueryFormat::TEXT && (nAt = strShown.find("\\;")) != std::string::npos;)
                strShown.replace(nAt, 2, "\\059");
            strExpected += strShown + "\n";
            EXPECT_EQ(strForm.find_first_of(" \t\n\r"), std::string::npos) << strForm;
        }
        EXPECT_EQ(ReadBack(strScript, strOut), strExpected) << nKind;
    }
}

// An answered query (a CNAME and an A), an NXDOMAIN, one no response came to and a response whose
// query was not seen, in every format; CSV is TSV with commas, no cell here needing quotes.
TEST(QueryFormatTest, EveryFormatWritesTheGoldenExchange)
{
    using CAnswer = CExchangeLine::CAnswer;
    const CExchangeLine answered {.rcode = "NOERROR",
                                  .flags = "qr,rd,ra",
                                  .answers = {CAnswer {"www.example.org", "CNAME", 300, "web.example.net"},
                                              CAnswer {"web.example.net", "A", 60, "192.0.2.7"}},
                                  .bHasTtlMin = true,
                                  .nTtlMin = 60,
                                  .bHasLatency = true,
                                  .nLatencyUs = 12345,
                                  .nRetries = 1};
    const CExchangeLine nxdomain {
        .rcode = "NXDOMAIN", .flags = "qr,rd,ra", .answers = {}, .bHasLatency = true, .nLatencyUs = 2000};
    const CExchangeLine unanswered {
        .nKind = CExchangeLine::UNANSWERED, .rcode = {}, .flags = {}, .answers = {}, .nRetries = 2};
    const CExchangeLine unasked {.nKind = CExchangeLine::UNASKED,
                                 .rcode = "NOERROR",
                                 .flags = "qr,aa",
                                 .answers = {CAnswer {"www.example.org", "AAAA", 30, "2001:db8::7"}},
                                 .bHasTtlMin = true,
                                 .nTtlMin = 30,
                                 .nAnswersLeftOut = 3};
    const CExchangeLine encrypted {.nKind = CExchangeLine::ENCRYPTED,
                                   .rcode = {},
                                   .flags = "ech",
                                   .answers = {},
                                   .encrypted = "DoH",
                                   .alpn = "h2,http/1.1"};
    CExchangeLine askedFor = answered;
    askedFor.askedFor = {{77, "a/b,c ", "alice", ""}, {78, "=x", "", "session-2.scope"}};
    // Each case's kind, then its fields from rcode to answers_left_out and its answers, in text,
    // TSV (CSV is TSV with commas, but for quotes around the flags) and JSON.
    struct
    {
        const CExchangeLine& exchange;
        const char* pszKind;
        const char* pszText;
        const char* pszTextAnswers;
        const char* pszTsv;
        const char* pszTsvAnswers;
        const char* pszJson;
        const char* pszJsonAnswers;
        // The lookups it was asked for, between its own fields and the sender's.
        const char* pszTextFor = "-      -                       -         -             ";
        const char* pszTsvFor = "\t\t\t";
        const char* pszJsonFor = R"("family":null,"for":null,"encrypted":null,"alpn":null)";
    } cases[] = {
        {answered, "exchange", "NOERROR   qr,rd,ra          60      12345      1       0       ",
         "www.example.org 300 CNAME web.example.net; web.example.net 60 A 192.0.2.7",
         "NOERROR\tqr,rd,ra\t60\t12345\t1\t0",
         "www.example.org 300 CNAME web.example.net; web.example.net 60 A 192.0.2.7",
         R"("rcode":"NOERROR","flags":"qr,rd,ra","ttl_min":60,"latency_us":12345,"retries":1,"answers_left_out":0)",
         R"([{"name":"www.example.org","type":"CNAME","ttl":300,"data":"web.example.net"},)"
         R"({"name":"web.example.net","type":"A","ttl":60,"data":"192.0.2.7"}])"},
        {nxdomain, "exchange", "NXDOMAIN  qr,rd,ra          -       2000       0       0       ", "-",
         "NXDOMAIN\tqr,rd,ra\t\t2000\t0\t0", "",
         R"("rcode":"NXDOMAIN","flags":"qr,rd,ra","ttl_min":null,"latency_us":2000,"retries":0,"answers_left_out":0)",
         "[]"},
        {unanswered, "unanswered", "-         -                 -       -          2       0       ", "-",
         "\t\t\t\t2\t0", "",
         R"("rcode":null,"flags":null,"ttl_min":null,"latency_us":null,"retries":2,"answers_left_out":0)", "[]"},
        {unasked, "response", "NOERROR   qr,aa             30      -          0       3       ",
         "www.example.org 30 AAAA 2001:db8::7", "NOERROR\tqr,aa\t30\t\t0\t3", "www.example.org 30 AAAA 2001:db8::7",
         R"("rcode":"NOERROR","flags":"qr,aa","ttl_min":30,"latency_us":null,"retries":0,"answers_left_out":3)",
         R"([{"name":"www.example.org","type":"AAAA","ttl":30,"data":"2001:db8::7"}])"},
        // A program's name cannot add a lookup to the cell, nor a part to one.
        {askedFor, "exchange", "NOERROR   qr,rd,ra          60      12345      1       0       ",
         "www.example.org 300 CNAME web.example.net; web.example.net 60 A 192.0.2.7",
         "NOERROR\tqr,rd,ra\t60\t12345\t1\t0",
         "www.example.org 300 CNAME web.example.net; web.example.net 60 A 192.0.2.7",
         R"("rcode":"NOERROR","flags":"qr,rd,ra","ttl_min":60,"latency_us":12345,"retries":1,"answers_left_out":0)",
         R"([{"name":"www.example.org","type":"CNAME","ttl":300,"data":"web.example.net"},)"
         R"({"name":"web.example.net","type":"A","ttl":60,"data":"192.0.2.7"}])",
         "-      a\\047b\\044c\\032/77/alice/-,\\061x/78/-/session-2.scope -         -             ",
         "\ta\\047b\\044c /77/alice/-,\\061x/78/-/session-2.scope\t\t",
         R"("family":null,"for":[{"pid":77,"program":"a/b,c ","user":"alice","unit":null},)"
         R"({"pid":78,"program":"=x","user":null,"unit":"session-2.scope"}],"encrypted":null,"alpn":null)"},
        // An encrypted connection: no code, latency or answers; its protocol and ALPN list.
        {encrypted, "encrypted", "-         ech               -       -          0       0       ", "-",
         "\tech\t\t\t0\t0", "",
         R"("rcode":null,"flags":"ech","ttl_min":null,"latency_us":null,"retries":0,"answers_left_out":0)", "[]",
         "-      -                       DoH       h2,http/1.1   ", "\t\tDoH\th2,http/1.1",
         R"("family":null,"for":null,"encrypted":"DoH","alpn":"h2,http/1.1")"},
    };
    const CQueryLine query = DigQuery();
    const std::string strTsvQuery =
        "\t2025-12-07T09:33:20.123456Z\twww.example.org\tA\tudp\t10.53.1.2\t40000\t10.53.1.1\t53\t48879\t";
    const std::string strTsvSender = "\tprogram\t4242\tdig\t\t\t4026531840\t";
    const auto Csv = [](std::string strTsv) {
        std::replace(strTsv.begin(), strTsv.end(), '\t', ',');
        for (const char* pszFlags :
             {"qr,rd,ra", "qr,aa", "a\\047b\\044c /77/alice/-,\\061x/78/-/session-2.scope", "h2,http/1.1"})
        {
            if (const size_t nAt = strTsv.find(pszFlags); nAt != std::string::npos)
                strTsv.replace(nAt, std::strlen(pszFlags), '"' + std::string(pszFlags) + '"');
        }
        return strTsv;
    };
    for (const auto& entry : cases)
    {
        std::string strKind = entry.pszKind;
        strKind.resize(11, ' ');
        const std::string strTsv = entry.pszKind + strTsvQuery + entry.pszTsv + "\t" + entry.pszTsvFor + strTsvSender
                                   + entry.pszTsvAnswers + "\n";
        const std::pair<CQueryFormat::Kind, std::string> lines[] = {
            {CQueryFormat::TEXT, strKind
                                     + "2025-12-07T09:33:20.123456Z      www.example.org                 A      udp   "
                                       "10.53.1.2       40000 10.53.1.1       53    48879 "
                                     + entry.pszText + " " + entry.pszTextFor
                                     + "program      4242    dig             -           -                           "
                                       "4026531840 "
                                     + entry.pszTextAnswers + "\n"},
            {CQueryFormat::TSV, strTsv},
            {CQueryFormat::CSV, Csv(strTsv)},
            {CQueryFormat::JSON,
             R"({"kind":")" + std::string(entry.pszKind)
                 + R"(","time":"2025-12-07T09:33:20.123456Z","name":"www.example.org","type":"A","transport":"udp",)"
                   R"("source":"10.53.1.2","source_port":40000,"destination":"10.53.1.1","destination_port":53,)"
                   R"("dns_id":48879,)"
                 + entry.pszJson + "," + entry.pszJsonFor
                 + R"(,"sender":"program","pid":4242,"program":"dig","user":null,"unit":null,"netns":4026531840,)"
                 + R"("answers":)" + entry.pszJsonAnswers + "}\n"},
        };
        for (const auto& [nKind, strLine] : lines)
        {
            std::string strOut;
            CQueryFormat(nKind, true).AppendExchange(strOut, query, entry.exchange);
            EXPECT_EQ(strOut, strLine) << nKind;
        }
    }

    std::string strHeads;
    for (CQueryFormat::Kind nKind : {CQueryFormat::TEXT, CQueryFormat::CSV, CQueryFormat::JSON})
    {
        CQueryFormat format(nKind);
        EXPECT_TRUE(CQueryFormat::FromName("tsv", format));
        format.SetExchanges(true);
        EXPECT_TRUE(CQueryFormat::FromName(nKind == CQueryFormat::TEXT ? "text" : "csv", format));
        format.AppendHeader(strHeads);
    }
    EXPECT_EQ(
        strHeads,
        "KIND       TIME                             NAME                            TYPE   PROTO SOURCE          "
        "SPORT DESTINATION     DPORT ID    RCODE     FLAGS             TTL_MIN LATENCY_US RETRIES LEFT_OUT "
        "FAMILY FOR                     ENCRYPTED ALPN          SENDER       PID     PROGRAM         USER        "
        "UNIT                        NETNS      ANSWERS\n"
        "kind,time,name,type,transport,source,source_port,destination,destination_port,dns_id,rcode,"
        "flags,ttl_min,latency_us,retries,answers_left_out,family,for,encrypted,alpn,sender,pid,program,user,unit,"
        "netns,answers\n"
        "kind,time,name,type,transport,source,source_port,destination,destination_port,dns_id,rcode,"
        "flags,ttl_min,latency_us,retries,answers_left_out,family,for,encrypted,alpn,sender,pid,program,user,unit,"
        "netns,answers\n");
}

// Every format carries the fields JSON has, in its order: TSV's and CSV's heads are JSON's keys,
// and text has a column, under a head, for each; for queries and for exchanges alike.
TEST(QueryFormatTest, EveryFormatCarriesJsonsKeys)
{
    const CExchangeLine exchange {.rcode = "NOERROR", .flags = "qr", .answers = {}};
    for (const bool bExchanges : {false, true})
    {
        const auto Line = [&](CQueryFormat::Kind nKind, bool bHeads) {
            CQueryFormat format(nKind, bExchanges);
            std::string strOut;
            if (bHeads)
                format.AppendHeader(strOut);
            else if (bExchanges)
                format.AppendExchange(strOut, DigQuery(), exchange);
            else
                format.AppendQuery(strOut, DigQuery());
            return strOut;
        };
        const auto Split = [](const std::string& strLine, char chSeparator) {
            std::vector<std::string> cells;
            std::string strCell;
            for (const char ch : strLine.substr(0, strLine.size() - 1))
            {
                if (ch != chSeparator)
                    strCell += ch;
                else if (!strCell.empty() || chSeparator != ' ')
                    cells.push_back(std::exchange(strCell, {}));
            }
            cells.push_back(strCell);
            return cells;
        };
        std::vector<std::string> keys;
        const std::string strJson = Line(CQueryFormat::JSON, false);
        for (size_t nAt = 0; (nAt = strJson.find("\":", nAt)) != std::string::npos; ++nAt)
            keys.push_back(strJson.substr(strJson.rfind('"', nAt - 1) + 1, nAt - strJson.rfind('"', nAt - 1) - 1));
        EXPECT_EQ(keys.front(), "kind");
        EXPECT_EQ(Split(Line(CQueryFormat::TSV, true), '\t'), keys);
        EXPECT_EQ(Split(Line(CQueryFormat::CSV, true), ','), keys);
        EXPECT_EQ(Split(Line(CQueryFormat::TSV, false), '\t').size(), keys.size());
        std::vector<std::string> heads = Split(Line(CQueryFormat::TEXT, true), ' ');
        for (std::string& strHead : heads)
            std::transform(strHead.begin(), strHead.end(), strHead.begin(), ::tolower);
        EXPECT_EQ(heads.size(), keys.size());
        // The one value with a space of its own is this program's sender word; here it has none.
        EXPECT_EQ(Split(Line(CQueryFormat::TEXT, false), ' ').size(), keys.size()) << Line(CQueryFormat::TEXT, false);
    }
}

// Answer texts come in presentation form: a TXT with a quote, an escape, a comma and a semicolon,
// and an owner that would start a formula go as they are (the formula guard aside), and bytes no
// helper should send are escaped; each format stays one record with the exact texts.
TEST(QueryFormatTest, HostileAnswersStayOneValidRecord)
{
    if (std::system("python3 -c pass") != 0)
        GTEST_SKIP() << "python3 is not there to parse the output";
    const std::string strTxt = R"("say "hi", a\092b; c")";
    const CExchangeLine exchange {
        .rcode = "NOERROR",
        .flags = "qr",
        .answers = {CExchangeLine::CAnswer {"=x.example", "TXT", 60, strTxt},
                    CExchangeLine::CAnswer {"y.example", "TXT", 60, "\t\x1b\xff\\092"}},
    };
    // In the cell the TXT's own ';' is \059, so that "; " parts answers alone.
    const std::string strCell =
        "=x.example 60 TXT " + std::string(R"("say "hi", a\092b\059 c")") + "; y.example 60 TXT \\009\\027\\255\\092";
    // Rows of one length, the answers last.
    const std::string strRows = "assert len(r)==2 and len(r[1])==len(r[0])\nprint(r[1][-1])";
    const std::pair<CQueryFormat::Kind, std::string> readers[] = {
        {CQueryFormat::JSON, "import json,sys\nl=list(open(sys.argv[1],encoding='ascii'))\nassert len(l)==1\n"
                             "for a in json.loads(l[0])['answers']: print(a['name'],a['ttl'],a['type'],a['data'])"},
        {CQueryFormat::CSV,
         "import csv,sys\nr=list(csv.reader(open(sys.argv[1],newline='',encoding='ascii')))\n" + strRows},
        {CQueryFormat::TSV,
         "import sys\nr=[l.rstrip('\\n').split('\\t') for l in open(sys.argv[1],encoding='ascii')]\n" + strRows},
    };
    for (const auto& [nKind, strScript] : readers)
    {
        std::string strOut;
        CQueryFormat format(nKind, true);
        format.AppendHeader(strOut);
        format.AppendExchange(strOut, DigQuery(), exchange);
        const std::string strExpected =
            nKind == CQueryFormat::JSON ? "=x.example 60 TXT " + strTxt + "\ny.example 60 TXT \\009\\027\\255\\092\n"
                                        : "\\061" + strCell.substr(1) + "\n";
        EXPECT_EQ(ReadBack(strScript, strOut), strExpected) << nKind;
    }
    std::string strText;
    CQueryFormat(CQueryFormat::TEXT, true).AppendExchange(strText, DigQuery(), exchange);
    EXPECT_TRUE(strText.ends_with(" 4026531840 " + strCell + "\n")) << strText;
}

// A label, and a TXT string, that hold "; " and spaces cannot make two answers read as four, one of
// them a made-up A record: from the wire through the decoder to every format's answers cell.
TEST(QueryFormatTest, AnAnswerCannotPassForMoreAnswers)
{
    const std::string strForged = "x; www.bank.example 300 A 203.0.113.7; y";
    CBytes message = MakeDnsQuery("a.example");
    message[2] = 0x81, message[3] = 0x80, message[7] = 2;
    CBytes target {std::uint8_t(strForged.size())};
    target.insert(target.end(), strForged.begin(), strForged.end());
    target = target + CBytes {7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0};
    message = message + CBytes {0xC0, 0x0C, 0, 5, 0, 1, 0, 0, 1, 44, 0, std::uint8_t(target.size())} + target;
    CBytes txt {std::uint8_t(strForged.size())};
    txt.insert(txt.end(), strForged.begin(), strForged.end());
    message = message + CBytes {0xC0, 0x0C, 0, 16, 0, 1, 0, 0, 1, 44, 0, std::uint8_t(txt.size())} + txt;
    const CBytes frame = Ipv4Frame(17, UdpSegment(53, 40000, message));

    CResponseRecordMaker maker;
    ASSERT_TRUE(maker.Make(frame.data(), frame.size(), 1765100000, 0, EChecksumHint::FILE_FRAME));
    const CResponseRecord& record = maker.GetRecord();
    ASSERT_EQ(record.nAnswers, 2);
    CExchangeLine exchange;
    exchange.rcode = "NOERROR";
    std::vector<std::string> types;
    CAnswerWalk walk(maker.GetTail().substr(record.nLength), record.nAnswers);
    for (CAnswerText answer; walk.Next(answer);)
        exchange.answers.push_back({answer.owner, answer.nType == 5 ? "CNAME" : "TXT", answer.nTtl, answer.data});
    for (const CQueryFormat::Kind nKind : {CQueryFormat::TEXT, CQueryFormat::TSV, CQueryFormat::CSV})
    {
        std::string strOut;
        CQueryFormat(nKind, true).AppendExchange(strOut, DigQuery(), exchange);
        const size_t nCell = strOut.find("a.example. 300 CNAME ");
        ASSERT_NE(nCell, std::string::npos) << strOut;
        // Each answer starts with its owner, the one name both have.
        size_t nAnswers = 1;
        for (size_t nAt = nCell; (nAt = strOut.find("; ", nAt)) != std::string::npos; nAt += 2)
        {
            EXPECT_EQ(strOut.compare(nAt + 2, 11, "a.example. "), 0) << nKind << ": " << strOut;
            ++nAnswers;
        }
        EXPECT_EQ(nAnswers, 2u) << nKind << ": " << strOut;
    }
}

// An encrypted connection's record, made into its line and written: the frame's fields and the
// sender's as a query's, no DNS id, and the protocol, protocols and flags in their words.
TEST(QueryFormatTest, AnEncryptedConnectionIsWrittenAsItsRecordSays)
{
    CEncryptedRecord record;
    record.facts.nSeconds = 1765100000;
    record.facts.nProtocol = IPPROTO_TCP;
    record.facts.nIpVersion = 4;
    record.facts.abDestination[0] = 9;
    record.facts.nDestinationPort = 443;
    record.nProtocol = ENCRYPTED_HTTPS;
    record.nFlags = ENCRYPTED_ECH | ENCRYPTED_BY_ADDRESS;
    record.nSender = SENDER_PROGRAM;
    record.sender.nPid = 4242;
    std::strcpy(record.sender.szCommand, "curl");
    CQueryLineMaker queries(true);
    CEncryptedLineMaker maker(queries);
    const auto [line, exchange] = maker.Make(record, "dns.google", "h2,http/1.1");
    std::string strOut;
    CQueryFormat(CQueryFormat::JSON, true).AppendExchange(strOut, line, exchange);
    for (const char* pszPart :
         {R"("kind":"encrypted")", R"("name":"dns.google","type":null,"transport":"tcp")",
          R"("destination":"9.0.0.0","destination_port":443,"dns_id":null)", R"("flags":"ech,by-address")",
          R"("encrypted":"DoH","alpn":"h2,http/1.1")", R"("pid":4242,"program":"curl")", R"("answers":[])"})
        EXPECT_NE(strOut.find(pszPart), std::string::npos) << pszPart << "\n" << strOut;
}
