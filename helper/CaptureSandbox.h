#pragma once

// What the capture helper does between opening its socket and reading the first frame: it gives
// up every capability (effective, permitted, inheritable, ambient), can gain none again
// (no_new_privs), may open no descriptor, start no process and write no byte to a file (its
// RLIMIT_NPROC and RLIMIT_FSIZE are zero, RLIMIT_NOFILE three, below every free descriptor number),
// and installs a seccomp filter that allows only what its loop needs. From then on
// it cannot send a frame, change its socket, open a file or run a program, whatever a hostile
// frame might make of it.
//
// Allowed: poll on anything; send only on the channel; getsockopt only the capture socket's
// statistics and pending error; the clock; anonymous memory for the allocator (never executable);
// its own signal mask and stack, and signalling itself (abort); ending. Anything else, a write to
// stderr included, kills the process. The ring of sending programs, when the helper names them,
// needs nothing more: it is read through memory mapped before, waited for by poll, and its program
// stays attached through descriptors that no other allowed call can use (the bpf call is not
// allowed).

// Entered whatever became of the open (hCaptureSocket -1 when it failed), before the helper says a
// word. False with errno when a step failed; the process may then be partly restricted and must
// not capture.
bool EnterCaptureSandbox(int hCaptureSocket, int hChannel);
