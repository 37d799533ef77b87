#include "capture/HelperProcess.h"

#include "platform/CaptureTarget.h"
#include "channel/RecordReader.h"

#include "ProjectFacts.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

using namespace Channel;

namespace {

CHelperProcess::CStarted FailedAt(OpenStep nStep, std::int32_t nError)
{
    CHelperProcess::CStarted started;
    started.opened.nStep = nStep;
    started.opened.nError = nError;
    return started;
}

CHelperProcess::CStarted Refused()
{
    return FailedAt(STEP_OPEN, EPERM);
}

bool IsRefused(const CHelperProcess::CStarted& started)
{
    return started.opened.nStep == STEP_OPEN && started.opened.nError == EPERM;
}

// The child end goes to a fixed number in the helper. A dup2 onto itself would keep its
// close-on-exec flag, so it must not already sit there.
CUniqueFd MoveOffChannelNumber(CUniqueFd fd)
{
    if (fd.Get() != CHANNEL_FD)
        return fd;
    return CUniqueFd(fcntl(fd.Get(), F_DUPFD_CLOEXEC, CHANNEL_FD + 1));
}

bool SpawnHelper(const std::string& strHelperPath, const char* pszLocalAddress, Wants nWants,
                 const std::string& strResolvers, int hChildEnd, pid_t* pPid)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    if (posix_spawnattr_init(&attributes) != 0)
    {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }

    // The dup comes first: the child end may itself be 0 or 1 when the caller runs without them.
    bool bReady = posix_spawn_file_actions_adddup2(&actions, hChildEnd, CHANNEL_FD) == 0
                  && posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0
                  && posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) == 0
                  // Nothing the helper writes reaches the window's terminal: code that took it
                  // over could send escape sequences there.
                  && posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0
                  && posix_spawn_file_actions_addclosefrom_np(&actions, CHANNEL_FD + 1) == 0;

    // Signals the caller ignores or blocks (Qt's, a test's) are no business of the helper.
    sigset_t noSignals, allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    bReady = bReady && posix_spawnattr_setsigmask(&attributes, &noSignals) == 0
             && posix_spawnattr_setsigdefault(&attributes, &allSignals) == 0
             && posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;

    if (bReady)
    {
        std::string strAddress(pszLocalAddress);
        std::string strName(TARROW_HELPER_NAME);
        std::string strWants = WantsArgument(nWants);
        std::string strResolversArgument = strResolvers;
        char* argv[] = {strName.data(), strAddress.data(), strWants.data(),
                        strResolvers.empty() ? nullptr : strResolversArgument.data(), nullptr};
        char* envp[] = {nullptr};
        bReady = posix_spawn(pPid, strHelperPath.c_str(), &actions, &attributes, argv, envp) == 0;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return bReady;
}

struct COpenedVisitor
{
    void OnRecord(const COpenedRecord& opened, std::string_view) { m_opened = opened; }
    template <class TRecord>
    void OnRecord(const TRecord&, std::string_view)
    {}

    COpenedRecord m_opened;
};

// The first word, checked as if it came from anyone: exactly one well-formed open record, with a
// step the window knows. Anything else counts as no answer.
bool ReceiveOpened(int hChannel, COpenedRecord* pOpened)
{
    pollfd pfd {hChannel, POLLIN, 0};
    int nReady = 0;
    do
        nReady = poll(&pfd, 1, CHelperProcess::REPLY_TIMEOUT_MS);
    while (nReady < 0 && errno == EINTR);
    if (nReady <= 0)
        return false;

    unsigned char message[sizeof(COpenedRecord) + 1];
    ssize_t nReceived = -1;
    do
        nReceived = recv(hChannel, message, sizeof(message), MSG_DONTWAIT);
    while (nReceived < 0 && errno == EINTR);
    COpenedVisitor visitor;
    if (nReceived != ssize_t(sizeof(COpenedRecord)) || !ReadRecords(message, sizeof(COpenedRecord), true, visitor))
        return false;
    *pOpened = visitor.m_opened;
    return true;
}

} // namespace

CHelperProcess::CStarted CHelperProcess::Start(const char* pszLocalAddress, Wants nWants,
                                               const std::string& strResolvers)
{
    return StartFrom(GetHelperCandidates(), pszLocalAddress, nWants, strResolvers);
}

CHelperProcess::CStarted CHelperProcess::StartFrom(const std::vector<std::string>& candidates,
                                                   const char* pszLocalAddress, Wants nWants,
                                                   const std::string& strResolvers)
{
    // A build-tree helper that was never granted the right gives way to an installed one.
    std::vector<std::string> tried;
    for (const std::string& strPath : candidates)
    {
        if (access(strPath.c_str(), F_OK) != 0)
            continue;
        tried.push_back(strPath);
        CStarted started = StartHelper(strPath, pszLocalAddress, nWants, strResolvers);
        if (!IsRefused(started))
            return started;
    }
    CStarted refused = Refused();
    if (tried.empty())
        refused.missing = candidates;
    refused.refused = std::move(tried);
    return refused;
}

