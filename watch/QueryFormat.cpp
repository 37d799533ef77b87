#include "watch/QueryFormat.h"

#include "dns/PresentationForm.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <span>

namespace {

constexpr const char* FORMAT_NAMES[] = {"text", "tsv", "csv", "json"};

constexpr const char* HEADS[] = {
    "time",   "name",   "type", "transport", "source", "source_port", "destination", "destination_port",
    "dns_id", "sender", "pid",  "program",   "user",   "unit",        "netns"};
// An exchange's heads go between the query's own and its sender's.
constexpr size_t FIRST_SENDER_HEAD = 9;
constexpr const char* EXCHANGE_HEADS[] = {"rcode", "answers", "ttl_min", "latency_us"};

// Text columns, in their order, with their widths; a longer value pushes the rest of its line.
struct CColumn
{
    const char* pszHead;
    size_t nWidth;
};
constexpr CColumn TEXT_COLUMNS[] = {
    {"TIME", 32}, {"TYPE", 6},     {"PROTO", 6}, {"SOURCE", 22}, {"DESTINATION", 22}, {"ID", 6},
    {"PID", 8},   {"PROGRAM", 16}, {"USER", 12}, {"UNIT", 28},   {"NAME", 0},
};
constexpr CColumn TEXT_EXCHANGE_COLUMNS[] = {
    {"TIME", 32},    {"TYPE", 6}, {"PROTO", 6},    {"SOURCE", 22}, {"DESTINATION", 22}, {"ID", 6},   {"RCODE", 11},
    {"LATENCY", 11}, {"PID", 8},  {"PROGRAM", 16}, {"USER", 12},   {"UNIT", 28},        {"NAME", 0},
};

// Empty for SENDER_UNKNOWN: the field is unknown.
const char* SenderWord(Channel::Sender nSender)
{
    switch (nSender)
    {
    case Channel::SENDER_PROGRAM:
        return "program";
    case Channel::SENDER_ANOTHER_USER:
        return "another user";
    case Channel::SENDER_ANOTHER_HOST:
        return "another host";
    default:
        return "";
    }
}

// Anything with append(const char*, size), counting what it is given.
struct CCounted
{
    std::string& strOut;
    size_t nCount = 0;
    void append(const char* p, size_t n)
    {
        strOut.append(p, n);
        nCount += n;
    }
};

template <class TNumber>
void AppendNumber(std::string& strOut, TNumber nValue)
{
    char szDigits[24];
    const auto result = std::to_chars(szDigits, szDigits + sizeof(szDigits), nValue);
    strOut.append(szDigits, result.ptr);
}

// Writes what it is given with one more byte as \DDD: a byte that would end a field where the
// text goes. Escapes already written never hold it, so it can be done after them.
template <class TText>
struct CEscaping
{
    TText& text;
    char chEscaped;
    void append(const char* p, size_t n)
    {
        size_t nFrom = 0;
        for (size_t i = 0; i < n; ++i)
        {
            if (p[i] != chEscaped)
                continue;
            text.append(p + nFrom, i - nFrom);
            AppendDecimalEscape(text, static_cast<unsigned char>(chEscaped));
            nFrom = i + 1;
        }
        text.append(p + nFrom, n - nFrom);
    }
};

// Appends an answer's text in its master-file form with every ';' in it written \059, escaped or
// not (a TXT string may hold one as it is, a name holds "\;"): the form reads both back as the
// same ';'. So "; " between answers is the only "; " of the cell, and nothing a response says can
// end an answer and pass for more of them; a name's spaces are escaped already.
void AppendAnswerPart(std::string& strCell, std::string_view presented)
{
    size_t nFrom = 0;
    for (size_t i = 0; i < presented.size(); ++i)
    {
        const bool bEscape = presented[i] == '\\' && i + 1 < presented.size();
        if (bEscape && presented[i + 1] != ';')
        {
            ++i; // the escaped character, or the first digit of \DDD, stays as it is
            continue;
        }
        if (!bEscape && presented[i] != ';')
            continue;
        AppendPresented(strCell, presented.substr(nFrom, i - nFrom));
        AppendDecimalEscape(strCell, ';');
        i += bEscape ? 1 : 0;
        nFrom = i + 1;
    }
    AppendPresented(strCell, presented.substr(nFrom));
}

// One cell, each answer as a zone file line would have it but for the class, and "; " between
// them.
std::string AnswersCell(const CExchangeLine& exchange)
{
    std::string strCell;
    for (const CExchangeLine::CAnswer& answer : exchange.answers)
    {
        if (!strCell.empty())
            strCell += "; ";
        AppendAnswerPart(strCell, answer.owner);
        strCell += ' ';
        AppendNumber(strCell, answer.nTtl);
        strCell += ' ';
        AppendAnswerPart(strCell, answer.type);
        strCell += ' ';
        AppendAnswerPart(strCell, answer.data);
    }
    return strCell;
}

std::string_view RcodeCell(const CExchangeLine& exchange)
{
    return exchange.nKind == CExchangeLine::UNANSWERED ? "unanswered" : exchange.rcode;
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, its quotes doubled. The
// presentation form has no line breaks left, but commas and quotes stay as they are.
void AppendCsvCell(std::string& strOut, const std::string& strField)
{
    if (strField.find_first_of(",\"\r\n") == std::string::npos)
    {
        strOut += strField;
        return;
    }
    strOut += '"';
    for (char ch : strField)
    {
        if (ch == '"')
            strOut += '"';
        strOut += ch;
    }
    strOut += '"';
}

void AppendCsvField(std::string& strOut, std::string_view text)
{
    std::string strField;
    AppendPresentationForm(strField, text, true);
    AppendCsvCell(strOut, strField);
}

struct CJsonText
{
    std::string& strOut;
    // Runs of plain characters go in whole: this is most of a JSON line's cost.
    void append(const char* p, size_t n)
    {
        size_t nFrom = 0;
        for (size_t i = 0; i < n; ++i)
        {
            const auto b = static_cast<unsigned char>(p[i]);
            const bool bQuoted = b == '"' || b == '\\';
            if (!bQuoted && b >= 0x20 && b < 0x7f)
                continue;
            strOut.append(p + nFrom, i - nFrom);
            nFrom = i + 1;
            if (bQuoted)
            {
                const char escaped[2] = {'\\', char(b)};
                strOut.append(escaped, sizeof(escaped));
                continue;
            }
            static constexpr char HEX[] = "0123456789abcdef";
            const char escaped[6] = {'\\', 'u', '0', '0', HEX[b >> 4], HEX[b & 15]};
            strOut.append(escaped, sizeof(escaped));
        }
        strOut.append(p + nFrom, n - nFrom);
    }
};

// Printable ASCII but the quote and the backslash: what both JSON and the presentation form keep.
bool IsPlain(std::string_view text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char ch) { return ch >= 0x20 && ch < 0x7f && ch != '"' && ch != '\\'; });
}

