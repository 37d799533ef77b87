#include "watch/QueryFormat.h"

#include "dns/PresentationForm.h"
#include "watch/JsonText.h"
#include "watch/OutputFields.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

namespace {

constexpr const char* FORMAT_NAMES[] = {"text", "tsv", "csv", "json"};

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
template <class TText>
void AppendAnswerPart(TText& strCell, std::string_view presented)
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
        if (answer.bHasTtl)
            AppendNumber(strCell, answer.nTtl);
        else
            strCell += '-';
        strCell += ' ';
        AppendAnswerPart(strCell, answer.type);
        strCell += ' ';
        AppendAnswerPart(strCell, answer.data);
    }
    return strCell;
}

// One cell of the lookups an exchange was asked for: program/pid/user/unit each, "-" for a part not
// known, and ',' between them. Each part is in its presentation form with '/' and ',' as \DDD, and
// a part that could start a formula or pass for "-" escaped too, so no program's name can make
// more of them.
std::string AskedForCell(const CExchangeLine& exchange)
{
    std::string strCell;
    CEscaping<std::string> commas {strCell, ','};
    CEscaping<CEscaping<std::string>> parts {commas, '/'};
    const auto AppendPart = [&](std::string_view part) {
        if (part.empty())
            strCell += '-';
        else
            AppendPresentationForm(parts, part, true);
    };
    for (const CExchangeLine::CAskedFor& asked : exchange.askedFor)
    {
        if (!strCell.empty())
            strCell += ',';
        AppendPart(asked.program);
        strCell += '/';
        AppendNumber(strCell, asked.nPid);
        strCell += '/';
        AppendPart(asked.user);
        strCell += '/';
        AppendPart(asked.unit);
    }
    return strCell;
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, its quotes doubled. The
// presentation form has no line breaks left, but commas and quotes stay as they are. The field is
// written in place first, as TSV would have it: most need no quotes.
void QuoteCsvCell(std::string& strOut, size_t nStart)
{
    if (strOut.find_first_of(",\"\r\n", nStart) == std::string::npos)
        return;
    std::string strQuoted = "\"";
    for (size_t i = nStart; i < strOut.size(); ++i)
    {
        if (strOut[i] == '"')
            strQuoted += '"';
        strQuoted += strOut[i];
    }
    strQuoted += '"';
    strOut.replace(nStart, std::string::npos, strQuoted);
}

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

void AppendJsonPresented(std::string& strOut, std::string_view presented)
{
    strOut += '"';
    // Nearly every name and answer is plain, and goes in whole: no escape of either form is in it.
    if (IsPlain(presented))
        strOut += presented;
    else
    {
        CJsonText json {strOut};
        AppendPresented(json, presented);
    }
    strOut += '"';
}

void AppendJsonAnswers(std::string& strOut, const CExchangeLine& exchange)
{
    strOut += '[';
    for (const CExchangeLine::CAnswer& answer : exchange.answers)
    {
        if (&answer != exchange.answers.data())
            strOut += ',';
        strOut += "{\"name\":";
        AppendJsonPresented(strOut, answer.owner);
        strOut += ",\"type\":";
        AppendJsonPresented(strOut, answer.type);
        strOut += ",\"ttl\":";
        if (answer.bHasTtl)
            AppendNumber(strOut, answer.nTtl);
        else
            strOut += "null";
        strOut += ",\"data\":";
        AppendJsonPresented(strOut, answer.data);
        strOut += '}';
    }
    strOut += ']';
}

void AppendJsonAskedFor(std::string& strOut, const CExchangeLine& exchange)
{
    strOut += '[';
    for (const CExchangeLine::CAskedFor& asked : exchange.askedFor)
    {
        if (&asked != exchange.askedFor.data())
            strOut += ',';
        strOut += "{\"pid\":";
        AppendNumber(strOut, asked.nPid);
        for (const auto& [pszKey, text] : {std::pair {",\"program\":", std::string_view(asked.program)},
                                           std::pair {",\"user\":", std::string_view(asked.user)},
                                           std::pair {",\"unit\":", std::string_view(asked.unit)}})
        {
            strOut += pszKey;
            if (text.empty())
                strOut += "null";
            else
                AppendJsonString(strOut, text, true);
        }
        strOut += '}';
    }
    strOut += ']';
}

// Each field's key with its quotes and colon, and the comma before all but the first: put
// together once, as a line has twenty of them.
const std::string& JsonKeyOf(size_t nField)
{
    static const auto s_keys = [] {
        std::array<std::string, 32> keys;
        const auto fields = OutputFields();
        for (size_t i = 0; i < fields.size() && i < keys.size(); ++i)
            keys[i] = std::string(i == 0 ? "{\"" : ",\"") + fields[i].pszKey + "\":";
        return keys;
    }();
    return s_keys[nField];
}

void AppendJsonValue(std::string& strOut, const COutputValue& value, const CExchangeLine* pExchange)
{
    switch (value.nKind)
    {
    case COutputValue::UNKNOWN:
        strOut += "null";
        break;
    case COutputValue::NUMBER:
        AppendNumber(strOut, value.nNumber);
        break;
    case COutputValue::TEXT:
        AppendJsonString(strOut, value.text, true);
        break;
    case COutputValue::PRESENTED:
        AppendJsonPresented(strOut, value.text);
        break;
    case COutputValue::WORD:
        // This program's own words (a time, a mnemonic, an address) hold no quote, backslash or
        // control byte: they go in whole, unscanned, as most of a line does.
        strOut += '"';
        strOut += value.text;
        strOut += '"';
        break;
    case COutputValue::ANSWERS:
        AppendJsonAnswers(strOut, *pExchange);
        break;
    case COutputValue::ASKED_FOR:
        AppendJsonAskedFor(strOut, *pExchange);
        break;
    }
}

// TSV's and CSV's value, before CSV's quotes. Any field may be a spreadsheet's cell, and a
// program's name or a unit's is its owner's choice: every field, not the name alone, is kept from
// starting a formula.
void AppendTableValue(std::string& strOut, const COutputValue& value, const CExchangeLine* pExchange)
{
    switch (value.nKind)
    {
    case COutputValue::UNKNOWN:
        break;
    case COutputValue::NUMBER:
        AppendNumber(strOut, value.nNumber);
        break;
    case COutputValue::TEXT:
        AppendPresentationForm(strOut, value.text, true);
        break;
    case COutputValue::WORD:
        // This program's own words start no formula and hold nothing to escape.
        strOut += value.text;
        break;
    case COutputValue::PRESENTED:
        AppendPresented(strOut, value.text, true);
        break;
    case COutputValue::ANSWERS:
        AppendPresented(strOut, AnswersCell(*pExchange), true);
        break;
    case COutputValue::ASKED_FOR:
        strOut += AskedForCell(*pExchange);
        break;
    }
}

// Columns end at a space: one inside a value, as a program or a name may hold, is \032. Only this
// program's own words keep theirs ("another user"), and no value of another's can pass for them.
void AppendTextValue(std::string& strOut, const COutputValue& value, const CExchangeLine* pExchange)
{
    // A ';' is \059 too: so "; " parts the answers of the last column alone.
    CEscaping<std::string> column {strOut, ' '};
    CEscaping<std::string> semicolons {strOut, ';'};
    CEscaping<CEscaping<std::string>> raw {semicolons, ' '};
    switch (value.nKind)
    {
    case COutputValue::UNKNOWN:
        strOut += '-';
        break;
    case COutputValue::NUMBER:
        AppendNumber(strOut, value.nNumber);
        break;
    case COutputValue::TEXT:
        AppendPresentationForm(raw, value.text);
        break;
    case COutputValue::PRESENTED:
        AppendAnswerPart(column, value.text);
        break;
    case COutputValue::WORD:
        strOut += value.text;
        break;
    case COutputValue::ANSWERS:
        // The last column: its spaces part the answer's own fields, and "; " the answers.
        if (pExchange->answers.empty())
            strOut += '-';
        else
            strOut += AnswersCell(*pExchange);
        break;
    case COutputValue::ASKED_FOR:
    {
        const std::string strCell = AskedForCell(*pExchange);
        raw.append(strCell.data(), strCell.size());
        break;
    }
    }
}

void PadColumn(std::string& strOut, size_t nStart, size_t nWidth)
{
    const size_t nLength = strOut.size() - nStart;
    strOut.append(nLength < nWidth ? nWidth - nLength : 1, ' ');
}

// A text line's last column is padded like the others; its spaces go before the line ends. No
// value ends in a space of its own: those are escaped.
void EndTextLine(std::string& strOut)
{
    while (!strOut.empty() && strOut.back() == ' ')
        strOut.pop_back();
    strOut += '\n';
}

// An unanswered exchange with nothing of a response: what most of a flood is.
bool IsBare(const CExchangeLine* pExchange)
{
    return pExchange != nullptr && pExchange->nKind == CExchangeLine::UNANSWERED && pExchange->answers.empty()
           && pExchange->nAnswersLeftOut == 0 && pExchange->askedFor.empty();
}

} // namespace

