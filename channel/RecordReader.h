#pragma once

// Reading one message of records against the table in Channel.h. Nothing in it is trusted: a
// message from a broken or hostile helper is turned down whole, and never read past its end.

#include "channel/Channel.h"

#include <cstddef>
#include <cstring>
#include <string_view>

namespace Channel {

namespace Detail {

class CMessageWalk
{
public:
    CMessageWalk(const unsigned char* pMessage, size_t nLength) : m_p(pMessage), m_nLeft(nLength) {}

    bool IsDone() const { return m_nLeft == 0; }

    // Takes the record at the walk's position when its type is one of the table's; checking only
    // when pVisitor is null.
    template <class TVisitor, class... TRecords>
    bool Take(CRecordKinds<TRecords...>, bool bOpening, TVisitor* pVisitor)
    {
        const unsigned char nType = *m_p;
        bool bTaken = false;
        const bool bKnown =
            ((nType == TRecords::TYPE && (bTaken = TakeOne<TRecords>(bOpening, pVisitor), true)) || ...);
        return bKnown && bTaken;
    }

private:
    template <class TRecord, class TVisitor>
    bool TakeOne(bool bOpening, TVisitor* pVisitor)
    {
        TRecord record;
        if (sizeof(record) > m_nLeft || (TRecord::PLACE == RecordPlace::OPENING) != bOpening)
            return false;
        std::memcpy(&record, m_p, sizeof(record));
        const size_t nTail = record.GetTailSize();
        if (!record.IsValid() || nTail > m_nLeft - sizeof(record))
            return false;
        if (pVisitor != nullptr)
            pVisitor->OnRecord(record, std::string_view(reinterpret_cast<const char*>(m_p + sizeof(record)), nTail));
        m_p += sizeof(record) + nTail;
        m_nLeft -= sizeof(record) + nTail;
        return true;
    }

    const unsigned char* m_p;
    size_t m_nLeft;
};

template <class TVisitor>
bool WalkRecords(const unsigned char* pMessage, size_t nLength, bool bFirst, TVisitor* pVisitor)
{
    CMessageWalk walk(pMessage, nLength);
    if (walk.IsDone())
        return false;
    for (bool bAtStart = true; !walk.IsDone(); bAtStart = false)
    {
        if (!walk.Take(RecordKinds(), bFirst && bAtStart, pVisitor))
            return false;
    }
    return true;
}

} // namespace Detail

// Checks the whole message, then hands its records in order to visitor.OnRecord(record, tail), the
// tail being the bytes the record carries after it (a name's text; empty for the others). bFirst:
// the first message on the channel, whose first record, and only that, is the OPENING one. False,
// handing on nothing, for an empty message, an unknown, cut or invalid record, or one out of place.
template <class TVisitor>
bool ReadRecords(const unsigned char* pMessage, size_t nLength, bool bFirst, TVisitor& visitor)
{
    return Detail::WalkRecords<TVisitor>(pMessage, nLength, bFirst, nullptr)
           && Detail::WalkRecords(pMessage, nLength, bFirst, &visitor);
}

// The same, with every record first shown to ahead.OnRecord once the message is found sound: a
// reader that will look each one up can ask for the memory that takes before the first is handed on.
template <class TAhead, class TVisitor>
bool ReadRecords(const unsigned char* pMessage, size_t nLength, bool bFirst, TAhead& ahead, TVisitor& visitor)
{
    return Detail::WalkRecords<TVisitor>(pMessage, nLength, bFirst, nullptr)
           && Detail::WalkRecords(pMessage, nLength, bFirst, &ahead)
           && Detail::WalkRecords(pMessage, nLength, bFirst, &visitor);
}

} // namespace Channel
