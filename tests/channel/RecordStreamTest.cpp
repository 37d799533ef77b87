// The records as the writer sends them over a real socket pair, and as the reader takes them back:
// in order, whole, and never a message that breaks the table's rules.
#include "channel/RecordReader.h"
#include "channel/RecordWriter.h"
#include "common/Records.h"
#include "platform/UniqueFd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <vector>

using namespace Channel;
using namespace TestRecords;

namespace {

using CBytes = std::vector<unsigned char>;

// Every record handed on, as text, so a whole message compares in one go.
struct CTrace
{
    void OnRecord(const COpenedRecord& o, std::string_view)
    {
        m_events.push_back("opened " + std::to_string(o.nStep) + " " + std::to_string(o.nError) + " "
                           + std::to_string(o.nReceiveAllError));
    }
    void OnRecord(const CNameRecord& n, std::string_view text)
    {
        m_events.push_back("name " + std::to_string(n.facts.nSeconds) + "." + std::to_string(n.facts.nNanoseconds) + " "
                           + std::string(text));
    }
    void OnRecord(const CCountsRecord& c, std::string_view)
    {
        m_events.push_back("counts " + std::to_string(c.nReceived) + " " + std::to_string(c.nDropped));
    }
    void OnRecord(const CFailedRecord& f, std::string_view)
    {
        m_events.push_back("failed " + std::to_string(f.nError));
    }
    // A kind added later shows up as its type until it is traced in full.
    template <class TRecord>
    void OnRecord(const TRecord& record, std::string_view)
    {
        m_events.push_back("record " + std::to_string(record.nType));
    }

    std::vector<std::string> m_events;
};

template <class TRecord, class F>
TRecord Patched(TRecord record, F&& pfnPatch)
{
    pfnPatch(record);
    return record;
}

// A connection over TLS from this machine, which nobody named: believable as it stands.
CEncryptedRecord Encrypted()
{
    CEncryptedRecord encrypted;
    encrypted.facts.nProtocol = IPPROTO_TCP;
    encrypted.facts.nIpVersion = 4;
    return encrypted;
}

CBytes operator+(CBytes a, const CBytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class RecordStreamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        m_writerEnd.Reset(pair[0]);
        m_readerEnd.Reset(pair[1]);
    }

    // Every message waiting on the reader's end.
    std::vector<CBytes> Messages()
    {
        std::vector<CBytes> messages;
        for (;;)
        {
            CBytes message(MAX_MESSAGE_BYTES + 1);
            const ssize_t n = recv(m_readerEnd.Get(), message.data(), message.size(), MSG_DONTWAIT);
            if (n < 0)
                return messages;
            message.resize(size_t(n));
            messages.push_back(message);
        }
    }

    static std::vector<std::string> Read(const CBytes& message, bool bFirst, bool* pbAccepted = nullptr)
    {
        CTrace trace;
        const bool bAccepted = ReadRecords(message.data(), message.size(), bFirst, trace);
        if (pbAccepted != nullptr)
            *pbAccepted = bAccepted;
        return trace.m_events;
    }

    CUniqueFd m_writerEnd;
    CUniqueFd m_readerEnd;
};

} // namespace

TEST_F(RecordStreamTest, WhatTheWriterSendsIsReadBackInOrder)
{
    CRecordWriter writer(m_writerEnd.Get());
    ASSERT_TRUE(writer.Put(Opened(STEP_NONE, 0, 19)));
    ASSERT_TRUE(writer.Flush());
    const std::string strLongest(MAX_NAME_BYTES, 'x');
    ASSERT_TRUE(writer.Put(Name(1765100000, 999999999, "mail.example.org"), "mail.example.org"));
    ASSERT_TRUE(writer.Put(Name(LAST_REAL_SECOND, 0, ""), ""));
    ASSERT_TRUE(writer.Put(Name(0, 1, strLongest), strLongest));
    ASSERT_TRUE(writer.Put(Counts(70000, 30000)));
    ASSERT_TRUE(writer.Put(Failed(100)));
    ASSERT_TRUE(writer.Flush());

    const std::vector<CBytes> messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(Read(messages[0], true), std::vector<std::string> {"opened 0 0 19"});
    const std::vector<std::string> expected = {"name 1765100000.999999999 mail.example.org",
                                               "name " + std::to_string(LAST_REAL_SECOND) + ".0 ",
                                               "name 0.1 " + strLongest, "counts 70000 30000", "failed 100"};
    EXPECT_EQ(Read(messages[1], false), expected);
}

