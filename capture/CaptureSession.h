#pragma once

#include "capture/CaptureOwner.h"
#include "capture/CaptureRun.h"
#include "capture/CapturedNames.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <concepts>
#include <string>

// One live capture at a time on one local address, on the owner's event loop: the capture run's
// driver for the window. A socket notifier and the heartbeat step the run, and the session tells
// the owner what the step read, between events. Nothing here runs on another thread, and nothing
// waits for the helper but the short start.
class CCaptureSession final : private CChannelReader::CSink
{
public:
    CCaptureSession();
    ~CCaptureSession(); // ends a running capture; its helper is killed if it lingers

    CCaptureSession(const CCaptureSession&) = delete;
    CCaptureSession& operator=(const CCaptureSession&) = delete;

    // The owner is a QObject, so that the session sees it go, and a CCaptureOwner, which says
    // what it is told. False for a null owner (nothing changes).
    template <class TOwner>
    requires std::derived_from<TOwner, QObject> && std::derived_from<TOwner, CCaptureOwner>
    bool SetOwner(TOwner* pOwner, const std::string& strLocalAddress)
    {
        return SetOwner(static_cast<QObject*>(pOwner), static_cast<CCaptureOwner*>(pOwner), strLocalAddress);
    }
    // True when the capture runs; false with the reason in the error text.
    bool Start();
    // Never waits; harmless at any time. Names not yet told to the owner are dropped.
    void Stop();
    std::string GetErrorText() const { return m_strError; }
    // The errno behind the last failed Start (EPERM: no right to capture); kept, like its text,
    // until another Start fails.
    int GetErrorNumber() const { return m_nStartError; }

private:
    bool SetOwner(QObject* pObject, CCaptureOwner* pOwner, const std::string& strLocalAddress);
    void OnName(std::int64_t nSeconds, std::string_view name) override;
    void OnStep(bool bReadable);
    void Tell(const CChannelReader::CNews& news);
    // Closes the channel, which ends the helper; it is reaped as it goes, or killed after a grace.
    void EndCapture();

    std::string m_strLocalAddress;
    std::string m_strError;
    int m_nStartError = 0;
    QPointer<QObject> m_pOwnerObject;
    CCaptureOwner* m_pOwner = nullptr;

    CCapturedNames m_names;
    CCaptureRun m_run {*this};
    QSocketNotifier m_channelNotifier {QSocketNotifier::Read};
    QTimer m_heartbeat;
    // Holds the next read back while names only trickle in (CCaptureRun::GATHER_MS).
    QTimer m_gather;
    // Counts every Start and Stop, so that a step whose owner stopped (and maybe restarted) the
    // capture meanwhile tells it nothing more.
    unsigned m_nRun = 0;
    QTimer m_reaper;
};
