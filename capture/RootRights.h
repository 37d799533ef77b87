#pragma once

// For a window started as root (by start.sh without a user to run as, say): gives up every
// capability at once, so that root's window holds no more rights than it needs, which is none. It
// stays uid 0, so its files are root's. Only CAP_NET_RAW stays in its bounding set: root's
// capture helper, run from the build tree without a file capability, still gets that one right
// and no other. Does nothing for anyone else. Call it first in main(), before any thread starts:
// capabilities belong to each thread. False when a step failed; the process then keeps what it
// had not yet given up.
bool GiveUpRootRights();
