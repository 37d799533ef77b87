#include "capture/CaptureSession.h"

#include "capture/CaptureHelperClient.h"
#include "capture/CaptureRecords.h"
#include "capture/PacketSocket.h"
#include "capture/UniqueFd.h"

#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

// Outlives the session while a worker may still write a failure into it.
struct CCaptureErrorText
{
    std::mutex m_mutex;
    std::string m_strError;
};

// Everything one capture's worker touches. The worker holds a share until it leaves, and so does
// every call posted to the owner, so neither the session nor the owner has to outlive them.
struct CCaptureShared
{
    std::atomic<bool> m_bRunning {false};
    std::shared_ptr<CCaptureErrorText> m_pError;

    std::mutex m_mutex;
    std::condition_variable m_cvRoom;  // the owner took the waiting names, or the capture ended
    CUniqueFd m_wake;                  // Stop's line to the worker; the worker closes it as it leaves
    QObject* m_pOwnerObject = nullptr; // cleared by Stop, the session's end and the owner's end
    CCaptureOwner* m_pOwner = nullptr;
    QMetaObject::Connection m_connOwnerDestroyed; // made and cut on the owner's thread only

    // Handed over to the owner by the posted call; at most one call is on its way at a time.
    CCapturedNames m_waiting;
    bool m_bPosted = false;
    HelperProtocol::CCounts m_counts {};
    std::uint64_t m_nMissedTold = 0;
    bool m_bFailed = false; // the capture ended by itself and the owner has yet to hear of it
};

namespace {

using CClock = std::chrono::steady_clock;

std::string FormatText(const char* pszFormat, int nCode)
{
    char szText[160];
    std::snprintf(szText, sizeof(szText), pszFormat, nCode);
    return szText;
}

std::string OpenFailureText(const HelperProtocol::COpened& opened)
{
    switch (opened.nStep)
    {
    case CPacketSocket::STEP_OPTIONS:
        return FormatText("SetSockOpt Failed error num = %d", opened.nError);
    case CPacketSocket::STEP_BIND:
        return FormatText("bind() failed, error no %d", opened.nError);
    case HelperProtocol::STEP_NO_PLACE:
        if (opened.nError == EUSERS)
            return FormatText("Tarrow already runs %d captures for this user. Stop one and try again.",
                              HelperProtocol::MAX_CAPTURES_PER_USER);
        break;
    case HelperProtocol::STEP_SANDBOX:
        return FormatText("The capture helper could not give up its rights, error no %d", opened.nError);
    default:
        break;
    }
    return FormatText("socket() failed, errno=%d", opened.nError);
}

// Travels inside the posted call and keeps the capture's state alive until the call has run or
// been discarded. The pointer is atomic because the call crosses threads through Qt's event
// queue, whose locking the thread sanitizer does not see; everything else is read under the
// shared mutex.
class CSharedRef
{
public:
    explicit CSharedRef(const std::shared_ptr<CCaptureShared>& pShared)
    {
        m_p.store(new std::shared_ptr<CCaptureShared>(pShared), std::memory_order_release);
    }
    CSharedRef(const CSharedRef& other)
    {
        m_p.store(new std::shared_ptr<CCaptureShared>(*other.m_p.load(std::memory_order_acquire)),
                  std::memory_order_release);
    }
    CSharedRef& operator=(const CSharedRef&) = delete;
    ~CSharedRef() { delete m_p.load(std::memory_order_acquire); }

