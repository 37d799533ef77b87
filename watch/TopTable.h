#pragma once

#include "watch/ExchangeLine.h"
#include "watch/KeyCounts.h"
#include "watch/QueryLine.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The counts behind tarrow-watch --top: for each kind of key, how often each key was seen. Keys are
// kept in their presentation form, so any table drawn from them is safe for a terminal. Memory is
// bounded: each kind keeps at most a set number of distinct keys, and counts the lines of any key
// beyond them as "others", which every renderer shows.
class CTopTable
{
public:
    enum Kind
    {
        NAMES,
        PROGRAMS,
        SOURCES,
        TYPES,
        RCODES,       // exchanges only
        SLOWEST,      // exchanges only: answered names by their mean latency
        LOOKUPS,      // lookups only: each program's looked-up names, the busiest first
        SLOW_LOOKUPS, // lookups only: the same by their mean latency
        ENCRYPTED,    // encrypted DNS only: each program's encrypted connections, by protocol and server
        KIND_COUNT,
    };
    static constexpr size_t MAX_KEYS = 100'000;

    struct CRow
    {
        // PROGRAMS: the program's name, empty for a sender that is none (another user, another host,
        // unknown) or a program without one. LOOKUPS and SLOW_LOOKUPS: the name looked up.
        // ENCRYPTED: the protocol and the server, its name or else its address.
        std::string strKey;
        std::uint64_t nCount = 0;
        std::uint64_t nLatencySumUs = 0; // SLOWEST, LOOKUPS and SLOW_LOOKUPS
        std::uint64_t nLatencyMaxUs = 0;
        // PROGRAMS only, in this program's own words: program, another user, another host, unknown,
        // or "pid N" for a program without a name. LOOKUPS, SLOW_LOOKUPS and ENCRYPTED: the program
        // that looked the name up or opened the connection, or those words for none.
        std::string strSender;
        std::uint64_t GetMeanUs() const { return nCount == 0 ? 0 : nLatencySumUs / nCount; }
    };

    explicit CTopTable(bool bExchanges, size_t nMaxKeys = MAX_KEYS, bool bLookups = false, bool bEncrypted = false);

    // pExchange is null for a query without its exchange (queries only). A lookup's line counts in
    // the lookups' tables alone, an encrypted connection's in its own.
    void Add(const CQueryLine& query, const CExchangeLine* pExchange);

    // The busiest N keys of the kind, most first, equal counts by key; SLOWEST by mean latency.
    std::vector<CRow> GetTop(Kind nKind, size_t nRows) const;
    // Lines whose key came after the kind was full.
    std::uint64_t GetOthers(Kind nKind) const { return m_kinds[nKind].nOthers; }
    // Lines counted in the kind: every line but, for SLOWEST, those without a latency; lookups'
    // lines only in theirs.
    std::uint64_t GetTotal(Kind nKind) const { return m_kinds[nKind].nTotal; }
    std::uint64_t GetKeyCount(Kind nKind) const { return m_kinds[nKind].nKeys; }
    bool HasExchanges() const { return m_bExchanges; }
    // The kinds this run fills, in order: without exchanges there are no rcodes or latencies, and
    // lookups and encrypted connections come only with exchanges.
    const std::vector<Kind>& GetKinds() const { return m_kindsFilled; }

    static const char* GetTitle(Kind nKind);
    static const char* GetJsonName(Kind nKind);
    // The key that selects the kind's table on the screen.
    static char GetKey(Kind nKind);
    // The key the kind's table cycles to after this one, and the kind a key press selects (-1: none).
    Kind GetNext(Kind nKind) const;
    int KindForKey(int nKey) const;

    // The parts of the plain text table, which the terminal's screen shows too.
    std::string GetHeadLine(Kind nKind) const;
    static std::string GetColumnLine(Kind nKind);
    std::string GetRowLine(Kind nKind, const CRow& row) const;
    // Empty when no key was left out.
    std::string GetOthersLine(Kind nKind) const;

    // The table as plain text: a head line, then one aligned row per key.
    void AppendText(std::string& strOut, Kind nKind, size_t nRows) const;
    // One JSON object for the kind's table, and a newline.
    void AppendJson(std::string& strOut, Kind nKind, size_t nRows) const;

private:
    // SLOWEST and SLOW_LOOKUPS have no counts of their own: they read the latencies kept beside
    // the names and the lookups.
    struct CKind
    {
        std::uint64_t nOthers = 0;
        std::uint64_t nTotal = 0;
        std::uint64_t nKeys = 0;
    };
    CKeyCounts::CEntry* Count(Kind nKind, std::string_view key);
    // The kinds ranked by latency read the counts of the kind they rank.
    static Kind CountedIn(Kind nKind) { return nKind == SLOWEST ? NAMES : nKind == SLOW_LOOKUPS ? LOOKUPS : nKind; }
    static bool IsByLatency(Kind nKind) { return nKind == SLOWEST || nKind == SLOW_LOOKUPS; }
    // The kinds whose rows are a program's and a key of its.
    static bool IsPerProgram(Kind nKind) { return CountedIn(nKind) == LOOKUPS || nKind == ENCRYPTED; }
    CKeyCounts& CountsOf(Kind nKind) { return m_counts[CountedIn(nKind)]; }
    const CKeyCounts& CountsOf(Kind nKind) const { return m_counts[CountedIn(nKind)]; }
    void AddLookup(const CQueryLine& query, const CExchangeLine& lookup);
    void AddEncrypted(const CQueryLine& query, const CExchangeLine& encrypted);
    // The key of who sent a line, as PROGRAMS counts it.
    void MakeProgramKey(const CQueryLine& query);

    bool m_bExchanges;
    bool m_bLookups;
    bool m_bEncrypted;
    std::vector<Kind> m_kindsFilled;
    size_t m_nMaxKeys;
    CKind m_kinds[KIND_COUNT];
    std::vector<CKeyCounts> m_counts;
    // The line's keys in their presentation form, made here to spare an allocation each.
    std::string m_strName;
    std::string m_strKey;
};
