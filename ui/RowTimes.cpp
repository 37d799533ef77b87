#include "ui/RowTimes.h"

#include <locale.h>

namespace {

const char* const g_pszTimeFormat = "%B %d %Y %H:%M:%S";

locale_t CLocale()
{
    static const locale_t s_hLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return s_hLocale;
}

QByteArray FormatBrokenDownTime(const std::tm& tmTime)
{
    char szText[128];
    const size_t nLength = strftime_l(szText, sizeof(szText), g_pszTimeFormat, &tmTime, CLocale());
    return QByteArray(szText, static_cast<qsizetype>(nLength));
}

uint64_t PackTime(const std::tm& tmTime)
{
    return static_cast<uint64_t>(static_cast<uint32_t>(tmTime.tm_year)) << 32
           | static_cast<uint64_t>(tmTime.tm_mon & 0xF) << 22 | static_cast<uint64_t>(tmTime.tm_mday & 0x1F) << 17
           | static_cast<uint64_t>(tmTime.tm_hour & 0x1F) << 12 | static_cast<uint64_t>(tmTime.tm_min & 0x3F) << 6
           | static_cast<uint64_t>(tmTime.tm_sec & 0x3F);
}

std::tm UnpackTime(uint64_t nPacked)
{
    std::tm tmTime {};
    tmTime.tm_year = static_cast<int>(static_cast<uint32_t>(nPacked >> 32));
    tmTime.tm_mon = static_cast<int>((nPacked >> 22) & 0xF);
    tmTime.tm_mday = static_cast<int>((nPacked >> 17) & 0x1F);
    tmTime.tm_hour = static_cast<int>((nPacked >> 12) & 0x1F);
    tmTime.tm_min = static_cast<int>((nPacked >> 6) & 0x3F);
    tmTime.tm_sec = static_cast<int>(nPacked & 0x3F);
    return tmTime;
}

} // namespace

uint32_t CRowTimes::Index(std::time_t tSeen)
{
    // Names come in bursts; one conversion per second is enough.
    if (tSeen != m_tLast || m_packed.empty())
    {
        std::tm tmSeen {};
        localtime_r(&tSeen, &tmSeen);
        const uint64_t nPacked = PackTime(tmSeen);
        if (m_packed.empty() || m_packed.back() != nPacked)
            m_packed.push_back(nPacked);
        m_tLast = tSeen;
    }
    return static_cast<uint32_t>(m_packed.size() - 1);
}

const QByteArray& CRowTimes::Text(uint32_t nIndex) const
{
    if (nIndex != m_nFormatted)
    {
        m_baFormatted = FormatBrokenDownTime(UnpackTime(m_packed[nIndex]));
        m_nFormatted = nIndex;
    }
    return m_baFormatted;
}

void CRowTimes::Release()
{
    std::vector<uint64_t>().swap(m_packed);
    m_tLast = static_cast<std::time_t>(-1);
    m_nFormatted = UINT32_MAX;
    m_baFormatted.clear();
}

QByteArray CRowTimes::Format(std::time_t t)
{
    std::tm tmTime {};
    localtime_r(&t, &tmTime);
    return FormatBrokenDownTime(tmTime);
}
