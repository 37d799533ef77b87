#include "capture/ChannelReader.h"

#include "capture/CaptureTexts.h"
#include "channel/RecordReader.h"
#include "channel/AnswerTail.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/socket.h>

using namespace Channel;

namespace {

// The helper reports the kernel's counts after each read of them, and one read adds at most what
// 32 bits hold; counts that shrink or leap further are made up, and so is everything else the
// helper says.
bool CanFollow(const CCountsRecord& before, const CCountsRecord& after)
{
    const auto Grows = [](std::uint64_t nBefore, std::uint64_t nAfter) {
        return nAfter >= nBefore && nAfter - nBefore <= UINT32_MAX;
    };
    return Grows(before.nReceived, after.nReceived) && Grows(before.nDropped, after.nDropped)
           && Grows(before.nLookupsLost, after.nLookupsLost);
}

} // namespace

struct CRecordVisitor
{
    CChannelReader& reader;

    // The open reply never passes the reader's check here: only the first message may hold it.
    void OnRecord(const COpenedRecord&, std::string_view) {}
    // The helper sends names in their presentation form, printable ASCII alone: anything else is a
    // helper that is broken.
    bool IsPresented(std::string_view text)
    {
        if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; }))
            return true;
        reader.m_strEnded = CaptureTexts::HELPER_BROKEN;
        return false;
    }
    void OnRecord(const CTimedNameRecord& name, std::string_view text)
    {
        if (!reader.IsEnded() && IsPresented(text))
            reader.m_sink.OnName(name.nSeconds, text);
    }
    void OnRecord(const CNameRecord& query, std::string_view text)
    {
        if (!reader.IsEnded() && IsPresented(text))
            reader.m_sink.OnQuery(query, text);
    }
    void OnRecord(const CResponseRecord& response, std::string_view tail)
    {
        if (reader.IsEnded())
            return;
        const std::string_view answers = tail.substr(response.nLength);
        // The answers are believed no more than the rest: a tail that is not the answers the record
        // says is a helper that is broken.
        if (!IsSoundAnswerTail(response, answers))
            reader.m_strEnded = CaptureTexts::HELPER_BROKEN;
        else
            reader.m_sink.OnResponse(response, tail.substr(0, response.nLength), answers);
    }
    void OnRecord(const CLookupRecord& lookup, std::string_view tail)
    {
        if (!reader.IsEnded() && IsPresented(tail))
            reader.m_sink.OnLookup(lookup, tail.substr(0, lookup.nLength), tail.substr(lookup.nLength));
    }
    void OnRecord(const CEncryptedRecord& encrypted, std::string_view tail)
    {
        if (!reader.IsEnded() && IsPresented(tail))
            reader.m_sink.OnEncrypted(encrypted, tail.substr(0, encrypted.nLength), tail.substr(encrypted.nLength));
    }
    void OnRecord(const CCountsRecord& counts, std::string_view) { reader.OnCounts(counts); }
    void OnRecord(const CFailedRecord& failed, std::string_view) { reader.OnFailed(failed); }
};

// Only queries are looked up (tarrow-watch's table of those waiting for their responses).
struct CAheadVisitor
{
    CChannelReader::CSink& sink;

    template <class TRecord>
    void OnRecord(const TRecord&, std::string_view)
    {}
    void OnRecord(const CNameRecord& query, std::string_view text) { sink.OnQueryAhead(query, text); }
};

void CChannelReader::CSink::OnName(std::int64_t, std::string_view)
{}
void CChannelReader::CSink::OnQueryAhead(const CNameRecord&, std::string_view)
{}
void CChannelReader::CSink::OnQuery(const CNameRecord&, std::string_view)
{}
void CChannelReader::CSink::OnResponse(const CResponseRecord&, std::string_view, std::string_view)
{}
void CChannelReader::CSink::OnLookup(const CLookupRecord&, std::string_view, std::string_view)
{}
void CChannelReader::CSink::OnEncrypted(const CEncryptedRecord&, std::string_view, std::string_view)
{}

CChannelReader::CChannelReader(CSink& sink) : m_sink(sink), m_pMessage(new unsigned char[MAX_MESSAGE_BYTES + 1])
{}

CChannelReader::~CChannelReader() = default;

void CChannelReader::Open(CUniqueFd channel)
{
    m_channel = std::move(channel);
    m_counts = CCountsRecord();
    m_nMissedTold = 0;
    m_nLookupsLostTold = 0;
    m_strEnded.clear();
    m_nFailedError = 0;
    m_lastHeard = CClock::now();
}

void CChannelReader::Close()
{
    m_channel.Reset();
}

CChannelReader::CNews CChannelReader::Read()
{
    bool bHeard = false;
    size_t nStepBytes = 0;
    CRecordVisitor visitor {*this};
    CAheadVisitor ahead {m_sink};
    while (m_strEnded.empty() && m_channel.IsOpen() && nStepBytes < MAX_STEP_BYTES)
    {
        const ssize_t nReceived = recv(m_channel.Get(), m_pMessage.get(), MAX_MESSAGE_BYTES + 1, MSG_DONTWAIT);
        if (nReceived < 0 && errno == EINTR)
            continue;
        if (nReceived < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        bHeard = true;
        nStepBytes += size_t(std::max<ssize_t>(nReceived, 0));
        if (nReceived <= 0)
            m_strEnded = CaptureTexts::HELPER_ENDED;
        else if (size_t(nReceived) > MAX_MESSAGE_BYTES
                 || !ReadRecords(m_pMessage.get(), size_t(nReceived), false, ahead, visitor))
            m_strEnded = CaptureTexts::HELPER_BROKEN;
    }
    if (bHeard)
        m_lastHeard = CClock::now();

    CNews news;
    news.nMissed = m_counts.nDropped;
    news.bMissedGrew = news.nMissed > m_nMissedTold;
    m_nMissedTold = news.nMissed;
    news.nLookupsLost = m_counts.nLookupsLost;
    news.bLookupsLostGrew = news.nLookupsLost > m_nLookupsLostTold;
    m_nLookupsLostTold = news.nLookupsLost;
    news.strEnded = m_strEnded;
    news.nFailedError = m_nFailedError;
    news.nBytes = nStepBytes;
    return news;
}

CChannelReader::CNews CChannelReader::CheckSilence(CClock::time_point now)
{
    pollfd pfd {m_channel.Get(), POLLIN, 0};
    const bool bWaiting = poll(&pfd, 1, 0) > 0;
    if (!bWaiting && m_strEnded.empty() && now - m_lastHeard > std::chrono::milliseconds(SILENCE_LIMIT_MS))
        m_strEnded = CaptureTexts::HELPER_SILENT;
    return Read();
}

void CChannelReader::OnCounts(const CCountsRecord& counts)
{
    if (!m_strEnded.empty())
        return;
    if (CanFollow(m_counts, counts))
        m_counts = counts;
    else
        m_strEnded = CaptureTexts::HELPER_BROKEN;
}

void CChannelReader::OnFailed(const CFailedRecord& failed)
{
    if (!m_strEnded.empty())
        return;
    m_strEnded = CaptureTexts::FormatText(CaptureTexts::RECEIVE_FAILED_FORMAT, failed.nError);
    m_nFailedError = failed.nError;
}