void AppendJsonString(std::string& strOut, std::string_view text, bool bPresentation = true)
{
    strOut += '"';
    // Nearly every name, program, user and unit is plain: it goes in whole.
    if (IsPlain(text))
        strOut += text;
    else if (bPresentation)
    {
        CJsonText json {strOut};
        AppendPresentationForm(json, text);
    }
    else
        CJsonText {strOut}.append(text.data(), text.size());
    strOut += '"';
}

// A key with its comma, quotes and colon, put together when compiling: a line has twenty of them.
template <size_t N>
struct CJsonKey
{
    char ac[N + 3] = {};
    consteval CJsonKey(const char (&key)[N])
    {
        ac[0] = ',';
        ac[1] = '"';
        for (size_t i = 0; i + 1 < N; ++i)
            ac[2 + i] = key[i];
        ac[N + 1] = '"';
        ac[N + 2] = ':';
    }
};

template <CJsonKey KEY>
void AppendKey(std::string& strOut)
{
    strOut.append(KEY.ac, sizeof(KEY.ac));
}

void AppendJsonPresented(std::string& strOut, std::string_view presented)
{
    strOut += '"';
    CJsonText json {strOut};
    AppendPresented(json, presented);
    strOut += '"';
}

template <CJsonKey KEY>
void AppendJsonTextOrNull(std::string& strOut, std::string_view text)
{
    AppendKey<KEY>(strOut);
    if (text.empty())
        strOut += "null";
    else
        AppendJsonString(strOut, text);
}

template <CJsonKey KEY>
void AppendJsonNumberOrNull(std::string& strOut, std::uint64_t nValue, bool bKnown)
{
    AppendKey<KEY>(strOut);
    if (bKnown)
        AppendNumber(strOut, nValue);
    else
        strOut += "null";
}