TEST_F(RecordStreamTest, AFullMessageGoesOutBeforeTheRecordThatWouldNotFitAndNothingUnreadableIsWritten)
{
    CRecordWriter writer(m_writerEnd.Get());
    const std::string strName(1000, 'n');
    const size_t nPerMessage = MAX_MESSAGE_BYTES / (sizeof(CNameRecord) + strName.size());
    for (size_t i = 0; i <= nPerMessage; ++i)
        ASSERT_TRUE(writer.Put(Name(0, 0, strName), strName));
    const std::vector<CBytes> full = Messages();
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(Read(full[0], false).size(), nPerMessage);

    // Records the reader would turn down, and a tail that is not the one the record says.
    for (const bool bPut : {writer.Put(Name(-1, 0, "x"), "x"), writer.Put(Name(0, 0, "xy"), "x"), writer.Put(Failed(0)),
                            writer.Put(Opened(STEP_NONE, 5))})
    {
        EXPECT_FALSE(bPut);
        EXPECT_EQ(errno, EINVAL);
    }
    ASSERT_TRUE(writer.Flush());
    const std::vector<CBytes> rest = Messages();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(Read(rest[0], false).size(), 1u);

    m_readerEnd.Reset();
    EXPECT_TRUE(writer.Put(Failed(1)));
    EXPECT_FALSE(writer.Flush());
}

