#pragma once

#include <QByteArray>

#include <cstdint>
#include <ctime>
#include <vector>

// The times the list's rows show, one entry per distinct second, so that a row needs only a small
// number for its time. An entry keeps the broken-down local time rather than a time_t, so that a
// later change of time zone cannot rewrite what a row showed when it was inserted.
class CRowTimes
{
public:
    // The number of the entry for this moment, added when it is a new second.
    uint32_t Index(std::time_t tSeen);
    // "%B %d %Y %H:%M:%S" of an entry, in the C locale.
    const QByteArray& Text(uint32_t nIndex) const;
    size_t GetCount() const { return m_packed.size(); }
    void Release();

    // The same format for any moment of local time.
    static QByteArray Format(std::time_t t);

private:
    std::vector<uint64_t> m_packed;
    std::time_t m_tLast = static_cast<std::time_t>(-1);
    // Rows of one second share their text; a saved list asks for it row after row.
    mutable uint32_t m_nFormatted = UINT32_MAX;
    mutable QByteArray m_baFormatted;
};
