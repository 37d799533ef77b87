#pragma once

#include <memory>
#include <string>

class QObject;

// The owner's side of the hand-off: the owner is a QObject living on the UI thread with these two
// invokable methods, called on its own thread while the worker waits:
//   Q_INVOKABLE void OnCapturedName(const QByteArray& name);  // bytes valid only during the call
//   Q_INVOKABLE void OnCaptureFailed();                         // a receive failed; see GetErrorText
constexpr const char CAPTURED_NAME_METHOD[] = "OnCapturedName";
constexpr const char CAPTURE_FAILED_METHOD[] = "OnCaptureFailed";

struct CCaptureShared;

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

private:
    // The worker owns a share of this state, so the session (or the owner) may die while it runs.
    std::shared_ptr<CCaptureShared> m_pShared;
    std::string m_strLocalAddress;
};
