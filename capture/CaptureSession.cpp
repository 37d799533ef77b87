#include "capture/CaptureSession.h"

#include "capture/CaptureHelperClient.h"
#include "capture/DnsName.h"

#include <QByteArray>
#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <semaphore>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

// Outlives the session while a worker may still write a receive failure into it.
struct CCaptureErrorText
{
    std::mutex m_mutex;
    std::string m_strError;
};

// Everything one capture's worker touches. The worker holds a share until it leaves, so neither
// the session nor the owner has to outlive it.
struct CCaptureShared
{
    std::atomic<bool> m_bRunning {false};
    // The worker closes both when it leaves, under m_mutex, as others use them only under it:
    // Stop writes to the eventfd, ReadStatistics reads the socket's counters.
    int m_socket = -1;
    int m_hWake = -1;

    std::mutex m_mutex;
    QObject* m_pOwner = nullptr;  // cleared by Stop, the session's end and the owner's end
    QMetaObject::Connection m_connOwnerDestroyed;  // made and cut on the owner's thread only

    std::shared_ptr<CCaptureErrorText> m_pError;

    // Released when the posted call has been destroyed: after it ran, or when Qt discarded it.
    std::binary_semaphore m_semHandOff {0};
    std::atomic<int> m_nTickets {0};
};

namespace {

std::string FormatText(const char* pszFormat, int nCode)
{
    char szText[128];
    std::snprintf(szText, sizeof(szText), pszFormat, nCode);
    return szText;
}

// Travels inside the posted call. Qt copies the functor, so copies are counted and the last one
// to go wakes the worker; nothing is allocated for it. The pointer is atomic because the functor
// crosses threads through Qt's event queue, whose locking the thread sanitizer does not see; the
// rest of the functor is read only under the shared mutex.
class CHandOffTicket
{
public:
    explicit CHandOffTicket(CCaptureShared* pShared)
    {
        pShared->m_nTickets.store(1);
        m_pShared.store(pShared, std::memory_order_release);
    }
    CHandOffTicket(const CHandOffTicket& other)
    {
        CCaptureShared* pShared = other.GetShared();
        pShared->m_nTickets.fetch_add(1);
        m_pShared.store(pShared, std::memory_order_release);
    }
    CHandOffTicket& operator=(const CHandOffTicket&) = delete;
    ~CHandOffTicket()
    {
        // After the release the worker may free the shared state: touch nothing afterwards.
        CCaptureShared* pShared = GetShared();
        if (pShared->m_nTickets.fetch_sub(1) == 1)
            pShared->m_semHandOff.release();
    }

    CCaptureShared* GetShared() const { return m_pShared.load(std::memory_order_acquire); }

private:
    std::atomic<CCaptureShared*> m_pShared {nullptr};
};

void CloseWorkerDescriptors(CCaptureShared& shared)
{
    std::lock_guard lock(shared.m_mutex);
    close(shared.m_socket);
    shared.m_socket = -1;
    close(shared.m_hWake);
    shared.m_hWake = -1;
}

void DetachOwner(CCaptureShared& shared)
{
    QObject::disconnect(shared.m_connOwnerDestroyed);
    std::lock_guard lock(shared.m_mutex);
    shared.m_pOwner = nullptr;
}

} // namespace

CCaptureSession::CCaptureSession() : m_pError(std::make_shared<CCaptureErrorText>()) {}

CCaptureSession::~CCaptureSession()
{
    Stop();
}

bool CCaptureSession::SetOwner(QObject* pOwner, const std::string& strLocalAddress)
{
    if (pOwner == nullptr)
        return false;
    m_pOwner = pOwner;
    m_strLocalAddress = strLocalAddress;
    return true;
}

std::string CCaptureSession::GetErrorText() const
{
    std::lock_guard lock(m_pError->m_mutex);
    return m_pError->m_strError;
}

bool CCaptureSession::ReadStatistics(unsigned* pnReceived, unsigned* pnDropped) const
{
    if (!m_pShared)
        return false;
    std::lock_guard lock(m_pShared->m_mutex);
    return m_pShared->m_socket >= 0 && CPacketSocket::ReadStatistics(m_pShared->m_socket, pnReceived, pnDropped);
}

void CCaptureSession::SetError(const std::string& strText)
{
    std::lock_guard lock(m_pError->m_mutex);
    m_pError->m_strError = strText;
}

CPacketSocket::OpenResult CCaptureSession::OpenCaptureSocket(const std::string& strLocalAddress)
{
    return CCaptureHelperClient::Open(strLocalAddress.c_str());
}