    CCaptureShared& Get() const { return **m_p.load(std::memory_order_acquire); }

private:
    std::atomic<std::shared_ptr<CCaptureShared>*> m_p {nullptr};
};

// On the owner's thread: everything that waits goes to the owner at once, names first, then a
// grown count of missed queries, then a failure, so the owner hears of them in that order.
void HandOver(CCaptureShared& shared)
{
    CCapturedNames names;
    CCaptureOwner* pOwner = nullptr;
    std::uint64_t nMissed = 0;
    bool bMissedGrew = false;
    bool bFailed = false;
    {
        std::lock_guard lock(shared.m_mutex);
        shared.m_bPosted = false;
        if (!shared.m_bRunning.load() || shared.m_pOwner == nullptr)
            return;
        pOwner = shared.m_pOwner;
        names.Swap(shared.m_waiting);
        nMissed = shared.m_counts.nDropped;
        bMissedGrew = nMissed > shared.m_nMissedTold;
        shared.m_nMissedTold = nMissed;
        bFailed = shared.m_bFailed;
        shared.m_bFailed = false;
        shared.m_cvRoom.notify_all();
    }
    // Each call may stop the capture (a handler may press "Stop"); what follows is then dropped.
    if (!names.IsEmpty())
        pOwner->OnCapturedNames(names);
    if (bMissedGrew && shared.m_bRunning.load())
        pOwner->OnQueriesMissed(nMissed);
    if (bFailed && shared.m_bRunning.load())
        pOwner->OnCaptureFailed();
}

// Under the shared mutex. Posted, not blocking-queued: a nested modal loop on the owner's thread
// keeps delivering, and if the owner dies first Qt destroys the call unrun. Posting under the lock
// keeps the owner alive for the post: its end must take the lock.
void PostHandOver(const std::shared_ptr<CCaptureShared>& pShared)
{
    CCaptureShared& shared = *pShared;
    if (shared.m_bPosted || shared.m_pOwnerObject == nullptr)
        return;
    shared.m_bPosted = true;
    QMetaObject::invokeMethod(
        shared.m_pOwnerObject, [ref = CSharedRef(pShared)]() { HandOver(ref.Get()); }, Qt::QueuedConnection);
}

void DetachOwner(CCaptureShared& shared)
{
    QObject::disconnect(shared.m_connOwnerDestroyed);
    std::lock_guard lock(shared.m_mutex);
    shared.m_pOwnerObject = nullptr;
    shared.m_pOwner = nullptr;
    shared.m_cvRoom.notify_all();
}

// The worker's side of one capture: reads the helper's records and queues them for the owner.
class CCaptureWorker : public CRecordSink
{
public:
    CCaptureWorker(std::shared_ptr<CCaptureShared> pShared, CUniqueFd channel, pid_t pid)
        : m_pShared(std::move(pShared)), m_channel(std::move(channel)), m_pid(pid)
    {}

    void Run()
    {
        CCaptureShared& shared = *m_pShared;
        pollfd fds[2] = {{m_channel.Get(), POLLIN, 0}, {shared.m_wake.Get(), POLLIN, 0}};
        CClock::time_point lastHeard = CClock::now();
        while (m_strFailure.empty() && shared.m_bRunning.load())
        {
            const int nReady = poll(fds, 2, int(HelperProtocol::HEARTBEAT_MS));
            if (nReady < 0 && errno != EINTR)
                m_strFailure = FormatText("poll() failed, error no %d", errno);
            if (nReady <= 0 || (fds[1].revents & POLLIN) != 0)
            {
                if (CClock::now() - lastHeard > std::chrono::milliseconds(HelperProtocol::SILENCE_LIMIT_MS))
                    m_strFailure = "The capture helper stopped responding.";
                continue;
            }
            ReadMessages();
            lastHeard = CClock::now();
            QueueForOwner();
        }
        Finish();
    }

