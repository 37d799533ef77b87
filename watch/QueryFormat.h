#pragma once

#include "watch/ExchangeLine.h"
#include "watch/QueryLine.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The ways tarrow-watch writes queries, or whole exchanges, one line each: aligned text for people,
// TSV and CSV (RFC 4180) for tables, JSON lines for log pipelines. Each walks the same fields, in
// the same order (watch/OutputFields.h). Every text field is written in
// its presentation form, so no name, program or path can start a line, a field or a terminal
// sequence; TSV and CSV also keep every field from starting a spreadsheet formula.
class CQueryFormat
{
public:
    enum Kind
    {
        TEXT,
        TSV,
        CSV,
        JSON,
    };

    explicit CQueryFormat(Kind nKind = TEXT, bool bExchanges = false) : m_nKind(nKind), m_bExchanges(bExchanges) {}
    // False for a name that is none of text, tsv, csv, json. Whether it writes exchanges stays.
    static bool FromName(std::string_view name, CQueryFormat& format);

    // With exchanges every line is one, written by AppendExchange, and the heads have their columns.
    void SetExchanges(bool bExchanges) { m_bExchanges = bExchanges; }
    bool GetExchanges() const { return m_bExchanges; }
    Kind GetKind() const { return m_nKind; }

    // The column heads, or nothing for JSON.
    void AppendHeader(std::string& strOut) const;
    void AppendQuery(std::string& strOut, const CQueryLine& line) const;
    // The query's line with what its exchange adds; for an unasked response, the response's own.
    void AppendExchange(std::string& strOut, const CQueryLine& query, const CExchangeLine& exchange) const;
    // JSON only: a record of how many queries the kernel had to drop since the start. The other
    // formats leave that to stderr, where it cannot be taken for a query.
    void AppendMissed(std::string& strOut, std::string_view time, std::uint64_t nMissed) const;

    // The text of a query's sender fields in this format, kept for the next query from the same one.
    class CSenderText
    {
    public:
        bool Matches(const CQueryLine& line) const;
        void Keep(const CQueryLine& line, std::string_view text);
        const std::string& GetText() const { return m_strText; }

    private:
        bool m_bKnown = false;
        Channel::Sender m_nSender = Channel::SENDER_UNKNOWN;
        std::uint32_t m_nPid = 0;
        std::uint32_t m_nNetNs = 0;
        std::string m_strProgram, m_strUser, m_strUnit;
        std::string m_strText;
    };

private:
    void AppendLine(std::string& strOut, const CQueryLine& line, const CExchangeLine* pExchange) const;
    void AppendField(std::string& strOut, size_t nField, const CQueryLine& line, const CExchangeLine* pExchange) const;

    Kind m_nKind;
    bool m_bExchanges;
    // Only what it writes faster: the text is the same without them.
    mutable CSenderText m_sender;
    // The runs of exchange fields of an unanswered line (two: the answers come last), by retries.
    struct CBareRun
    {
        size_t nField = SIZE_MAX;
        unsigned nRetries = 0;
        std::string strText;
    };
    mutable CBareRun m_bareRuns[2];
};