CHelperProcess::CStarted CHelperProcess::StartHelper(const std::string& strHelperPath, const char* pszLocalAddress,
                                                     Wants nWants, const std::string& strResolvers)
{
    if (!IsCaptureTargetText(pszLocalAddress))
        return FailedAt(STEP_BIND, EADDRNOTAVAIL);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return Refused();
    CUniqueFd channel(pair[0]);
    CUniqueFd childEnd = MoveOffChannelNumber(CUniqueFd(pair[1]));
    if (!childEnd.IsOpen())
        return Refused();

    pid_t pid = -1;
    const bool bSpawned = SpawnHelper(strHelperPath, pszLocalAddress, nWants, strResolvers, childEnd.Get(), &pid);
    // Closed here so that a helper that dies shows as the end of the channel.
    childEnd.Reset();
    if (!bSpawned)
        return Refused();

    CStarted started;
    started.process = CHelperProcess(pid);
    const bool bAnswered = ReceiveOpened(channel.Get(), &started.opened);
    if (bAnswered && started.opened.nStep == STEP_NONE)
    {
        started.channel = std::move(channel);
        return started;
    }
    channel.Reset();
    started.process.End(bAnswered ? EXIT_GRACE_MS : 0);
    if (!bAnswered)
        return Refused();
    return started;
}

CHelperProcess::CHelperProcess(pid_t pid) : m_pid(pid)
{
    // Through syscall(): Debian 12's C library declares the wrappers without C linkage for C++.
    m_pidFd.Reset(int(syscall(SYS_pidfd_open, pid, 0)));
}

CHelperProcess::CHelperProcess(CHelperProcess&& other) noexcept
    : m_pid(std::exchange(other.m_pid, -1)), m_pidFd(std::move(other.m_pidFd))
{}

CHelperProcess& CHelperProcess::operator=(CHelperProcess&& other) noexcept
{
    if (this != &other)
    {
        Kill();
        m_pid = std::exchange(other.m_pid, -1);
        m_pidFd = std::move(other.m_pidFd);
    }
    return *this;
}

CHelperProcess::~CHelperProcess()
{
    Kill();
}

bool CHelperProcess::ReapIfEnded()
{
    if (m_pid <= 0)
        return true;
    siginfo_t info {};
    if (waitid(P_PID, id_t(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != m_pid)
        return false;
    Reap();
    return true;
}

void CHelperProcess::Kill()
{
    if (m_pid <= 0)
        return;
    if (m_pidFd.IsOpen())
        syscall(SYS_pidfd_send_signal, m_pidFd.Get(), SIGKILL, nullptr, 0);
    else
        kill(m_pid, SIGKILL);
    Reap();
}

void CHelperProcess::End(int nWaitMs)
{
    WaitForEnd(nWaitMs);
    if (!ReapIfEnded())
        Kill();
}

void CHelperProcess::WaitForEnd(int nWaitMs)
{
    if (m_pid <= 0)
        return;
    if (m_pidFd.IsOpen() && nWaitMs > 0)
    {
        pollfd pfd {m_pidFd.Get(), POLLIN, 0};
        int nReady = 0;
        do
            nReady = poll(&pfd, 1, nWaitMs);
        while (nReady < 0 && errno == EINTR);
    }
}

void CHelperProcess::Reap()
{
    int nStatus = 0;
    while (waitpid(m_pid, &nStatus, 0) < 0 && errno == EINTR)
    {}
    m_pid = -1;
    m_pidFd.Reset();
}

std::vector<std::string> CHelperProcess::GetHelperCandidates()
{
    std::vector<std::string> candidates;
#if defined(TARROW_HELPER_BUILD_PATH) && defined(TARROW_BUILD_DIR)
    char szExe[4096];
    const ssize_t nLength = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (nLength > 0)
    {
        const std::string strExe(szExe, size_t(nLength));
        const std::string strBuildDir = std::string(TARROW_BUILD_DIR) + "/";
        if (strExe.compare(0, strBuildDir.size(), strBuildDir) == 0)
            candidates.emplace_back(TARROW_HELPER_BUILD_PATH);
    }
#endif
#if defined(TARROW_HELPER_GRANTED_PATH)
    candidates.emplace_back(TARROW_HELPER_GRANTED_PATH);
#endif
    candidates.emplace_back(TARROW_HELPER_INSTALL_PATH);
    return candidates;
}
