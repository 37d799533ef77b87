#pragma once

// Ctrl+C, SIGTERM and every other signal that would end tarrow-watch at once by default (Ctrl+\,
// SIGUSR2, SIGALRM...) end it at once, whatever it waits in, through its own way out: the handlers
// interrupt a blocked write (no SA_RESTART), and a byte in a pipe wakes the poll loop. A closed
// pipe is told by write's EPIPE, so SIGPIPE is ignored, and a file grown past its size limit by
// write's EFBIG, so SIGXFSZ is too. SIGHUP (reopen the output file) and SIGUSR1 (print the
// counts) are requests the loop takes when it wakes: they restart what they interrupt, so a read
// of a file never fails for them. Installed once per process.
class CStopSignals
{
public:
    // False with errno when the pipe or a handler could not be set up.
    static bool Install();
    static bool IsRaised();
    // Whether SIGHUP, or SIGUSR1, came since the last call.
    static bool TakeReopen();
    static bool TakeCounts();
    // Empties the pipe after a request woke the loop; a stop signal leaves it readable.
    static void Drain();
    // Readable once a signal came; -1 before Install.
    static int GetDescriptor();
};
