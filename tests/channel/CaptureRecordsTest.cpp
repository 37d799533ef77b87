#include "channel/CaptureRecords.h"
#include "dns/DnsName.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Channel;

namespace {

using CBytes = std::vector<unsigned char>;

// Every record handed on, as text, so a whole message compares in one go.
class CTrace : public CRecordSink
{
public:
    void OnOpened(const COpenedRecord& o) override
    {
        m_events.push_back("opened " + std::to_string(o.nStep) + " " + std::to_string(o.nError) + " "
                           + std::to_string(o.nReceiveAllError));
    }
    void OnName(std::int64_t nSeconds, std::uint32_t nNanoseconds, std::string_view name) override
    {
        m_events.push_back("name " + std::to_string(nSeconds) + "." + std::to_string(nNanoseconds) + " "
                           + std::string(name));
    }
    void OnCounts(const CCountsRecord& c) override
    {
        m_events.push_back("counts " + std::to_string(c.nReceived) + " " + std::to_string(c.nDropped));
    }
    void OnFailed(std::int32_t nError) override { m_events.push_back("failed " + std::to_string(nError)); }

    std::vector<std::string> m_events;
};

COpenedRecord Opened(std::int32_t nStep, std::int32_t nError, std::int32_t nReceiveAllError)
{
    COpenedRecord opened;
    opened.nStep = nStep;
    opened.nError = nError;
    opened.nReceiveAllError = nReceiveAllError;
    return opened;
}

CCountsRecord Counts(std::uint64_t nReceived, std::uint64_t nDropped)
{
    CCountsRecord counts;
    counts.nReceived = nReceived;
    counts.nDropped = nDropped;
    return counts;
}

CBytes Bytes(const CRecordWriter& writer)
{
    return CBytes(writer.GetData(), writer.GetData() + writer.GetSize());
}

std::vector<std::string> Read(const CBytes& message, bool bFirst, bool* pbAccepted = nullptr)
{
    CTrace trace;
    const bool bAccepted = ReadRecords(message.data(), message.size(), bFirst, trace);
    if (pbAccepted != nullptr)
        *pbAccepted = bAccepted;
    return trace.m_events;
}

} // namespace

TEST(CaptureRecordsTest, WhatTheHelperWritesIsReadBackInOrder)
{
    CRecordWriter first;
    ASSERT_TRUE(first.AddOpened(Opened(0, 0, 19)));
    EXPECT_EQ(Read(Bytes(first), true), std::vector<std::string> {"opened 0 0 19"});

    CRecordWriter writer;
    const std::string strLongest(NAME_BUFFER_SIZE - 1, 'x');
    ASSERT_TRUE(writer.AddName(1765100000, 999999999, "mail.example.org"));
    ASSERT_TRUE(writer.AddName(LAST_REAL_SECOND, 0, ""));
    ASSERT_TRUE(writer.AddName(7, 1, strLongest));
    ASSERT_TRUE(writer.AddCounts(Counts(70000, 30000)));
    ASSERT_TRUE(writer.AddFailed(100));
    const std::vector<std::string> expected = {"name 1765100000.999999999 mail.example.org",
                                               "name " + std::to_string(LAST_REAL_SECOND) + ".0 ",
                                               "name 7.1 " + strLongest, "counts 70000 30000", "failed 100"};
    EXPECT_EQ(Read(Bytes(writer), false), expected);
}

