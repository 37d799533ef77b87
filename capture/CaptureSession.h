#pragma once

#include "capture/CapturedNames.h"

#include <QPointer>
#include <concepts>
#include <cstdint>
#include <memory>
#include <string>

class QObject;

struct CCaptureShared;
struct CCaptureErrorText;

// One live capture at a time on one local address. The capture itself runs in the capture
// helper, a process of its own; the session's worker thread reads the helper's records and hands
// the names to the owner in batches, on the owner's thread, in arrival order. Start/Stop/SetOwner/
// GetErrorText are called on the owner's (UI) thread.
class CCaptureSession
{
public:
    // Names the worker has read but the owner has not yet taken wait here; at this bound the worker
    // stops reading, the helper stops writing and the burst waits in the kernel's ring.
    static constexpr size_t MAX_WAITING_BYTES = size_t(4) << 20;

    CCaptureSession();
    virtual ~CCaptureSession(); // stops a running capture without waiting for its worker

    CCaptureSession(const CCaptureSession&) = delete;
    CCaptureSession& operator=(const CCaptureSession&) = delete;

    // The owner is a QObject, which fixes the thread it is told on, and a CCaptureOwner, which says
    // what it is told. False for a null owner (nothing changes).
    template <class TOwner>
    requires std::derived_from<TOwner, QObject> && std::derived_from<TOwner, CCaptureOwner>
    bool SetOwner(TOwner* pOwner, const std::string& strLocalAddress)
    {
        return SetOwner(static_cast<QObject*>(pOwner), static_cast<CCaptureOwner*>(pOwner), strLocalAddress);
    }
    // True when the capture runs; false with the reason in the error text.
    bool Start();
    // Never waits; harmless at any time. Names read but not yet handed over are dropped.
    void Stop();
    std::string GetErrorText() const;
    // The errno behind the last failed Start (EPERM: no right to capture); kept, like its text,
    // until another Start fails.
    int GetErrorNumber() const { return m_nStartError; }
    // What the helper last reported of the kernel's counts since Start: queries kept for the
    // capture, and those dropped for want of room. False when no capture was started.
    bool ReadStatistics(std::uint64_t* pnReceived, std::uint64_t* pnDropped) const;

private:
    bool SetOwner(QObject* pObject, CCaptureOwner* pOwner, const std::string& strLocalAddress);
    void SetError(const std::string& strText);

    // The worker owns a share of this state, so the session (or the owner) may die while it runs.
    // Present from a successful Start until Stop: it also serves as the mark that a worker was
    // started (Running, or Orphaned when the worker has left after a failure).
    std::shared_ptr<CCaptureShared> m_pShared;
    std::shared_ptr<CCaptureErrorText> m_pError;
    std::string m_strLocalAddress;
    int m_nStartError = 0;
    QPointer<QObject> m_pOwnerObject;
    CCaptureOwner* m_pOwner = nullptr;
};
