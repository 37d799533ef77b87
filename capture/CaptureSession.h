#pragma once

#include <QPointer>
#include <memory>
#include <string>

#include "capture/PacketSocket.h"

class QObject;

// The owner's side of the hand-off: the owner is a QObject living on the UI thread with these two
// invokable methods, called on its own thread while the worker waits:
//   Q_INVOKABLE void OnCapturedName(const QByteArray& name);  // bytes valid only during the call
//   Q_INVOKABLE void OnCaptureFailed();                         // a receive failed; see GetErrorText
constexpr const char CAPTURED_NAME_METHOD[] = "OnCapturedName";
constexpr const char CAPTURE_FAILED_METHOD[] = "OnCaptureFailed";

struct CCaptureShared;
struct CCaptureErrorText;

// One live capture at a time on one local IPv4 address. Runs a worker thread that reads datagrams,
// extracts DNS query names and hands each to the owner synchronously. Start/Stop/SetOwner/
// GetErrorText are called on the owner's (UI) thread.
class CCaptureSession
{
public:
    CCaptureSession();
    virtual ~CCaptureSession();   // stops a running capture without waiting for its worker

    CCaptureSession(const CCaptureSession&) = delete;
    CCaptureSession& operator=(const CCaptureSession&) = delete;

    // False for a null owner (nothing changes).
    bool SetOwner(QObject* pOwner, const std::string& strLocalAddress);
    // True when the capture runs; false with the reason in the error text.
    bool Start();
    // Never waits; harmless at any time.
    void Stop();
    std::string GetErrorText() const;
    // The running capture's kernel counters since the last call (see CPacketSocket::ReadStatistics);
    // false when no socket is open.
    bool ReadStatistics(unsigned* pnReceived, unsigned* pnDropped) const;

private:
    // The one place that yields a configured capture socket; a helper process may supply it later.
    static CPacketSocket::OpenResult OpenCaptureSocket(const std::string& strLocalAddress);
    static void CaptureWorker(std::shared_ptr<CCaptureShared> pShared);
    // Hands one call to the owner on its thread and waits until it ran or was discarded. False when
    // it was not posted (the capture was stopped or the owner is gone).
    static bool NotifyOwner(CCaptureShared& shared, const char* pszMethod, const char* pszName, size_t nLength);
    void SetError(const std::string& strText);

    // The worker owns a share of this state, so the session (or the owner) may die while it runs.
    // Present from a successful Start until Stop: it also serves as the mark that a worker was
    // started (Running, or Orphaned when the worker has left after a failed receive).
    std::shared_ptr<CCaptureShared> m_pShared;
    std::shared_ptr<CCaptureErrorText> m_pError;
    std::string m_strLocalAddress;
    QPointer<QObject> m_pOwner;
};
