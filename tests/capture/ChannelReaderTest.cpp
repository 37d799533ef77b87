// The read step of every front end on a socket pair standing in for the helper's end: what it tells
// from good messages, and how every kind of end reads.
#include "capture/ChannelReader.h"
#include "channel/RecordWriter.h"
#include "common/Records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <utility>
#include <sys/socket.h>

using namespace Channel;
using namespace TestRecords;

namespace {

CResponseRecord CutResponse()
{
    CResponseRecord response;
    response.facts.nProtocol = IPPROTO_UDP;
    response.facts.nIpVersion = 4;
    response.nAnswers = 1;
    response.nAnswersLength = 4;
    return response;
}

class ChannelReaderTest : public ::testing::Test, private CChannelReader::CSink
{
protected:
    void SetUp() override
    {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        m_reader.Open(CUniqueFd(pair[0]));
        m_helperEnd.Reset(pair[1]);
        m_pWriter = std::make_unique<CRecordWriter>(m_helperEnd.Get());
    }

    void PutName(std::int64_t nSeconds, std::string_view text)
    {
        ASSERT_TRUE(m_pWriter->Put(Name(nSeconds, 0, text), text));
    }
    void PutCounts(std::uint64_t nReceived, std::uint64_t nDropped)
    {
        ASSERT_TRUE(m_pWriter->Put(Counts(nReceived, nDropped)));
    }
    void Send() { ASSERT_TRUE(m_pWriter->Flush()); }

    void Send(const void* pData, size_t nSize) { ASSERT_EQ(send(m_helperEnd.Get(), pData, nSize, 0), ssize_t(nSize)); }
    void OnQuery(const CNameRecord& name, std::string_view text) override { m_told.emplace_back(name, text); }
    // The names the last step handed over.
    std::vector<std::string> Names(const CChannelReader::CNews&)
    {
        std::vector<std::string> names;
        for (const auto& told : m_told)
            names.push_back(told.second);
        m_told.clear();
        return names;
    }

    std::vector<std::pair<CNameRecord, std::string>> m_told;
    CChannelReader m_reader {*this};
    CUniqueFd m_helperEnd;
    std::unique_ptr<CRecordWriter> m_pWriter;
};

TEST_F(ChannelReaderTest, WholeRecordsOfEveryWaitingMessageComeInOrderAndMissedOnlyWhenItGrew)
{
    EXPECT_TRUE(Names(m_reader.Read()).empty());
    CNameRecord program = Query();
    program.nLength = 11;
    program.nSender = SENDER_PROGRAM;
    program.sender.nPid = 4242;
    program.sender.nCgroupId = 77;
    std::memcpy(program.sender.szCommand, "dig", 4);
    ASSERT_TRUE(m_pWriter->Put(program, "one.example"));
    PutCounts(3, 0);
    Send();
    PutName(1765100001, "two.example");
    PutName(1765100002, "three.example");
    Send();

    const CChannelReader::CNews news = m_reader.Read();
    ASSERT_EQ(m_told.size(), 3u);
    EXPECT_EQ(std::memcmp(&m_told[0].first, &program, sizeof(program)), 0);
    // Copied out first: the record's fields lie packed, at no alignment a reference may bind to.
    const std::int64_t nSeconds = m_told[1].first.facts.nSeconds;
    EXPECT_EQ(nSeconds, 1765100001);
    EXPECT_EQ(Names(news), (std::vector<std::string> {"one.example", "two.example", "three.example"}));
    EXPECT_FALSE(news.bMissedGrew);
    EXPECT_TRUE(news.strEnded.empty());

    PutCounts(3, 7);
    Send();
    const CChannelReader::CNews dropped = m_reader.Read();
    EXPECT_TRUE(dropped.bMissedGrew);
    EXPECT_EQ(dropped.nMissed, 7u);
    PutCounts(4, 7);
    Send();
    EXPECT_FALSE(m_reader.Read().bMissedGrew);
}

TEST_F(ChannelReaderTest, EveryEndIsToldAfterTheNamesBeforeIt)
{
    constexpr std::uint64_t BEFORE = 1000;
    struct
    {
        const char* pszWhat;
        std::vector<unsigned char> last; // empty: the helper's end closes
        const char* pszText;
    } ends[] = {
        {"closed", {}, "The capture helper ended unexpectedly."},
        {"garbage", {9, 9, 9}, "The capture helper sent something that is not a capture record."},
        {"oversized", std::vector<unsigned char>(MAX_MESSAGE_BYTES + 1, RECORD_COUNTS),
         "The capture helper sent something that is not a capture record."},
        // No kernel count shrinks, and one read of them adds at most 32 bits' worth.
        {"kept count shrinks", Raw(Counts(BEFORE - 1, BEFORE)),
         "The capture helper sent something that is not a capture record."},
        {"missed count leaps", Raw(Counts(BEFORE, BEFORE + UINT32_MAX + 1)),
         "The capture helper sent something that is not a capture record."},
        {"failed", Raw(Failed(100)), "recvfrom() failed, error num 100"},
        // A response whose tail is not the one answer it says it carries.
        {"answers cut", Raw(CutResponse(), std::string_view("\x01\x00\x2c\x01", 4)),
         "The capture helper sent something that is not a capture record."},
    };
    for (auto& end : ends)
    {
        SetUp();
        m_told.clear();
        PutName(1, "before.example");
        PutCounts(BEFORE, BEFORE);
        Send();
        if (end.last.empty())
            m_helperEnd.Reset();
        else
            Send(end.last.data(), end.last.size());
        const CChannelReader::CNews news = m_reader.Read();
        EXPECT_EQ(Names(news), std::vector<std::string> {"before.example"}) << end.pszWhat;
        EXPECT_EQ(news.strEnded, end.pszText) << end.pszWhat;
    }
}

TEST_F(ChannelReaderTest, SilenceEndsTheCaptureOnlyWhenNothingWaitsToBeRead)
{
    const auto later = std::chrono::steady_clock::now() + std::chrono::milliseconds(SILENCE_LIMIT_MS + 1000);
    EXPECT_TRUE(m_reader.CheckSilence(std::chrono::steady_clock::now()).strEnded.empty());
    // A window that was busy for longer than the limit finds the helper's words waiting.
    PutName(1, "waited.example");
    Send();
    const CChannelReader::CNews news = m_reader.CheckSilence(later);
    EXPECT_EQ(Names(news), std::vector<std::string> {"waited.example"});
    EXPECT_TRUE(news.strEnded.empty());
    EXPECT_EQ(m_reader.CheckSilence(later + std::chrono::milliseconds(SILENCE_LIMIT_MS + 1000)).strEnded,
              "The capture helper stopped responding.");
}

} // namespace
