#pragma once

// Writing records to the channel in whole messages: records gather in a message, which goes out
// when the next record would not fit, or on Flush. A send waits while the reader is busy, so a
// reader that reads nothing holds the writer, and the helper's burst waits in its ring.

#include "channel/Channel.h"

#include <cstddef>
#include <cstring>
#include <string_view>

class CRecordWriter
{
public:
    explicit CRecordWriter(int hChannel) : m_hChannel(hChannel) {}

    // Adds the record with the tail it says it carries (a name's text), sending the message first
    // when the record would not fit in it. False when the channel is gone (errno says how): nothing
    // more can be sent. A record the reader would turn down is never written; it is refused with
    // EINVAL.
    template <class TRecord>
    bool Put(const TRecord& record, std::string_view tail = {})
    {
        if (!record.IsValid() || record.GetTailSize() != tail.size())
            return Refuse();
        const size_t nRecord = sizeof(record) + tail.size();
        if (nRecord > sizeof(m_bytes) - m_nSize && !Flush())
            return false;
        std::memcpy(m_bytes + m_nSize, &record, sizeof(record));
        if (!tail.empty())
            std::memcpy(m_bytes + m_nSize + sizeof(record), tail.data(), tail.size());
        m_nSize += nRecord;
        return true;
    }

    // Sends the message, if it holds anything, waiting for room while the reader is busy. False
    // when the channel is closed or broken.
    bool Flush();

private:
    static bool Refuse();

    int m_hChannel;
    unsigned char m_bytes[Channel::MAX_MESSAGE_BYTES];
    size_t m_nSize = 0;
};
