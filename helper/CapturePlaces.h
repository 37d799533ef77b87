#pragma once

// One user runs at most this many captures at once: each holds a kernel ring and an interface in
// promiscuous mode, which a member of the capture group must not be able to multiply at will.
constexpr int MAX_CAPTURES_PER_USER = 4;
// A capture that has just been stopped frees its place a moment later; a new one waits that long,
// which the window spends waiting for the helper's word: short enough for nobody to notice.
constexpr unsigned CAPTURE_PLACE_WAIT_MS = 100;

// A place among the user's running captures, at most MAX_CAPTURES_PER_USER of them, kept
// by the kernel and by no file: an abstract Unix socket bound to "tarrow-capture/UID/" and a random
// tail, held for the helper's whole life, so the kernel frees it however the helper ends. The
// places counted are the sockets the kernel lists in this network namespace with that prefix AND
// with this user as their owner: whatever the user does to their files changes nothing, and a name
// another user binds never counts. The list is read until two readings in a row show that no
// socket was passed over while it was read, or, on a machine where they never agree, every place
// any reading showed is counted. The socket is bound before the count and given up when the count
// is over the limit, so of any starts at once the last to count sees them all and no lock is there
// to hold. Waits up to CAPTURE_PLACE_WAIT_MS for a place that a capture stopped a moment
// ago is about to free.
// The descriptor that holds the place, or -1 with errno: EUSERS when every place is taken, another
// errno when the kernel's list of sockets could not be read.
int TakeCapturePlace();
