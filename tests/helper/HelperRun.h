#pragma once

// The built helper run as its own process, the way the window starts it, for the tests that run it.

#include "capture/HelperProcess.h"
#include "channel/Channel.h"
#include "channel/RecordReader.h"
#include "common/DnsQuery.h"
#include "common/NetNamespaceFixture.h"
#include "common/ProcessState.h"
#include "common/TestUser.h"
#include "platform/UniqueFd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace Channel;

// The helper's rights as an installed one holds them: to capture, and to name programs too.
constexpr char CAPTURE_RIGHT[] = "cap_net_raw=ep";
constexpr char CAPTURE_AND_NAMING_RIGHTS[] = "cap_net_raw,cap_bpf,cap_perfmon=p";

struct CRunOptions
{
    bool bWithChannel = true;
    bool bStandardClosed = false;
    rlim_t nMaxFiles = 0; // a limit on descriptor numbers, when not 0
};

// One run of the built helper with what a test varies: its arguments, the capture right, the
// channel at its number, and descriptors 0 to 2.
class CHelperRun
{
public:
    explicit CHelperRun(const std::vector<std::string>& args, CRunOptions options = {})
    {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
            return;
        m_channel.Reset(pair[0]);
        m_pid = fork();
        if (m_pid == 0)
        {
            // The helper's usage line would only clutter the test log.
            const int hQuiet = open("/dev/null", O_RDWR | O_CLOEXEC);
            if (hQuiet < 0 || dup2(hQuiet, STDERR_FILENO) < 0
                || dup2(options.bWithChannel ? pair[1] : hQuiet, CHANNEL_FD) < 0)
                _exit(101);
            const rlimit files {options.nMaxFiles, options.nMaxFiles};
            if (options.nMaxFiles != 0
                && (close_range(CHANNEL_FD + 1, ~0U, 0) != 0 || setrlimit(RLIMIT_NOFILE, &files) != 0))
                _exit(103);
            if (options.bStandardClosed)
            {
                for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
                    close(fd);
            }
            std::vector<char*> argv {const_cast<char*>("tarrow-capture-helper")};
            for (const std::string& strArg : args)
                argv.push_back(const_cast<char*>(strArg.c_str()));
            argv.push_back(nullptr);
            char* envp[] = {nullptr};
            execve(TARROW_TEST_HELPER_PATH, argv.data(), envp);
            _exit(102);
        }
        close(pair[1]);
    }
    ~CHelperRun()
    {
        m_channel.Reset();
        if (m_pid > 0)
        {
            kill(m_pid, SIGKILL);
            WaitForChild(m_pid);
        }
    }

    // Its first message: the byte count, 0 when the channel closed without a word.
    ssize_t ReadReply()
    {
        pollfd pfd {m_channel.Get(), POLLIN, 0};
        if (poll(&pfd, 1, 5000) != 1)
            return -1;
        return recv(m_channel.Get(), m_reply, sizeof(m_reply), 0);
    }
    COpenedRecord ReadOpened()
    {
        COpenedRecord opened;
        if (ReadReply() == ssize_t(sizeof(opened)))
            std::memcpy(&opened, m_reply, sizeof(opened));
        return opened;
    }

    // Waits for the end; what the ended process held is still there to read until it is reaped.
    int WaitForEnd()
    {
        siginfo_t info {};
        if (waitid(P_PID, id_t(m_pid), &info, WEXITED | WNOWAIT) != 0)
            return -1;
        m_strCapEff = ReadProcessStatus(m_pid, "CapEff");
        m_strSeccomp = ReadProcessStatus(m_pid, "Seccomp");
        const int nExit = WaitForChild(std::exchange(m_pid, -1));
        return nExit;
    }

    pid_t GetPid() const { return m_pid; }
    int GetChannel() const { return m_channel.Get(); }

    std::string m_strCapEff, m_strSeccomp;

private:
    CUniqueFd m_channel;
    pid_t m_pid = -1;
    unsigned char m_reply[64] = {};
};

// Collects what a message holds.
struct CCollected
{
    void OnRecord(const COpenedRecord& opened, std::string_view) { m_opened = opened; }
    void OnRecord(const CNameRecord& name, std::string_view text)
    {
        m_names.emplace_back(text);
        m_records.push_back(name);
    }
    void OnRecord(const CCountsRecord& counts, std::string_view)
    {
        m_nEventsLost = counts.nEventsLost;
        ++m_nCounts;
    }
    // Failures and any kind added later say nothing these tests look at.
    template <class TRecord>
    void OnRecord(const TRecord&, std::string_view)
    {}

    COpenedRecord m_opened;
    std::vector<std::string> m_names;
    std::vector<CNameRecord> m_records;
    std::uint64_t m_nEventsLost = 0;
    unsigned m_nCounts = 0;
};

// Hands the channel's messages to the visitor until pfnDone holds or nothing comes for nQuietMs;
// false once a message is turned down or the channel ends.
template <class TVisitor, class TDone>
bool ReadChannelUntil(int hChannel, TVisitor& visitor, const TDone& pfnDone, int nQuietMs = 5000)
{
    unsigned char message[MAX_MESSAGE_BYTES];
    pollfd pfd {hChannel, POLLIN, 0};
    while (!pfnDone() && poll(&pfd, 1, nQuietMs) == 1)
    {
        const ssize_t nReceived = recv(hChannel, message, sizeof(message), 0);
        if (nReceived <= 0 || !ReadRecords(message, size_t(nReceived), false, visitor))
            return false;
    }
    return true;
}

// Reads until pfnDone holds and counts have come after that: they cover what came before.
template <class TDone>
bool ReadUntilCountsAfter(int hChannel, CCollected& seen, const TDone& pfnDone)
{
    std::optional<unsigned> nCountsAtDone;
    return ReadChannelUntil(hChannel, seen, [&] {
        if (!nCountsAtDone && pfnDone())
            nCountsAtDone = seen.m_nCounts;
        return nCountsAtDone && seen.m_nCounts > *nCountsAtDone;
    });
}

// The helper starts in the namespace of the thread that runs it: the capture side.
using CaptureHelperNetTest = CNetNamespaceTest;
