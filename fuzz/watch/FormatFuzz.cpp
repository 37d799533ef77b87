// A frame from the wire through the decoder into every output format, as tarrow-watch writes it,
// and the shape of each line checked as its reader would take it apart: one line, printable ASCII,
// TSV's and CSV's field counts those of their heads, JSON that parses with one array entry per
// answer, and an answers cell that splits into exactly the answers the response carried.
#include "channel/AnswerTail.h"
#include "frames/FrameRecords.h"
#include "dns/DnsName.h"
#include "dns/DnsTypes.h"
#include "watch/QueryFormat.h"
#include "watch/QueryLineMaker.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Which check failed, and on what line, for the crash report.
const std::string* g_pLine = nullptr;

void Fail(int nLine)
{
    std::fprintf(stderr, "FormatFuzz: the check on line %d failed%s%s\n", nLine, g_pLine != nullptr ? " for: " : "",
                 g_pLine != nullptr ? g_pLine->c_str() : "");
    std::abort();
}
// A macro for the line it names: this clang's library has no std::source_location.
#define Check(bHolds) ((bHolds) ? void() : Fail(__LINE__))

// RFC 4180 fields of one line without its line break.
std::vector<std::string> CsvFields(std::string_view line)
{
    std::vector<std::string> fields(1);
    bool bQuoted = false;
    for (size_t i = 0; i < line.size(); ++i)
    {
        const char ch = line[i];
        if (bQuoted && ch == '"' && i + 1 < line.size() && line[i + 1] == '"')
            fields.back() += line[++i];
        else if (ch == '"' && (bQuoted || fields.back().empty()))
            bQuoted = !bQuoted;
        else if (ch == ',' && !bQuoted)
            fields.emplace_back();
        else
            fields.back() += ch;
    }
    Check(!bQuoted);
    return fields;
}

std::vector<std::string> Split(std::string_view line, std::string_view separator)
{
    std::vector<std::string> parts;
    for (size_t nFrom = 0;;)
    {
        const size_t nAt = line.find(separator, nFrom);
        parts.emplace_back(line.substr(nFrom, nAt - nFrom));
        if (nAt == std::string_view::npos)
            return parts;
        nFrom = nAt + separator.size();
    }
}

// Each answer: an owner with no space, its TTL in digits, a type, then data.
void CheckAnswersCell(std::string_view cell, size_t nAnswers)
{
    if (nAnswers == 0)
    {
        Check(cell.empty());
        return;
    }
    const std::vector<std::string> answers = Split(cell, "; ");
    Check(answers.size() == nAnswers);
    for (const std::string& strAnswer : answers)
    {
        const std::vector<std::string> parts = Split(strAnswer, " ");
        Check(parts.size() >= 4 && !parts[0].empty() && !parts[1].empty() && !parts[2].empty());
        Check(parts[1].find_first_not_of("0123456789") == std::string::npos);
    }
}

// Each lookup asked for: program/pid/user/unit, and ',' only between them.
void CheckAskedForCell(std::string_view cell, size_t nAskedFor)
{
    if (nAskedFor == 0)
    {
        Check(cell.empty());
        return;
    }
    const std::vector<std::string> entries = Split(cell, ",");
    Check(entries.size() == nAskedFor);
    for (const std::string& strEntry : entries)
    {
        const std::vector<std::string> parts = Split(strEntry, "/");
        Check(parts.size() == 4 && parts[1].find_first_not_of("0123456789") == std::string::npos);
    }
}

// One line, ended once, of printable ASCII (and tabs for TSV).
std::string_view OneLine(const std::string& strOut, bool bTabs)
{
    Check(!strOut.empty() && strOut.back() == '\n');
    const std::string_view line(strOut.data(), strOut.size() - 1);
    for (const char ch : line)
        Check((ch >= 0x20 && ch < 0x7f) || (bTabs && ch == '\t'));
    return line;
}