void AppendJsonExchange(std::string& strOut, const CExchangeLine& exchange)
{
    // A flood no one answers is written as fast as it comes: all but one of its fields are fixed.
    if (exchange.nKind == CExchangeLine::UNANSWERED && exchange.answers.empty() && exchange.nAnswersLeftOut == 0)
    {
        strOut += R"(,"rcode":null,"answers":[],"ttl_min":null,"latency_us":null,"retries":)";
        AppendNumber(strOut, exchange.nRetries);
        strOut += R"(,"answers_left_out":0)";
        return;
    }
    AppendKey<"rcode">(strOut);
    if (exchange.rcode.empty())
        strOut += "null";
    else
        AppendJsonPresented(strOut, exchange.rcode);
    strOut += ",\"answers\":[";
    for (const CExchangeLine::CAnswer& answer : exchange.answers)
    {
        if (&answer != exchange.answers.data())
            strOut += ',';
        strOut += "{\"name\":";
        AppendJsonPresented(strOut, answer.owner);
        strOut += ",\"type\":";
        AppendJsonPresented(strOut, answer.type);
        strOut += ",\"ttl\":";
        AppendNumber(strOut, answer.nTtl);
        strOut += ",\"data\":";
        AppendJsonPresented(strOut, answer.data);
        strOut += '}';
    }
    strOut += ']';
    AppendJsonNumberOrNull<"ttl_min">(strOut, exchange.nTtlMin, exchange.bHasTtlMin);
    AppendJsonNumberOrNull<"latency_us">(strOut, exchange.nLatencyUs, exchange.bHasLatency);
    AppendJsonNumberOrNull<"retries">(strOut, exchange.nRetries, true);
    AppendJsonNumberOrNull<"answers_left_out">(strOut, exchange.nAnswersLeftOut, true);
}

const char* JsonKind(const CExchangeLine* pExchange)
{
    if (!pExchange)
        return "query";
    switch (pExchange->nKind)
    {
    case CExchangeLine::UNANSWERED:
        return "unanswered";
    case CExchangeLine::UNASKED:
        return "response";
    default:
        return "exchange";
    }
}

void AppendJson(std::string& strOut, const CQueryLine& line, const CExchangeLine* pExchange,
                CQueryFormat::CSenderText& sender)
{
    strOut += "{\"kind\":\"";
    strOut += JsonKind(pExchange);
    strOut += '"';
    AppendKey<"time">(strOut);
    AppendJsonString(strOut, line.strTime, false);
    AppendKey<"name">(strOut);
    AppendJsonPresented(strOut, line.name);
    AppendJsonTextOrNull<"type">(strOut, line.strType);
    AppendJsonTextOrNull<"transport">(strOut, line.pszTransport);
    AppendJsonTextOrNull<"source">(strOut, line.strSource);
    AppendJsonNumberOrNull<"source_port">(strOut, line.nSourcePort, true);
    AppendJsonTextOrNull<"destination">(strOut, line.strDestination);
    AppendJsonNumberOrNull<"destination_port">(strOut, line.nDestinationPort, true);
    AppendJsonNumberOrNull<"dns_id">(strOut, line.nDnsId, true);
    if (pExchange)
        AppendJsonExchange(strOut, *pExchange);
    strOut += sender.Get(line);
    strOut += "}\n";
}

// The fields of TSV and CSV, in HEADS order, each through the format's own writer (Cell for texts
// in presentation form already). Any text field may be a spreadsheet's cell, and a program's name
// or a unit's is its owner's choice: the writer keeps every field, not the name alone, from
// starting a formula.
template <class TField, class TCell, class TSeparate>
void AppendFields(std::string& strOut, const CQueryLine& line, const CExchangeLine* pExchange, TField&& Field,
                  TCell&& Cell, TSeparate&& Separate)
{
    std::string strNumber;
    const auto Number = [&](std::uint64_t nValue, bool bKnown) {
        strNumber.clear();
        if (bKnown)
            AppendNumber(strNumber, nValue);
        Field(strNumber);
    };
    Field(line.strTime);
    Separate();
    Cell(line.name);
    Separate();
    Field(line.strType);
    Separate();
    Field(line.pszTransport);
    Separate();
    Field(line.strSource);
    Separate();
    Number(line.nSourcePort, true);
    Separate();
    Field(line.strDestination);
    Separate();
    Number(line.nDestinationPort, true);
    Separate();
    Number(line.nDnsId, true);
    Separate();
    if (pExchange)
    {
        Cell(RcodeCell(*pExchange));
        Separate();
        Cell(AnswersCell(*pExchange));
        Separate();
        Number(pExchange->nTtlMin, pExchange->bHasTtlMin);
        Separate();
        Number(pExchange->nLatencyUs, pExchange->bHasLatency);
        Separate();
    }
    Field(SenderWord(line.nSender));
    Separate();
    Number(line.nPid, line.nPid != 0);
    Separate();
    Field(line.program);
    Separate();
    Field(line.user);
    Separate();
    Field(line.unit);
    Separate();
    Number(line.nNetNs, line.nNetNs != 0);
    strOut += '\n';
}

