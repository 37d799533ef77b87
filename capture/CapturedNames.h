#pragma once

#include <cstddef>
#include <cstdint>
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
    void Append(const CCapturedNames& other);
    void Clear();
    void Swap(CCapturedNames& other) noexcept;

    size_t GetCount() const { return m_entries.size(); }
    bool IsEmpty() const { return m_entries.empty(); }
    // What the batch holds, bookkeeping included: the measure of a bounded queue of batches.
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

// What a capture tells its owner, always on the owner's own thread. The session calls these
// between events, so nested event loops (a message box, a file dialog) keep receiving them.
class CCaptureOwner
{
public:
    // Names in arrival order; the batch is lent for the call only.
    virtual void OnCapturedNames(const CCapturedNames& names) = 0;
    // The queries that the kernel had to drop since the capture started, when that number grew.
    virtual void OnQueriesMissed(std::uint64_t nMissed) = 0;
    // The capture ended by itself; the session's error text says why.
    virtual void OnCaptureFailed() = 0;

protected:
    ~CCaptureOwner() = default;
};
