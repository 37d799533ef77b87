#pragma once

// The record stream on the channel: the helper writes records into messages with CRecordWriter, the
// window reads each message with ReadRecords. The reader trusts nothing: a message from a broken or
// hostile helper is turned down whole, never over-read. No Qt.

#include "channel/Channel.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

class CRecordWriter
{
public:
    // False, adding nothing, when the record would not fit in the message.
    bool AddOpened(const Channel::COpenedRecord& opened);
    bool AddName(std::int64_t nSeconds, std::uint32_t nNanoseconds, std::string_view name);
    bool AddCounts(const Channel::CCountsRecord& counts);
    bool AddFailed(std::int32_t nError);

    const unsigned char* GetData() const { return m_bytes; }
    size_t GetSize() const { return m_nSize; }
    bool IsEmpty() const { return m_nSize == 0; }
    void Clear() { m_nSize = 0; }

private:
    template <class TRecord>
    bool Add(const TRecord& record, std::string_view tail = {});

    unsigned char m_bytes[Channel::MAX_MESSAGE_BYTES];
    size_t m_nSize = 0;
};

// What the reader hands on, record by record, in message order.
class CRecordSink
{
public:
    virtual ~CRecordSink() = default;
    virtual void OnOpened(const Channel::COpenedRecord& opened) = 0;
    virtual void OnName(std::int64_t nSeconds, std::uint32_t nNanoseconds, std::string_view name) = 0;
    virtual void OnCounts(const Channel::CCountsRecord& counts) = 0;
    virtual void OnFailed(std::int32_t nError) = 0;
};

// Checks the whole message before handing on any record, so a bad message delivers nothing. An
// opened record is good only as the first record of the first message (bFirst), and nowhere else;
// any other record is good only after it. False for an empty, cut or unknown record, a name longer
// than the decoder can produce, a time before the epoch or past Channel::LAST_REAL_SECOND,
// nanoseconds of a second or more, and an errno that is not positive.
bool ReadRecords(const unsigned char* pMessage, size_t nLength, bool bFirst, CRecordSink& sink);