void AppendEndpoint(std::string& strOut, const std::string& strAddress, std::uint16_t nPort)
{
    const bool bIpv6 = strAddress.find(':') != std::string::npos;
    if (bIpv6)
        strOut += '[';
    strOut += strAddress;
    if (bIpv6)
        strOut += ']';
    strOut += ':';
    AppendNumber(strOut, nPort);
}

void AppendText(std::string& strOut, const CQueryLine& line, const CExchangeLine* pExchange)
{
    std::string strProgram;
    // The program column says who sent it when no program is named: another user or another host,
    // in words of this program's own, which a program's name cannot pass for (its space is \032).
    const bool bSenderWord = line.program.empty() && line.nSender != Channel::SENDER_PROGRAM;
    if (!line.program.empty())
        AppendPresentationForm(strProgram, line.program);
    else if (bSenderWord)
        strProgram = SenderWord(line.nSender);
    std::string strSource, strDestination, strPid;
    AppendEndpoint(strSource, line.strSource, line.nSourcePort);
    AppendEndpoint(strDestination, line.strDestination, line.nDestinationPort);
    if (line.nPid != 0)
        AppendNumber(strPid, line.nPid);
    std::string strId;
    AppendNumber(strId, line.nDnsId);
    std::string strLatency;
    if (pExchange && pExchange->bHasLatency)
    {
        AppendNumber(strLatency, pExchange->nLatencyUs / 1000);
        const unsigned nFraction = pExchange->nLatencyUs % 1000;
        const char fraction[4] = {'.', char('0' + nFraction / 100), char('0' + nFraction / 10 % 10),
                                  char('0' + nFraction % 10)};
        strLatency.append(fraction, sizeof(fraction));
        strLatency += "ms";
    }
    // The program's cell and the exchange's are in presentation form already.
    enum Form
    {
        RAW,
        PRESENTED,
        OURS,
    };
    struct CCell
    {
        std::string_view text;
        Form nForm = RAW;
    };
    const Form nProgramForm = bSenderWord ? OURS : PRESENTED;
    const CCell queryCells[] = {
        {line.strTime}, {line.strType}, {line.pszTransport},        {strSource}, {strDestination},
        {strId},        {strPid},       {strProgram, nProgramForm}, {line.user}, {line.unit}};
    const CCell exchangeCells[] = {{line.strTime},
                                   {line.strType},
                                   {line.pszTransport},
                                   {strSource},
                                   {strDestination},
                                   {strId},
                                   {pExchange ? RcodeCell(*pExchange) : "", PRESENTED},
                                   {strLatency, PRESENTED},
                                   {strPid},
                                   {strProgram, nProgramForm},
                                   {line.user},
                                   {line.unit}};
    const CColumn* pColumn = pExchange ? TEXT_EXCHANGE_COLUMNS : TEXT_COLUMNS;
    // Columns end at a space: one inside a value, as a program or a name may hold, is \032.
    for (const CCell& cell : pExchange ? std::span<const CCell>(exchangeCells) : std::span<const CCell>(queryCells))
    {
        CCounted counted {strOut};
        CEscaping<CCounted> column {counted, ' '};
        if (cell.text.empty())
            counted.append("-", 1);
        else if (cell.nForm == OURS)
            counted.append(cell.text.data(), cell.text.size());
        else if (cell.nForm == PRESENTED)
            AppendPresented(column, cell.text);
        else
            AppendPresentationForm(column, cell.text);
        const size_t nWidth = (pColumn++)->nWidth;
        strOut.append(counted.nCount < nWidth ? nWidth - counted.nCount : 1, ' ');
    }
    AppendPresented(strOut, line.name);
    if (pExchange && !pExchange->answers.empty())
    {
        strOut += "  ";
        strOut += AnswersCell(*pExchange);
    }
    strOut += '\n';
}

} // namespace

