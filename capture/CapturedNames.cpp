#include "capture/CapturedNames.h"

void CCapturedNames::Add(std::string_view name, std::time_t tSeen)
{
    m_entries.push_back({m_strBytes.size(), name.size(), tSeen});
    m_strBytes.append(name);
}

void CCapturedNames::Append(const CCapturedNames& other)
{
    const size_t nBase = m_strBytes.size();
    m_strBytes.append(other.m_strBytes);
    m_entries.reserve(m_entries.size() + other.m_entries.size());
    for (const CEntry& entry : other.m_entries)
        m_entries.push_back({nBase + entry.nOffset, entry.nLength, entry.tSeen});
}

void CCapturedNames::Clear()
{
    m_strBytes.clear();
    m_entries.clear();
}

void CCapturedNames::Swap(CCapturedNames& other) noexcept
{
    m_strBytes.swap(other.m_strBytes);
    m_entries.swap(other.m_entries);
}

std::string_view CCapturedNames::GetName(size_t nIndex) const
{
    const CEntry& entry = m_entries[nIndex];
    return std::string_view(m_strBytes).substr(entry.nOffset, entry.nLength);
}
