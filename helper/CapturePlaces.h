#pragma once

// A place among the user's running captures, at most Channel::MAX_CAPTURES_PER_USER of them: a lock
// on one byte of a file in a folder that only the user (and root) may change, the runtime folder
// the login gives the user or else the home folder. Nobody else can take, hold or see the user's
// places. The lock lasts as long as the returned descriptor, the helper's whole life, so the
// kernel frees it however the helper ends. Waits up to Channel::CAPTURE_PLACE_WAIT_MS for a place
// that a capture stopped a moment ago is about to free.
// The descriptor that holds the place, or -1 with errno: EUSERS when every place is taken, another
// errno when the user has no such folder.
int TakeCapturePlace();