// Most queries come from a few programs: the sender's fields are written again only when another
// sends.
const std::string& CQueryFormat::CSenderText::Get(const CQueryLine& line)
{
    if (m_bKnown && line.nSender == m_nSender && line.nPid == m_nPid && line.nNetNs == m_nNetNs
        && line.program == m_strProgram && line.user == m_strUser && line.unit == m_strUnit)
        return m_strText;
    m_bKnown = true;
    m_nSender = line.nSender;
    m_nPid = line.nPid;
    m_nNetNs = line.nNetNs;
    m_strProgram = line.program;
    m_strUser = line.user;
    m_strUnit = line.unit;
    m_strText.clear();
    AppendJsonTextOrNull<"sender">(m_strText, SenderWord(line.nSender));
    AppendJsonNumberOrNull<"pid">(m_strText, line.nPid, line.nPid != 0);
    AppendJsonTextOrNull<"program">(m_strText, line.program);
    AppendJsonTextOrNull<"user">(m_strText, line.user);
    AppendJsonTextOrNull<"unit">(m_strText, line.unit);
    AppendJsonNumberOrNull<"netns">(m_strText, line.nNetNs, line.nNetNs != 0);
    return m_strText;
}

bool CQueryFormat::FromName(std::string_view name, CQueryFormat& format)
{
    for (size_t i = 0; i < std::size(FORMAT_NAMES); ++i)
    {
        if (name == FORMAT_NAMES[i])
        {
            format = CQueryFormat(Kind(i), format.m_bExchanges);
            return true;
        }
    }
    return false;
}

void CQueryFormat::AppendHeader(std::string& strOut) const
{
    switch (m_nKind)
    {
    case TEXT:
        for (const CColumn& column :
             m_bExchanges ? std::span<const CColumn>(TEXT_EXCHANGE_COLUMNS) : std::span<const CColumn>(TEXT_COLUMNS))
        {
            strOut += column.pszHead;
            const size_t nLength = std::char_traits<char>::length(column.pszHead);
            if (column.nWidth > 0)
                strOut.append(column.nWidth - nLength, ' ');
        }
        strOut += '\n';
        break;
    case TSV:
    case CSV:
        for (size_t i = 0; i < std::size(HEADS); ++i)
        {
            if (i == FIRST_SENDER_HEAD && m_bExchanges)
            {
                for (const char* pszHead : EXCHANGE_HEADS)
                {
                    strOut += m_nKind == TSV ? '\t' : ',';
                    strOut += pszHead;
                }
            }
            if (i > 0)
                strOut += m_nKind == TSV ? '\t' : ',';
            strOut += HEADS[i];
        }
        strOut += '\n';
        break;
    case JSON:
        break;
    }
}

void CQueryFormat::AppendQuery(std::string& strOut, const CQueryLine& line) const
{
    AppendLine(strOut, line, nullptr);
}

void CQueryFormat::AppendExchange(std::string& strOut, const CQueryLine& query, const CExchangeLine& exchange) const
{
    AppendLine(strOut, query, &exchange);
}

void CQueryFormat::AppendLine(std::string& strOut, const CQueryLine& line, const CExchangeLine* pExchange) const
{
    switch (m_nKind)
    {
    case TEXT:
        AppendText(strOut, line, pExchange);
        break;
    case TSV:
        AppendFields(
            strOut, line, pExchange, [&](std::string_view text) { AppendPresentationForm(strOut, text, true); },
            [&](std::string_view presented) { AppendPresented(strOut, presented, true); }, [&] { strOut += '\t'; });
        break;
    case CSV:
        AppendFields(
            strOut, line, pExchange, [&](std::string_view text) { AppendCsvField(strOut, text); },
            [&](std::string_view presented) {
                std::string strField;
                AppendPresented(strField, presented, true);
                AppendCsvCell(strOut, strField);
            },
            [&] { strOut += ','; });
        break;
    case JSON:
        AppendJson(strOut, line, pExchange, m_sender);
        break;
    }
}

void CQueryFormat::AppendMissed(std::string& strOut, std::string_view time, std::uint64_t nMissed) const
{
    if (m_nKind != JSON)
        return;
    strOut += "{\"kind\":\"missed\"";
    AppendKey<"time">(strOut);
    AppendJsonString(strOut, time, false);
    AppendKey<"missed">(strOut);
    AppendNumber(strOut, nMissed);
    strOut += "}\n";
}
