#include "watch/TopTable.h"

#include "dns/PresentationForm.h"
#include "watch/JsonText.h"
#include "watch/OutputFields.h"

#include <algorithm>
#include <cstdio>

namespace {

struct CKindText
{
    const char* pszTitle;
    const char* pszJson;
    const char* pszField; // whose head the key's column takes
    char chKey;
};
constexpr CKindText KIND_TEXTS[CTopTable::KIND_COUNT] = {
    {"Names", "names", "name", 'n'},
    {"Programs", "programs", "program", 'p'},
    {"Sources", "sources", "source", 's'},
    {"Types", "types", "type", 't'},
    {"Response codes", "rcodes", "rcode", 'r'},
    {"Slowest names", "slowest", "name", 'l'},
    {"Lookups", "lookups", "name", 'k'},
    {"Slowest lookups", "slow_lookups", "name", 'w'},
    {"Encrypted DNS", "encrypted", "name", 'e'},
};

std::string Milliseconds(std::uint64_t nUs)
{
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%.3f", double(nUs) / 1000.0);
    return sz;
}

std::string Padded(const std::string& strText, size_t nWidth)
{
    return strText.size() >= nWidth ? strText + ' ' : std::string(nWidth - strText.size(), ' ') + strText;
}

// A program's row: who sent it (this program's own words, or the pid of a program with no name),
// and the program's name, empty unless one was named.
struct CProgramKey
{
    std::string strSender;
    std::string_view program;
};
constexpr size_t SENDER_WIDTH = 14;

CProgramKey SplitProgramKey(std::string_view key)
{
    const auto nSender = key.empty() ? Channel::SENDER_UNKNOWN : Channel::Sender(key[0] - '0');
    key.remove_prefix(key.empty() ? 0 : 1);
    switch (nSender)
    {
    case Channel::SENDER_PROGRAM:
        if (key.starts_with('#'))
        {
            // Appended, not added to a literal: GCC 12 at -O3 misreads that as an overlapping copy.
            std::string strPid = "pid ";
            strPid.append(key.substr(1));
            return {std::move(strPid), {}};
        }
        return {std::string(SenderWord(nSender)), key};
    case Channel::SENDER_UNKNOWN:
        return {"unknown", {}};
    default:
        return {std::string(SenderWord(nSender)), {}};
    }
}

std::string ShownKey(CTopTable::Kind nKind, const CTopTable::CRow& row)
{
    if (nKind != CTopTable::PROGRAMS)
        return row.strKey;
    std::string strShown = row.strSender;
    strShown.append(strShown.size() < SENDER_WIDTH ? SENDER_WIDTH - strShown.size() : 1, ' ');
    return strShown + (row.strKey.empty() ? std::string("-") : row.strKey);
}

} // namespace

CTopTable::CTopTable(bool bExchanges, size_t nMaxKeys, bool bLookups, bool bEncrypted)
    : m_bExchanges(bExchanges)
    , m_bLookups(bLookups && bExchanges)
    , m_bEncrypted(bEncrypted && bExchanges)
    , m_nMaxKeys(nMaxKeys)
{
    for (int i = 0; i < KIND_COUNT; ++i)
    {
        const auto nKind = Kind(i);
        const bool bFilled = nKind == ENCRYPTED                    ? m_bEncrypted
                             : CountedIn(nKind) == LOOKUPS         ? m_bLookups
                             : nKind == RCODES || nKind == SLOWEST ? m_bExchanges
                                                                   : true;
        if (bFilled)
            m_kindsFilled.push_back(nKind);
    }
    // Every kind has its place, the ones that read another's stay empty.
    for (int i = 0; i < KIND_COUNT; ++i)
        m_counts.emplace_back(nMaxKeys);
}

CKeyCounts::CEntry* CTopTable::Count(Kind nKind, std::string_view key)
{
    CKind& kind = m_kinds[nKind];
    ++kind.nTotal;
    CKeyCounts::CEntry* pEntry = CountsOf(nKind).Find(key);
    if (pEntry == nullptr)
        ++kind.nOthers;
    else if (pEntry->nCount++ == 0)
        ++kind.nKeys;
    return pEntry;
}

