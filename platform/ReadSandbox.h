#pragma once

#include <string>

// Reading a capture file needs no right at all: once the file is open, tarrow-watch gives up the
// rest for good. no_new_privs, then a seccomp filter that allows only what reading and printing
// take: read and write on descriptors already open, lseek and fstat on them, closing them, memory
// for the allocator (anonymous, never executable), the clock, signals' return and mask, and the
// end of the process. libpcap reads the file through stdio, which needs no more; the local time
// zone is loaded before the filter, since localtime would otherwise open it. Anything else ends the
// process: hostile bytes that took over the parser can neither open, connect nor start a thing.
// False, with the step that failed in *pstrWhy, when the sandbox could not be entered; the caller
// must not read on.
// With bTerminal (a full-screen table drawn while the file is read), also waiting on descriptors
// (poll) and the terminal's mode and size ioctls, so the table can redraw on a resize and put the
// terminal back as it was.
bool EnterReadSandbox(std::string* pstrWhy, bool bTerminal = false);