TEST_F(RecordStreamTest, AMessageWithAnyBadRecordIsTurnedDownWholeAndDeliversNothing)
{
    const CBytes good = Raw(Name(1, 2, "good.example"), "good.example");
    // What the patches below change is all that is wrong with their records.
    ASSERT_TRUE(Encrypted().IsValid());
    CBytes nameTooLong = Raw(Name(1, 0, std::string(MAX_NAME_BYTES + 1, 'a')));
    nameTooLong.resize(nameTooLong.size() + MAX_NAME_BYTES + 1, 'a');
    CBytes nameLongerThanItsMessage = Raw(Name(1, 0, "abcde"), "ab");
    const struct
    {
        const char* pszWhat;
        CBytes message;
        bool bFirst = false;
    } bad[] = {
        {"empty", {}},
        {"unknown type", good + CBytes {9, 0, 0, 0, 0}},
        {"type zero", good + CBytes {0}},
        {"name cut in its head", good + CBytes {RECORD_NAME, 1, 0, 0}},
        {"name longer than its message", good + nameLongerThanItsMessage},
        {"name past the longest", good + nameTooLong},
        {"a time before the epoch", good + Raw(Name(-1, 0, ""))},
        {"a time past year 9999", good + Raw(Name(LAST_REAL_SECOND + 1, 0, ""))},
        {"a whole second of nanoseconds", good + Raw(Name(1, 1000000000, ""))},
        {"neither UDP nor TCP", good + Raw(Patched(Name(1, 0, ""), [](CNameRecord& n) { n.facts.nProtocol = 1; }))},
        {"neither IPv4 nor IPv6", good + Raw(Patched(Name(1, 0, ""), [](CNameRecord& n) { n.facts.nIpVersion = 5; }))},
        {"an unknown sender", good + Raw(Patched(Name(1, 0, ""), [](CNameRecord& n) { n.nSender = 4; }))},
        {"another user's query naming the process",
         good
             + Raw(
                 Patched(Name(1, 0, ""), [](CNameRecord& n) { n.nSender = SENDER_ANOTHER_USER, n.sender.nPid = 7; }))},
        {"another host's query with a command",
         good
             + Raw(Patched(Name(1, 0, ""),
                           [](CNameRecord& n) { n.nSender = SENDER_ANOTHER_HOST, n.sender.szCommand[0] = 'x'; }))},
        {"a command without its NUL", good
                                          + Raw(Patched(Name(1, 0, ""),
                                                        [](CNameRecord& n) {
                                                            n.nSender = SENDER_PROGRAM,
                                                            std::memset(n.sender.szCommand, 'x', 16);
                                                        }))},
        {"a lookup of no known call", good + Raw(Patched(CLookupRecord(), [](CLookupRecord& l) { l.nCall = 0; }))},
        {"a lookup's phase unknown", good + Raw(Patched(CLookupRecord(), [](CLookupRecord& l) { l.nPhase = 3; }))},
        {"a lookup begun with a result",
         good + Raw(Patched(CLookupRecord(), [](CLookupRecord& l) { l.nResultKind = LOOKUP_KIND_EAI; }))},
        {"a lookup with more addresses than it holds",
         good
             + Raw(
                 Patched(CLookupRecord(), [](CLookupRecord& l) { l.nPhase = LOOKUP_PHASE_ENDED, l.nAddresses = 9; }))},
        {"a lookup's address of no IP version",
         good
             + Raw(
                 Patched(CLookupRecord(), [](CLookupRecord& l) { l.nPhase = LOOKUP_PHASE_ENDED, l.nAddresses = 1; }))},
        {"a lookup's command without its NUL",
         good + Raw(Patched(CLookupRecord(), [](CLookupRecord& l) { std::memset(l.sender.szCommand, 'x', 16); }))},
        {"an encrypted connection of no known protocol",
         good + Raw(Patched(Encrypted(), [](CEncryptedRecord& e) { e.nProtocol = ENCRYPTED_QUIC + 1; }))},
        {"an encrypted connection with an unknown flag",
         good + Raw(Patched(Encrypted(), [](CEncryptedRecord& e) { e.nFlags = 8; }))},
        {"an encrypted connection with a DNS id",
         good + Raw(Patched(Encrypted(), [](CEncryptedRecord& e) { e.facts.nDnsId = 1; }))},
        {"QUIC with a server name, which its encrypted hello never shows",
         good
             + Raw(Patched(Encrypted(), [](CEncryptedRecord& e) { e.facts.nProtocol = IPPROTO_UDP, e.nLength = 1; }),
                   "x")},
        {"another user's connection naming the process",
         good
             + Raw(Patched(Encrypted(),
                           [](CEncryptedRecord& e) { e.nSender = SENDER_ANOTHER_USER, e.sender.nUid = 1000; }))},
        {"counts cut", good + CBytes {RECORD_COUNTS, 1, 2, 3}},
        {"failure without errno", good + Raw(Failed(0))},
        {"failure with a negative errno", good + Raw(Failed(-1))},
        {"open reply after the start", good + Raw(Opened(STEP_NONE, 0))},
        {"first message without the open reply", good, true},
        {"open reply twice", Raw(Opened(STEP_NONE, 0)) + Raw(Opened(STEP_NONE, 0)), true},
        {"open reply of an unknown step", Raw(Opened(77, 13)), true},
        {"failed step without errno", Raw(Opened(STEP_BIND, 0)), true},
        {"running capture with an errno", Raw(Opened(STEP_NONE, 1)), true},
    };
    for (const auto& item : bad)
    {
        bool bAccepted = true;
        EXPECT_TRUE(Read(item.message, item.bFirst, &bAccepted).empty()) << item.pszWhat;
        EXPECT_FALSE(bAccepted) << item.pszWhat;
    }
}

// What a front end wants reaches the helper as one argument and reads back as it was said; the
// window's lean names take no addition, and an addition out of its place is no argument.
TEST(ChannelWantsTest, EveryWishReadsBackFromItsArgument)
{
    for (const Wants nFrames : {WANTS_NAMES, WANTS_QUERIES, WANTS_EXCHANGES})
    {
        for (const unsigned nAdded :
             {0u, unsigned(WANTS_ENCRYPTED), unsigned(WANTS_LOOKUPS), unsigned(WANTS_ENCRYPTED | WANTS_LOOKUPS)})
        {
            const Wants nWants = Wants(nFrames | nAdded);
            Wants nRead = WANTS_QUERIES;
            EXPECT_EQ(ParseWants(WantsArgument(nWants), &nRead), nFrames != WANTS_NAMES || nAdded == 0)
                << WantsArgument(nWants);
            EXPECT_TRUE(nFrames == WANTS_NAMES || nRead == nWants) << WantsArgument(nWants);
        }
    }
    Wants nRead = WANTS_QUERIES;
    for (const char* pszBad : {"exchanges+lookups+encrypted", "exchanges+encrypted+encrypted", "+lookups", ""})
        EXPECT_FALSE(ParseWants(pszBad, &nRead)) << pszBad;
}