bool CQueryFormat::CSenderText::Matches(const CQueryLine& line) const
{
    return m_bKnown && line.nSender == m_nSender && line.nPid == m_nPid && line.nNetNs == m_nNetNs
           && line.program == m_strProgram && line.user == m_strUser && line.unit == m_strUnit;
}

void CQueryFormat::CSenderText::Keep(const CQueryLine& line, std::string_view text)
{
    m_bKnown = true;
    m_nSender = line.nSender;
    m_nPid = line.nPid;
    m_nNetNs = line.nNetNs;
    m_strProgram = line.program;
    m_strUser = line.user;
    m_strUnit = line.unit;
    m_strText = text;
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
    if (m_nKind == JSON)
        return;
    bool bFirst = true;
    for (const COutputField& field : OutputFields())
    {
        if (field.bExchangesOnly && !m_bExchanges)
            continue;
        if (m_nKind == TEXT)
        {
            const size_t nStart = strOut.size();
            strOut += field.pszHead;
            PadColumn(strOut, nStart, field.nWidth);
            continue;
        }
        if (!bFirst)
            strOut += m_nKind == TSV ? '\t' : ',';
        bFirst = false;
        strOut += field.pszKey;
    }
    if (m_nKind == TEXT)
        EndTextLine(strOut);
    else
        strOut += '\n';
}

