#pragma once

// A place among the user's running captures, at most Channel::MAX_CAPTURES_PER_USER of them, held
// for the helper's whole life so that the kernel frees it however the helper ends. Waits up to
// Channel::CAPTURE_PLACE_WAIT_MS for a place that a capture stopped a moment ago is about to free.
// The descriptor that holds the place, or -1 with errno (EUSERS: every place is taken).
int TakeCapturePlace();