void CheckFormats(const CQueryLine& line, const CExchangeLine* pExchange)
{
    const bool bExchanges = pExchange != nullptr;
    for (const CQueryFormat::Kind nKind :
         {CQueryFormat::TEXT, CQueryFormat::TSV, CQueryFormat::CSV, CQueryFormat::JSON})
    {
        const CQueryFormat format(nKind, bExchanges);
        std::string strHeads, strOut;
        format.AppendHeader(strHeads);
        if (bExchanges)
            format.AppendExchange(strOut, line, *pExchange);
        else
            format.AppendQuery(strOut, line);
        g_pLine = &strOut;
        const std::string_view text = OneLine(strOut, nKind == CQueryFormat::TSV);
        const size_t nAnswers = bExchanges ? pExchange->answers.size() : 0;
        switch (nKind)
        {
        case CQueryFormat::TEXT:
            // Nothing before the answers can hold "; ": names and columns have their spaces escaped.
            Check(Split(text, "; ").size() == std::max<size_t>(nAnswers, 1));
            break;
        case CQueryFormat::TSV:
        case CQueryFormat::CSV:
        {
            const bool bTsv = nKind == CQueryFormat::TSV;
            const std::string_view headLine(strHeads.data(), strHeads.size() - 1);
            const std::vector<std::string> heads = bTsv ? Split(headLine, "\t") : CsvFields(headLine);
            const std::vector<std::string> fields = bTsv ? Split(text, "\t") : CsvFields(text);
            Check(fields.size() == heads.size());
            for (size_t i = 0; bExchanges && i < heads.size(); ++i)
            {
                if (heads[i] == "answers")
                    CheckAnswersCell(fields[i], nAnswers);
                if (heads[i] == "for")
                    CheckAskedForCell(fields[i], pExchange->askedFor.size());
            }
            break;
        }
        case CQueryFormat::JSON:
        {
            const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
            Check(!object.is_discarded() && object.is_object() && object.contains("name"));
            if (bExchanges)
                Check(object["answers"].is_array() && object["answers"].size() == nAnswers);
            if (bExchanges && !pExchange->askedFor.empty())
                Check(object["for"].is_array() && object["for"].size() == pExchange->askedFor.size());
            break;
        }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, size_t nSize)
{
    static CQueryLineMaker s_lineMaker(true);
    char szName[NAME_BUFFER_SIZE];
    size_t nNameLength = 0;
    CQueryFacts facts;
    if (ExtractQueryName(pData, nSize, szName, nNameLength, &facts))
    {
        Channel::CNameRecord record;
        record.facts.nSeconds = 1765100000;
        CopyQueryFacts(facts, &record.facts);
        record.nLength = std::uint16_t(nNameLength);
        const std::string_view name(szName, nNameLength);
        CheckFormats(s_lineMaker.Make(record, name), nullptr);
        CExchangeLine unanswered;
        unanswered.nKind = CExchangeLine::UNANSWERED;
        CheckFormats(s_lineMaker.Make(record, name), &unanswered);
        return 0;
    }
    static CResponseRecordMaker s_response;
    if (!s_response.Make(pData, nSize, 1765100000, 0, EChecksumHint::LIVE_VALID))
        return 0;
    const Channel::CResponseRecord& response = s_response.GetRecord();
    Check(response.IsValid());
    const std::string_view tail = s_response.GetTail();
    const std::string_view name = tail.substr(0, response.nLength);
    CExchangeLine exchange;
    exchange.nKind = CExchangeLine::UNASKED;
    const std::string strRcode = DnsRcodeName(response.nRcode);
    exchange.rcode = strRcode;
    std::vector<std::string> types;
    types.reserve(response.nAnswers);
    CAnswerWalk walk(tail.substr(response.nLength), response.nAnswers);
    for (CAnswerText answer; walk.Next(answer);)
    {
        types.push_back(DnsTypeName(answer.nType));
        exchange.answers.push_back({answer.owner, types.back(), answer.nTtl, answer.data});
    }
    Check(walk.IsSound() && exchange.answers.size() == response.nAnswers);
    // Programs, users and units are other people's bytes: the frame's own, raw, stand for them.
    const std::string raw(reinterpret_cast<const char*>(pData), std::min<size_t>(nSize, 48));
    exchange.askedFor = {{7, raw, raw.substr(raw.size() / 2), {}}, {8, {}, {}, raw}};
    Channel::CNameRecord asked;
    asked.facts = response.facts;
    asked.nLength = response.nLength;
    CheckFormats(s_lineMaker.Make(asked, name), &exchange);
    return 0;
}