bool CCaptureSession::Start()
{
    // One worker and one socket per session: a running or orphaned capture ends first.
    Stop();

    const CPacketSocket::OpenResult opened = OpenCaptureSocket(m_strLocalAddress);
    if (opened.fd < 0)
    {
        switch (opened.failedStep)
        {
        case CPacketSocket::STEP_OPTIONS:
            SetError(FormatText("SetSockOpt Failed error num = %d", opened.error));
            break;
        case CPacketSocket::STEP_BIND:
            SetError(FormatText("bind() failed, error no %d", opened.error));
            break;
        default:
            SetError(FormatText("socket() failed, errno=%d", opened.error));
            break;
        }
        return false;
    }
    if (opened.receiveAllError != 0)
        SetError(FormatText("Ioctl() failed, error no %d\n", opened.receiveAllError));

    // The wake-up line belongs to the socket here: without it Stop could not reach the worker.
    const int hWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (hWake < 0)
    {
        const int nError = errno;
        close(opened.fd);
        SetError(FormatText("socket() failed, errno=%d", nError));
        return false;
    }

    auto pShared = std::make_shared<CCaptureShared>();
    pShared->m_socket = opened.fd;
    pShared->m_hWake = hWake;
    pShared->m_pError = m_pError;
    pShared->m_pOwner = m_pOwner.data();
    if (pShared->m_pOwner != nullptr)
    {
        // Direct: the pointer must be gone before the owner's memory is, whatever thread ends it.
        std::weak_ptr<CCaptureShared> pWeak = pShared;
        pShared->m_connOwnerDestroyed = QObject::connect(pShared->m_pOwner, &QObject::destroyed, [pWeak]() {
            if (auto p = pWeak.lock())
            {
                std::lock_guard lock(p->m_mutex);
                p->m_pOwner = nullptr;
            }
        });
    }
    pShared->m_bRunning.store(true);

    try
    {
        std::thread(CaptureWorker, pShared).detach();
    }
    catch (const std::system_error& e)
    {
        pShared->m_bRunning.store(false);
        DetachOwner(*pShared);
        CloseWorkerDescriptors(*pShared);
        SetError(FormatText("pthread_create() failed, error no %d", e.code().value()));
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
        if (shared.m_hWake >= 0)
        {
            const eventfd_t nOne = 1;
            // Cannot fail short of an overflow of the counter, which a few Stops never reach.
            [[maybe_unused]] ssize_t nWritten = write(shared.m_hWake, &nOne, sizeof(nOne));
        }
    }
    m_pShared.reset();
}

bool CCaptureSession::NotifyOwner(CCaptureShared& shared, const char* pszMethod, const char* pszName, size_t nLength)
{
    {
        std::lock_guard lock(shared.m_mutex);
        if (!shared.m_bRunning.load() || shared.m_pOwner == nullptr)
            return false;
        // Posted, not blocking-queued: a nested modal loop on the owner's thread keeps delivering,
        // and if the owner dies first Qt destroys the call unrun, which still wakes the worker.
        // Posting under the lock keeps the owner alive for the post: its end must take the lock.
        const QByteArray name = QByteArray::fromRawData(pszName, static_cast<qsizetype>(nLength));
        CHandOffTicket ticket(&shared);
        QMetaObject::invokeMethod(
            shared.m_pOwner,
            [ticket, name, pszMethod, bWithName = pszName != nullptr]() {
                CCaptureShared* p = ticket.GetShared();
                QObject* pOwner = nullptr;
                {
                    std::lock_guard lockOwner(p->m_mutex);
                    pOwner = p->m_pOwner;
                }
                if (pOwner == nullptr)
                    return;
                if (bWithName)
                    QMetaObject::invokeMethod(pOwner, pszMethod, Qt::DirectConnection, Q_ARG(QByteArray, name));
                else
                    QMetaObject::invokeMethod(pOwner, pszMethod, Qt::DirectConnection);
            },
            Qt::QueuedConnection);
    }
    shared.m_semHandOff.acquire();
    return true;
}

void CCaptureSession::CaptureWorker(std::shared_ptr<CCaptureShared> pShared)
{
    CCaptureShared& shared = *pShared;
    unsigned char buffer[CPacketSocket::CAPTURE_BUFFER_SIZE];
    char szName[NAME_BUFFER_SIZE];
    pollfd fds[2] = {{shared.m_socket, POLLIN, 0}, {shared.m_hWake, POLLIN, 0}};
    int nError = 0;

    while (nError == 0 && shared.m_bRunning.load())
    {
        if (poll(fds, 2, -1) < 0)
        {
            if (errno != EINTR)
                nError = errno;
            continue;
        }
        if (fds[1].revents != 0)
        {
            eventfd_t nIgnored = 0;
            eventfd_read(shared.m_hWake, &nIgnored);
            continue;
        }
        // Take everything queued per wake-up; an error pending on the socket (its interface went
        // down or away) comes out of the receive.
        while (shared.m_bRunning.load())
        {
            const ssize_t nReceived = recv(shared.m_socket, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (nReceived < 0)
            {
                if (errno == EINTR)
                    continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    nError = errno;
                break;
            }
            if (ExtractQueryName(buffer, size_t(nReceived), szName))
                NotifyOwner(shared, CAPTURED_NAME_METHOD, szName, std::strlen(szName));
        }
    }

    // A stop is no failure: only a capture still meant to run reports one.
    bool bFailed = false;
    if (nError != 0)
    {
        std::lock_guard lock(shared.m_pError->m_mutex);
        bFailed = shared.m_bRunning.load();
        if (bFailed)
            shared.m_pError->m_strError = FormatText("recvfrom() failed, error num %d", nError);
    }
    if (bFailed)
        NotifyOwner(shared, CAPTURE_FAILED_METHOD, nullptr, 0);
    CloseWorkerDescriptors(shared);
}