void CTopTable::MakeProgramKey(const CQueryLine& query)
{
    // Keyed by who sent it first and the program's name after, so that no program can name itself
    // into the row of another user or another host.
    m_strKey.assign(1, char('0' + query.nSender));
    if (query.nSender == Channel::SENDER_PROGRAM && query.program.empty())
        m_strKey.append("#").append(std::to_string(query.nPid));
    else if (query.nSender == Channel::SENDER_PROGRAM)
        AppendPresentationForm(m_strKey, query.program);
}

// Keyed by the program, then a tab, which no presentation form holds, then the name.
void CTopTable::AddLookup(const CQueryLine& query, const CExchangeLine& lookup)
{
    MakeProgramKey(query);
    m_strKey += '\t';
    AppendPresented(m_strKey, query.name);
    CKeyCounts::CEntry* pEntry = Count(LOOKUPS, m_strKey);
    CKind& slow = m_kinds[SLOW_LOOKUPS];
    ++slow.nTotal;
    if (pEntry == nullptr)
    {
        ++slow.nOthers;
        return;
    }
    if (pEntry->nTimed++ == 0)
        ++slow.nKeys;
    pEntry->nLatencySumUs += lookup.nLatencyUs;
    pEntry->nLatencyMaxUs = std::max(pEntry->nLatencyMaxUs, lookup.nLatencyUs);
}

// Keyed by the program, a tab, then the protocol and the server.
void CTopTable::AddEncrypted(const CQueryLine& query, const CExchangeLine& encrypted)
{
    MakeProgramKey(query);
    m_strKey.append("\t").append(encrypted.encrypted).append(" ");
    if (query.name.empty())
        m_strKey += query.strDestination;
    else
        AppendPresented(m_strKey, query.name);
    Count(ENCRYPTED, m_strKey);
}

void CTopTable::Add(const CQueryLine& query, const CExchangeLine* pExchange)
{
    if (pExchange != nullptr && pExchange->nKind == CExchangeLine::LOOKUP)
    {
        if (m_bLookups)
            AddLookup(query, *pExchange);
        return;
    }
    if (pExchange != nullptr && pExchange->nKind == CExchangeLine::ENCRYPTED)
    {
        if (m_bEncrypted)
            AddEncrypted(query, *pExchange);
        return;
    }
    const auto Presented = [this](std::string_view text) -> std::string_view {
        m_strKey.clear();
        AppendPresentationForm(m_strKey, text);
        return m_strKey;
    };
    m_strName.clear();
    AppendPresented(m_strName, query.name);
    CKeyCounts::CEntry* pName = Count(NAMES, m_strName);
    MakeProgramKey(query);
    Count(PROGRAMS, m_strKey);
    Count(SOURCES, query.strSource);
    Count(TYPES, query.strType.empty() ? std::string_view("(cut)") : Presented(query.strType));
    if (m_bExchanges && pExchange != nullptr)
        Count(RCODES, pExchange->nKind == CExchangeLine::UNANSWERED ? std::string_view("(unanswered)")
                                                                    : Presented(pExchange->rcode));
    if (!m_bExchanges || pExchange == nullptr || !pExchange->bHasLatency)
        return;
    CKind& slowest = m_kinds[SLOWEST];
    ++slowest.nTotal;
    if (pName == nullptr)
    {
        ++slowest.nOthers;
        return;
    }
    if (pName->nTimed++ == 0)
        ++slowest.nKeys;
    pName->nLatencySumUs += pExchange->nLatencyUs;
    pName->nLatencyMaxUs = std::max(pName->nLatencyMaxUs, pExchange->nLatencyUs);
}

