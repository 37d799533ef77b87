#include "capture/CapturedNames.h"

void CCapturedNames::Add(std::string_view name, std::time_t tSeen)
{
    m_entries.push_back({m_strBytes.size(), name.size(), tSeen});
    m_strBytes.append(name);
}

void CCapturedNames::Clear()
{
    m_strBytes.clear();
    m_entries.clear();
}

std::string_view CCapturedNames::GetName(size_t nIndex) const
{
    const CEntry& entry = m_entries[nIndex];
    return std::string_view(m_strBytes).substr(entry.nOffset, entry.nLength);
}
