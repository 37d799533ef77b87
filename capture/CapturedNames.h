#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// A batch of captured query names in arrival order, each with the time its frame crossed the
// interface. The names' bytes sit in one buffer, so a batch of hundreds costs a few allocations,
// not one per name. No Qt here.
class CCapturedNames
{
public:
    void Add(std::string_view name, std::time_t tSeen);
    void Clear();

    size_t GetCount() const { return m_entries.size(); }
    bool IsEmpty() const { return m_entries.empty(); }
    // What the batch holds, bookkeeping included: the measure of how much is read at once.
    size_t GetBytes() const { return m_strBytes.size() + m_entries.size() * sizeof(CEntry); }

    std::string_view GetName(size_t nIndex) const;
    std::time_t GetTime(size_t nIndex) const { return m_entries[nIndex].tSeen; }

private:
    struct CEntry
    {
        size_t nOffset;
        size_t nLength;
        std::time_t tSeen;
    };
    std::string m_strBytes;
    std::vector<CEntry> m_entries;
};