    void OnOpened(const HelperProtocol::COpened&) override {}
    void OnName(std::int64_t nSeconds, std::uint32_t, std::string_view name) override
    {
        m_names.Add(name, static_cast<std::time_t>(nSeconds));
    }
    void OnCounts(const HelperProtocol::CCounts& counts) override { m_counts = counts; }
    void OnFailed(std::int32_t nError) override
    {
        m_strFailure = FormatText("recvfrom() failed, error num %d", nError);
    }

private:
    // Everything the channel holds now, up to the bound of what may wait for the owner.
    void ReadMessages()
    {
        while (m_strFailure.empty() && m_names.GetBytes() < CCaptureSession::MAX_WAITING_BYTES)
        {
            // One byte more than a message may have, so an oversized one shows as cut.
            const ssize_t nReceived = recv(m_channel.Get(), m_message, sizeof(m_message), MSG_DONTWAIT);
            if (nReceived < 0 && errno == EINTR)
                continue;
            if (nReceived < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (nReceived <= 0)
                m_strFailure = "The capture helper ended unexpectedly.";
            else if (size_t(nReceived) > HelperProtocol::MAX_MESSAGE_BYTES
                     || !ReadRecords(m_message, size_t(nReceived), false, *this))
                m_strFailure = "The capture helper sent something that is not a capture record.";
        }
    }

    // Waits while the owner has not taken what waits already: the helper then stops writing and a
    // burst stays in the kernel's ring. Stop and the owner's end wake it.
    void QueueForOwner()
    {
        CCaptureShared& shared = *m_pShared;
        std::unique_lock lock(shared.m_mutex);
        shared.m_cvRoom.wait(lock, [&] {
            return !shared.m_bRunning.load() || shared.m_pOwner == nullptr
                   || shared.m_waiting.GetBytes() < CCaptureSession::MAX_WAITING_BYTES;
        });
        if (!shared.m_bRunning.load() || shared.m_pOwner == nullptr)
        {
            m_names.Clear();
            return;
        }
        const bool bMissedGrew = m_counts.nDropped > shared.m_counts.nDropped;
        shared.m_counts = m_counts;
        if (m_names.IsEmpty() && !bMissedGrew)
            return;
        shared.m_waiting.Append(m_names);
        m_names.Clear();
        PostHandOver(m_pShared);
    }

    void Finish()
    {
        CCaptureShared& shared = *m_pShared;
        // The helper ends when its channel closes; one that does not is killed. Reaped either way.
        m_channel.Reset();
        CCaptureHelperClient::Reap(m_pid, CCaptureHelperClient::EXIT_TIMEOUT_MS);
        {
            std::lock_guard lock(shared.m_mutex);
            shared.m_wake.Reset();
        }
        if (m_strFailure.empty())
            return;
        // A stop is no failure: only a capture still meant to run reports one. Written under the
        // error text's lock, which Stop takes too, so it never overwrites what a later Start says.
        {
            std::lock_guard lock(shared.m_pError->m_mutex);
            if (!shared.m_bRunning.load())
                return;
            shared.m_pError->m_strError = m_strFailure;
        }
        std::lock_guard lock(shared.m_mutex);
        shared.m_bFailed = true;
        PostHandOver(m_pShared);
    }

    std::shared_ptr<CCaptureShared> m_pShared;
    CUniqueFd m_channel;
    pid_t m_pid;
    CCapturedNames m_names;
    HelperProtocol::CCounts m_counts {};
    std::string m_strFailure;
    unsigned char m_message[HelperProtocol::MAX_MESSAGE_BYTES + 1];
};

} // namespace

CCaptureSession::CCaptureSession() : m_pError(std::make_shared<CCaptureErrorText>())
{}

CCaptureSession::~CCaptureSession()
{
    Stop();
}

bool CCaptureSession::SetOwner(QObject* pObject, CCaptureOwner* pOwner, const std::string& strLocalAddress)
{
    if (pObject == nullptr || pOwner == nullptr)
        return false;
    m_pOwnerObject = pObject;
    m_pOwner = pOwner;
    m_strLocalAddress = strLocalAddress;
    return true;
}

std::string CCaptureSession::GetErrorText() const
{
    std::lock_guard lock(m_pError->m_mutex);
    return m_pError->m_strError;
}

bool CCaptureSession::ReadStatistics(std::uint64_t* pnReceived, std::uint64_t* pnDropped) const
{
    if (!m_pShared)
        return false;
    std::lock_guard lock(m_pShared->m_mutex);
    *pnReceived = m_pShared->m_counts.nReceived;
    *pnDropped = m_pShared->m_counts.nDropped;
    return true;
}

void CCaptureSession::SetError(const std::string& strText)
{
    std::lock_guard lock(m_pError->m_mutex);
    m_pError->m_strError = strText;
}

bool CCaptureSession::Start()
{
    // One worker and one helper per session: a running or orphaned capture ends first.
    Stop();

    const CCaptureHelperClient::CStarted started = CCaptureHelperClient::Start(m_strLocalAddress.c_str());
    CUniqueFd channel(started.hChannel);
    if (!channel.IsOpen())
    {
        m_nStartError = started.opened.nError;
        SetError(OpenFailureText(started.opened));
        return false;
    }
    if (started.opened.nReceiveAllError != 0)
        SetError(FormatText("Ioctl() failed, error no %d\n", started.opened.nReceiveAllError));

    const auto abandon = [&channel, &started](int nError) {
        channel.Reset();
        CCaptureHelperClient::Reap(started.pid, CCaptureHelperClient::EXIT_TIMEOUT_MS);
        return nError;
    };
    // Stop's line to the worker: without it Stop could not reach a worker waiting in poll.
    CUniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.IsOpen())
    {
        m_nStartError = abandon(errno);
        SetError(FormatText("socket() failed, errno=%d", m_nStartError));
        return false;
    }