std::vector<CTopTable::CRow> CTopTable::GetTop(Kind nKind, size_t nRows) const
{
    const CKeyCounts& counts = CountsOf(nKind);
    const auto CountOf = [nKind](const CKeyCounts::CEntry* pEntry) {
        return IsByLatency(nKind) ? pEntry->nTimed : pEntry->nCount;
    };
    const auto RankOf = [&](const CKeyCounts::CEntry* pEntry) {
        return IsByLatency(nKind) ? pEntry->nLatencySumUs / pEntry->nTimed : pEntry->nCount;
    };
    std::vector<const CKeyCounts::CEntry*> all;
    all.reserve(size_t(m_kinds[nKind].nKeys));
    counts.ForEach([&](const CKeyCounts::CEntry& entry) {
        if (CountOf(&entry) != 0)
            all.push_back(&entry);
    });
    const auto Before = [&](const CKeyCounts::CEntry* pA, const CKeyCounts::CEntry* pB) {
        const std::uint64_t nA = RankOf(pA), nB = RankOf(pB);
        return nA != nB ? nA > nB : counts.GetKey(*pA) < counts.GetKey(*pB);
    };
    const size_t nTaken = std::min(nRows, all.size());
    std::partial_sort(all.begin(), all.begin() + std::ptrdiff_t(nTaken), all.end(), Before);
    std::vector<CRow> top;
    top.reserve(nTaken);
    for (size_t i = 0; i < nTaken; ++i)
    {
        const std::string_view key = counts.GetKey(*all[i]);
        CRow& row = top.emplace_back(
            CRow {std::string(key), CountOf(all[i]), all[i]->nLatencySumUs, all[i]->nLatencyMaxUs, {}});
        if (nKind == PROGRAMS)
        {
            CProgramKey program = SplitProgramKey(key);
            row.strSender = std::move(program.strSender);
            row.strKey = std::string(program.program);
        }
        else if (IsPerProgram(nKind))
        {
            const size_t nTab = key.find('\t');
            CProgramKey program = SplitProgramKey(key.substr(0, nTab));
            row.strSender = program.program.empty() ? std::move(program.strSender) : std::string(program.program);
            row.strKey = std::string(key.substr(nTab + 1));
        }
    }
    return top;
}

const char* CTopTable::GetTitle(Kind nKind)
{
    return KIND_TEXTS[nKind].pszTitle;
}

const char* CTopTable::GetJsonName(Kind nKind)
{
    return KIND_TEXTS[nKind].pszJson;
}

char CTopTable::GetKey(Kind nKind)
{
    return KIND_TEXTS[nKind].chKey;
}

int CTopTable::KindForKey(int nKey) const
{
    for (const Kind nKind : m_kindsFilled)
    {
        if (KIND_TEXTS[nKind].chKey == nKey)
            return nKind;
    }
    return -1;
}

CTopTable::Kind CTopTable::GetNext(Kind nKind) const
{
    const auto it = std::find(m_kindsFilled.begin(), m_kindsFilled.end(), nKind);
    return it == m_kindsFilled.end() || it + 1 == m_kindsFilled.end() ? m_kindsFilled.front() : *(it + 1);
}

std::string CTopTable::GetHeadLine(Kind nKind) const
{
    const CKind& kind = m_kinds[nKind];
    return std::string(GetTitle(nKind)) + ": " + std::to_string(kind.nTotal)
           + (nKind == SLOWEST ? " answered lines, " : " lines, ") + std::to_string(kind.nKeys) + " keys";
}

std::string CTopTable::GetColumnLine(Kind nKind)
{
    const std::string strKeyHead = FindOutputField(KIND_TEXTS[nKind].pszField)->pszHead;
    if (nKind == SLOWEST)
        return "   MEAN_MS     MAX_MS      COUNT  " + strKeyHead;
    if (IsPerProgram(nKind))
    {
        std::string strProgramHead = FindOutputField("program")->pszHead;
        strProgramHead.resize(std::max(strProgramHead.size() + 1, SENDER_WIDTH), ' ');
        const std::string strHead =
            nKind == ENCRYPTED ? FindOutputField("encrypted")->pszHead + (" " + strKeyHead) : strKeyHead;
        return std::string(nKind != SLOW_LOOKUPS ? "     COUNT" : "   MEAN_MS     MAX_MS      COUNT") + "  "
               + strProgramHead + strHead;
    }
    if (nKind == PROGRAMS)
    {
        std::string strSenderHead = FindOutputField("sender")->pszHead;
        strSenderHead.resize(std::max(strSenderHead.size() + 1, SENDER_WIDTH), ' ');
        return "     COUNT   SHARE  " + strSenderHead + strKeyHead;
    }
    return "     COUNT   SHARE  " + strKeyHead;
}

