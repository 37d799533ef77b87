#pragma once

// A place among the user's running captures, at most Channel::MAX_CAPTURES_PER_USER of them, kept
// by the kernel and by no file: an abstract Unix socket bound to "tarrow-capture/UID/" and a random
// tail, held for the helper's whole life, so the kernel frees it however the helper ends. The
// places counted are the sockets the kernel lists in this network namespace with that prefix AND
// with this user as their owner: whatever the user does to their files changes nothing, and a name
// another user binds never counts. The socket is bound before the count and given up when the count
// is over the limit, so of any starts at once the last to count sees them all and no lock is there
// to hold. Waits up to Channel::CAPTURE_PLACE_WAIT_MS for a place that a capture stopped a moment
// ago is about to free.
// The descriptor that holds the place, or -1 with errno: EUSERS when every place is taken, another
// errno when the kernel's list of sockets could not be read.
int TakeCapturePlace();
