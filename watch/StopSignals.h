#pragma once

// Ctrl+C and SIGTERM end tarrow-watch at once, whatever it waits in: the handlers interrupt a
// blocked write (no SA_RESTART), and a byte in a pipe wakes the poll loop. A closed pipe is told by
// write's EPIPE, so SIGPIPE is ignored. Installed once per process.
class CStopSignals
{
public:
    // False with errno when the pipe or a handler could not be set up.
    static bool Install();
    static bool IsRaised();
    // Readable once a stop signal came; -1 before Install.
    static int GetDescriptor();
};
