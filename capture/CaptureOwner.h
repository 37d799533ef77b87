#pragma once

#include <cstdint>

class CCapturedNames;

// What a capture tells its owner. The session calls these from the owner's event loop, between
// events, so nested event loops (a message box, a file dialog) keep receiving them.
class CCaptureOwner
{
public:
    // Names in arrival order; the batch is lent for the call only.
    virtual void OnCapturedNames(const CCapturedNames& names) = 0;
    // The queries that the kernel had to drop since the capture started, when that number grew.
    virtual void OnQueriesMissed(std::uint64_t nMissed) = 0;
    // The capture ended by itself; the session's error text says why.
    virtual void OnCaptureFailed() = 0;

protected:
    ~CCaptureOwner() = default;
};
