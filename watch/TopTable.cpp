#include "watch/TopTable.h"

#include "dns/PresentationForm.h"

#include <algorithm>
#include <cstdio>

namespace {

struct CKindText
{
    const char* pszTitle;
    const char* pszJson;
    const char* pszColumn;
    char chKey;
};
constexpr CKindText KIND_TEXTS[CTopTable::KIND_COUNT] = {
    {"Names", "names", "NAME", 'n'},
    {"Programs", "programs", "PROGRAM", 'p'},
    {"Sources", "sources", "SOURCE", 's'},
    {"Types", "types", "TYPE", 't'},
    {"Response codes", "rcodes", "RCODE", 'r'},
    {"Slowest names", "slowest", "NAME", 'l'},
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

void AppendJsonText(std::string& strOut, std::string_view presented)
{
    // Keys are in presentation form already: only the quote and the backslash remain to escape.
    strOut += '"';
    for (const char ch : presented)
    {
        if (ch == '"' || ch == '\\')
            strOut += '\\';
        strOut += ch;
    }
    strOut += '"';
}

} // namespace

CTopTable::CTopTable(bool bExchanges, size_t nMaxKeys) : m_bExchanges(bExchanges), m_nMaxKeys(nMaxKeys)
{
    for (int i = 0; i < SLOWEST; ++i)
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

void CTopTable::Add(const CQueryLine& query, const CExchangeLine* pExchange)
{
    const auto Presented = [this](std::string_view text) -> std::string_view {
        m_strKey.clear();
        AppendPresentationForm(m_strKey, text);
        return m_strKey;
    };
    m_strName.clear();
    AppendPresentationForm(m_strName, query.name);
    CKeyCounts::CEntry* pName = Count(NAMES, m_strName);
    switch (query.nSender)
    {
    case Channel::SENDER_PROGRAM:
        Count(PROGRAMS, query.program.empty() ? "(pid " + std::to_string(query.nPid) + ")" : Presented(query.program));
        break;
    case Channel::SENDER_ANOTHER_USER:
        Count(PROGRAMS, "(another user)");
        break;
    case Channel::SENDER_ANOTHER_HOST:
        Count(PROGRAMS, "(another host)");
        break;
    default:
        Count(PROGRAMS, "(unknown)");
        break;
    }
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
        return nKind == SLOWEST ? pEntry->nTimed : pEntry->nCount;
    };
    const auto RankOf = [&](const CKeyCounts::CEntry* pEntry) {
        return nKind == SLOWEST ? pEntry->nLatencySumUs / pEntry->nTimed : pEntry->nCount;
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
        top.push_back(
            {std::string(counts.GetKey(*all[i])), CountOf(all[i]), all[i]->nLatencySumUs, all[i]->nLatencyMaxUs});
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

int CTopTable::KindForKey(int nKey) const
{
    for (int i = 0; i < GetKindCount(); ++i)
    {
        if (KIND_TEXTS[i].chKey == nKey)
            return i;
    }
    return -1;
}

std::string CTopTable::GetHeadLine(Kind nKind) const
{
    const CKind& kind = m_kinds[nKind];
    return std::string(GetTitle(nKind)) + ": " + std::to_string(kind.nTotal)
           + (nKind == SLOWEST ? " answered lines, " : " lines, ") + std::to_string(kind.nKeys) + " keys";
}

std::string CTopTable::GetColumnLine(Kind nKind)
{
    if (nKind == SLOWEST)
        return "   MEAN_MS     MAX_MS      COUNT  " + std::string(KIND_TEXTS[nKind].pszColumn);
    return "     COUNT   SHARE  " + std::string(KIND_TEXTS[nKind].pszColumn);
}

std::string CTopTable::GetRowLine(Kind nKind, const CRow& row) const
{
    if (nKind == SLOWEST)
        return Padded(Milliseconds(row.GetMeanUs()), 10) + ' ' + Padded(Milliseconds(row.nLatencyMaxUs), 10) + ' '
               + Padded(std::to_string(row.nCount), 10) + "  " + row.strKey;
    const std::uint64_t nTotal = m_kinds[nKind].nTotal;
    char szShare[16];
    std::snprintf(szShare, sizeof(szShare), "%6.1f%%", nTotal == 0 ? 0.0 : 100.0 * double(row.nCount) / double(nTotal));
    return Padded(std::to_string(row.nCount), 10) + ' ' + szShare + "  " + row.strKey;
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
        strOut += bFirst ? "{\"key\":" : ",{\"key\":";
        bFirst = false;
        AppendJsonText(strOut, row.strKey);
        strOut += ",\"count\":" + std::to_string(row.nCount);
        if (nKind == SLOWEST)
            strOut +=
                ",\"mean_us\":" + std::to_string(row.GetMeanUs()) + ",\"max_us\":" + std::to_string(row.nLatencyMaxUs);
        strOut += '}';
    }
    strOut += "]}\n";
}