    auto pShared = std::make_shared<CCaptureShared>();
    pShared->m_wake = std::move(wake);
    pShared->m_pError = m_pError;
    pShared->m_pOwnerObject = m_pOwnerObject.data();
    pShared->m_pOwner = pShared->m_pOwnerObject != nullptr ? m_pOwner : nullptr;
    if (pShared->m_pOwnerObject != nullptr)
    {
        // Direct: the pointer must be gone before the owner's memory is, whatever thread ends it.
        std::weak_ptr<CCaptureShared> pWeak = pShared;
        pShared->m_connOwnerDestroyed = QObject::connect(pShared->m_pOwnerObject, &QObject::destroyed, [pWeak]() {
            if (auto p = pWeak.lock())
            {
                std::lock_guard lock(p->m_mutex);
                p->m_pOwnerObject = nullptr;
                p->m_pOwner = nullptr;
                p->m_cvRoom.notify_all();
            }
        });
    }
    pShared->m_bRunning.store(true);

    try
    {
        // Handed over only once the thread runs, so a thread that never starts leaves it here.
        const int hChannel = channel.Get();
        std::thread([pShared, hChannel, pid = started.pid]() {
            CCaptureWorker(pShared, CUniqueFd(hChannel), pid).Run();
        }).detach();
        channel.Release();
    }
    catch (const std::system_error& e)
    {
        pShared->m_bRunning.store(false);
        DetachOwner(*pShared);
        pShared->m_wake.Reset();
        m_nStartError = abandon(e.code().value());
        SetError(FormatText("pthread_create() failed, error no %d", m_nStartError));
        return false;
    }
    m_pShared = std::move(pShared);
    return true;
}

void CCaptureSession::Stop()
{
    if (!m_pShared)
        return;
    CCaptureShared& shared = *m_pShared;
    {
        // Under the error text's lock: a worker that has not yet written its failure sees the stop
        // and keeps quiet, so it cannot overwrite what a following Start reports.
        std::lock_guard lock(shared.m_pError->m_mutex);
        shared.m_bRunning.store(false);
    }
    DetachOwner(shared);
    {
        std::lock_guard lock(shared.m_mutex);
        if (shared.m_wake.IsOpen())
        {
            const eventfd_t nOne = 1;
            // Cannot fail short of an overflow of the counter, which a few Stops never reach.
            [[maybe_unused]] ssize_t nWritten = write(shared.m_wake.Get(), &nOne, sizeof(nOne));
        }
    }
    m_pShared.reset();
}
