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
{}

CTopTable::CRow* CTopTable::Count(Kind nKind, std::string_view key)
{
    CKind& kind = m_kinds[nKind];
    ++kind.nTotal;
    m_strKey.assign(key);
    auto it = kind.rows.find(m_strKey);
    if (it == kind.rows.end())
    {
        if (kind.rows.size() >= m_nMaxKeys)
        {
            ++kind.nOthers;
            return nullptr;
        }
        it = kind.rows.emplace(m_strKey, CRow {m_strKey}).first;
    }
    ++it->second.nCount;
    return &it->second;
}

void CTopTable::Add(const CQueryLine& query, const CExchangeLine* pExchange)
{
    const std::string strName = PresentationForm(query.name);
    Count(NAMES, strName);
    switch (query.nSender)
    {
    case Channel::SENDER_PROGRAM:
        Count(PROGRAMS,
              query.program.empty() ? "(pid " + std::to_string(query.nPid) + ")" : PresentationForm(query.program));
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
    Count(TYPES, query.strType.empty() ? std::string("(cut)") : PresentationForm(query.strType));
    if (!m_bExchanges || pExchange == nullptr)
        return;
    Count(RCODES, pExchange->nKind == CExchangeLine::UNANSWERED ? std::string("(unanswered)")
                                                                : PresentationForm(pExchange->rcode));
    if (pExchange->bHasLatency)
    {
        if (CRow* pRow = Count(SLOWEST, strName))
        {
            pRow->nLatencySumUs += pExchange->nLatencyUs;
            pRow->nLatencyMaxUs = std::max(pRow->nLatencyMaxUs, pExchange->nLatencyUs);
        }
    }
}

std::vector<CTopTable::CRow> CTopTable::GetTop(Kind nKind, size_t nRows) const
{
    std::vector<const CRow*> all;
    all.reserve(m_kinds[nKind].rows.size());
    for (const auto& [strKey, row] : m_kinds[nKind].rows)
        all.push_back(&row);
    const auto Before = [nKind](const CRow* pA, const CRow* pB) {
        const std::uint64_t nA = nKind == SLOWEST ? pA->GetMeanUs() : pA->nCount;
        const std::uint64_t nB = nKind == SLOWEST ? pB->GetMeanUs() : pB->nCount;
        return nA != nB ? nA > nB : pA->strKey < pB->strKey;
    };
    const size_t nTaken = std::min(nRows, all.size());
    std::partial_sort(all.begin(), all.begin() + std::ptrdiff_t(nTaken), all.end(), Before);
    std::vector<CRow> top;
    top.reserve(nTaken);
    for (size_t i = 0; i < nTaken; ++i)
        top.push_back(*all[i]);
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
           + (nKind == SLOWEST ? " answered lines, " : " lines, ") + std::to_string(kind.rows.size()) + " keys";
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
    strOut += "\",\"total\":" + std::to_string(kind.nTotal) + ",\"keys\":" + std::to_string(kind.rows.size())
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