std::string CTopTable::GetRowLine(Kind nKind, const CRow& row) const
{
    if (IsPerProgram(nKind))
    {
        std::string strProgram = row.strSender;
        strProgram.append(strProgram.size() < SENDER_WIDTH ? SENDER_WIDTH - strProgram.size() : 1, ' ');
        const std::string strCount = Padded(std::to_string(row.nCount), 10);
        return (nKind != SLOW_LOOKUPS ? strCount
                                      : Padded(Milliseconds(row.GetMeanUs()), 10) + ' '
                                            + Padded(Milliseconds(row.nLatencyMaxUs), 10) + ' ' + strCount)
               + "  " + strProgram + row.strKey;
    }
    if (nKind == SLOWEST)
        return Padded(Milliseconds(row.GetMeanUs()), 10) + ' ' + Padded(Milliseconds(row.nLatencyMaxUs), 10) + ' '
               + Padded(std::to_string(row.nCount), 10) + "  " + row.strKey;
    const std::uint64_t nTotal = m_kinds[nKind].nTotal;
    char szShare[16];
    std::snprintf(szShare, sizeof(szShare), "%6.1f%%", nTotal == 0 ? 0.0 : 100.0 * double(row.nCount) / double(nTotal));
    return Padded(std::to_string(row.nCount), 10) + ' ' + szShare + "  " + ShownKey(nKind, row);
}

std::string CTopTable::GetOthersLine(Kind nKind) const
{
    const std::uint64_t nOthers = m_kinds[nKind].nOthers;
    if (nOthers == 0)
        return {};
    return Padded(std::to_string(nOthers), 10) + "          (others: lines of keys beyond the first "
           + std::to_string(m_nMaxKeys) + ", not told apart)";
}

void CTopTable::AppendText(std::string& strOut, Kind nKind, size_t nRows) const
{
    strOut += GetHeadLine(nKind) + '\n';
    strOut += GetColumnLine(nKind) + '\n';
    for (const CRow& row : GetTop(nKind, nRows))
        strOut += GetRowLine(nKind, row) + '\n';
    if (const std::string strOthers = GetOthersLine(nKind); !strOthers.empty())
        strOut += strOthers + '\n';
}

void CTopTable::AppendJson(std::string& strOut, Kind nKind, size_t nRows) const
{
    const CKind& kind = m_kinds[nKind];
    strOut += "{\"table\":\"";
    strOut += GetJsonName(nKind);
    strOut += "\",\"total\":" + std::to_string(kind.nTotal) + ",\"keys\":" + std::to_string(kind.nKeys)
              + ",\"others\":" + std::to_string(kind.nOthers) + ",\"rows\":[";
    bool bFirst = true;
    for (const CRow& row : GetTop(nKind, nRows))
    {
        strOut += bFirst ? "{" : ",{";
        bFirst = false;
        if (IsPerProgram(nKind))
        {
            strOut += "\"program\":";
            AppendJsonText(strOut, row.strSender);
            strOut += ",\"key\":";
            AppendJsonText(strOut, row.strKey);
        }
        else if (nKind == PROGRAMS)
        {
            const bool bPid = row.strSender.starts_with("pid ");
            strOut += "\"sender\":";
            AppendJsonText(strOut, bPid ? std::string(SenderWord(Channel::SENDER_PROGRAM)) : row.strSender);
            if (bPid)
                strOut += ",\"pid\":" + row.strSender.substr(4);
            strOut += ",\"key\":";
            if (row.strKey.empty())
                strOut += "null";
            else
                AppendJsonText(strOut, row.strKey);
        }
        else
        {
            strOut += "\"key\":";
            AppendJsonText(strOut, row.strKey);
        }
        strOut += ",\"count\":" + std::to_string(row.nCount);
        if (IsByLatency(nKind) || nKind == LOOKUPS)
            strOut +=
                ",\"mean_us\":" + std::to_string(row.GetMeanUs()) + ",\"max_us\":" + std::to_string(row.nLatencyMaxUs);
        strOut += '}';
    }
    strOut += "]}\n";
}