TEST(CaptureRecordsTest, AMessageWithAnyBadRecordIsTurnedDownWholeAndDeliversNothing)
{
    CRecordWriter good;
    good.AddName(1, 2, "good.example");
    const CBytes prefix = Bytes(good);
    const auto withPrefix = [&prefix](CBytes tail) {
        tail.insert(tail.begin(), prefix.begin(), prefix.end());
        return tail;
    };
    CRecordWriter opened;
    opened.AddOpened(Opened(0, 0, 0));

    CBytes nameTooLong = {RECORD_NAME, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x04}; // 1024 bytes
    nameTooLong.resize(nameTooLong.size() + 1024, 'a');
    const std::vector<std::pair<const char*, CBytes>> bad = {
        {"empty", {}},
        {"unknown type", withPrefix({9, 0, 0, 0, 0})},
        {"type zero", withPrefix({0})},
        {"name cut in its head", withPrefix({RECORD_NAME, 1, 0, 0})},
        {"name longer than its message", withPrefix({RECORD_NAME, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 'a', 'b'})},
        {"name past the decoder's limit", withPrefix(nameTooLong)},
        {"a time before the epoch",
         withPrefix({RECORD_NAME, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0})},
        {"a time past year 9999", withPrefix({RECORD_NAME, 0x80, 0x41, 0xF4, 0xFF, 0x3A, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        {"a whole second of nanoseconds",
         withPrefix({RECORD_NAME, 1, 0, 0, 0, 0, 0, 0, 0, 0x00, 0xCA, 0x9A, 0x3B, 0, 0})},
        {"counts cut", withPrefix({RECORD_COUNTS, 1, 2, 3})},
        {"failure without errno", withPrefix({RECORD_FAILED, 0, 0, 0, 0})},
        {"failure with a negative errno", withPrefix({RECORD_FAILED, 0xFF, 0xFF, 0xFF, 0xFF})},
        {"open reply after the start", withPrefix(Bytes(opened))},
    };
    for (const auto& [pszWhat, message] : bad)
    {
        bool bAccepted = true;
        EXPECT_TRUE(Read(message, false, &bAccepted).empty()) << pszWhat;
        EXPECT_FALSE(bAccepted) << pszWhat;
    }
    // The first message must open with the reply, and only it may.
    bool bAccepted = true;
    EXPECT_TRUE(Read(prefix, true, &bAccepted).empty());
    EXPECT_FALSE(bAccepted);
    CBytes twice = Bytes(opened);
    twice.insert(twice.end(), twice.begin(), twice.end());
    EXPECT_TRUE(Read(twice, true, &bAccepted).empty());
    EXPECT_FALSE(bAccepted);
}

TEST(CaptureRecordsTest, TheWriterTakesNothingThatWouldNotFitOrThatTheReaderWouldRefuse)
{
    CRecordWriter writer;
    EXPECT_FALSE(writer.AddName(0, 0, std::string(NAME_BUFFER_SIZE, 'x')));
    EXPECT_TRUE(writer.IsEmpty());
    const std::string strName(1000, 'n');
    size_t nNames = 0;
    while (writer.AddName(0, 0, strName))
        ++nNames;
    EXPECT_EQ(nNames, MAX_MESSAGE_BYTES / (sizeof(CNameRecord) + strName.size()));
    EXPECT_LE(writer.GetSize(), MAX_MESSAGE_BYTES);
    EXPECT_EQ(Read(Bytes(writer), false).size(), nNames);
}

TEST(CaptureRecordsTest, EveryFailedStepHasItsOwnTextAndAnUnknownOneReadsAsTheRefusedOpen)
{
    EXPECT_EQ(OpenFailureText(STEP_OPEN, 1), "socket() failed, errno=1");
    EXPECT_EQ(OpenFailureText(STEP_OPTIONS, 22), "SetSockOpt Failed error num = 22");
    EXPECT_EQ(OpenFailureText(STEP_BIND, 99), "bind() failed, error no 99");
    EXPECT_EQ(OpenFailureText(STEP_NO_PLACE, 87),
              "Tarrow already runs 4 captures for this user. Stop one and try again.");
    EXPECT_EQ(OpenFailureText(STEP_SANDBOX, 12), "The capture helper could not give up its rights, error no 12");
    EXPECT_EQ(OpenFailureText(77, 13), "socket() failed, errno=13");
    EXPECT_FALSE(IsFailureStep(STEP_NONE));
    EXPECT_FALSE(IsFailureStep(77));
}