void CQueryFormat::AppendQuery(std::string& strOut, const CQueryLine& line) const
{
    AppendLine(strOut, line, nullptr);
}

void CQueryFormat::AppendExchange(std::string& strOut, const CQueryLine& query, const CExchangeLine& exchange) const
{
    AppendLine(strOut, query, &exchange);
}

void CQueryFormat::AppendField(std::string& strOut, size_t nField, const CQueryLine& line,
                               const CExchangeLine* pExchange) const
{
    const COutputField& field = OutputFields()[nField];
    const COutputValue value = field.pfnValue(line, pExchange);
    const size_t nStart = strOut.size();
    switch (m_nKind)
    {
    case TEXT:
        AppendTextValue(strOut, value, pExchange);
        PadColumn(strOut, nStart, field.nWidth);
        break;
    case TSV:
    case CSV:
        if (nField > 0)
            strOut += m_nKind == TSV ? '\t' : ',';
        AppendTableValue(strOut, value, pExchange);
        if (m_nKind == CSV)
            QuoteCsvCell(strOut, nStart + (nField > 0 ? 1 : 0));
        break;
    case JSON:
        strOut += JsonKeyOf(nField);
        AppendJsonValue(strOut, value, pExchange);
        break;
    }
}

void CQueryFormat::AppendLine(std::string& strOut, const CQueryLine& line, const CExchangeLine* pExchange) const
{
    const auto fields = OutputFields();
    for (size_t i = 0; i < fields.size(); ++i)
    {
        if (fields[i].bExchangesOnly && pExchange == nullptr)
            continue;
        if (fields[i].bExchangesOnly && IsBare(pExchange))
        {
            // A flood no one answers is written as fast as it comes: of its exchange's fields only
            // the retries can change.
            size_t nEnd = i;
            while (nEnd < fields.size() && fields[nEnd].bExchangesOnly)
                ++nEnd;
            CBareRun& run = m_bareRuns[i == m_bareRuns[0].nField || m_bareRuns[0].nField == SIZE_MAX ? 0 : 1];
            if (run.nField != i || run.nRetries != pExchange->nRetries)
            {
                const size_t nStart = strOut.size();
                for (size_t j = i; j < nEnd; ++j)
                    AppendField(strOut, j, line, pExchange);
                run = {i, pExchange->nRetries, strOut.substr(nStart)};
            }
            else
                strOut += run.strText;
            i = nEnd - 1;
            continue;
        }
        if (!fields[i].bSender)
        {
            AppendField(strOut, i, line, pExchange);
            continue;
        }
        // Most lines come from a few senders: the run of a sender's fields is written again only
        // when another sends. No sender field depends on the exchange, nor on what went before.
        size_t nEnd = i;
        while (nEnd < fields.size() && fields[nEnd].bSender)
            ++nEnd;
        if (!m_sender.Matches(line))
        {
            const size_t nStart = strOut.size();
            for (size_t j = i; j < nEnd; ++j)
                AppendField(strOut, j, line, pExchange);
            m_sender.Keep(line, std::string_view(strOut).substr(nStart));
        }
        else
            strOut += m_sender.GetText();
        i = nEnd - 1;
    }
    switch (m_nKind)
    {
    case TEXT:
        EndTextLine(strOut);
        break;
    case JSON:
        strOut += "}\n";
        break;
    default:
        strOut += '\n';
    }
}

void CQueryFormat::AppendMissed(std::string& strOut, std::string_view time, std::uint64_t nMissed) const
{
    if (m_nKind != JSON)
        return;
    strOut += "{\"kind\":\"missed\",\"time\":";
    AppendJsonString(strOut, time, false);
    strOut += ",\"missed\":";
    AppendNumber(strOut, nMissed);
    strOut += "}\n";
}
