#pragma once

#include <string>

// For a window started as root (by start.sh without a user to run as, say): gives up every
// capability at once, and keeps what it starts from getting any back, so that neither root's
// window nor its browser, file chooser or their helpers hold a right. It stays uid 0, so its files
// are root's.
//
// Left alone, an execve by uid 0 refills the new program's rights from the bounding set. So root's
// window locks the securebit NOROOT first (and NO_CAP_AMBIENT_RAISE): from then on a program it
// starts gets only what its file grants. Only the helper's rights (CAP_NET_RAW, CAP_BPF and
// CAP_PERFMON) stay in the bounding set, so the one file capability that still works is the capture
// helper's (the package's, cmake --install's, or
// the copy start.sh grants, root's own included); a helper without it, the build tree's, is
// refused and gives way to the granted one. The window keeping CAP_NET_RAW permitted and passing
// it on as an ambient right around the helper's start would work without a granted helper, but
// then a window taken over could raise it and open a packet socket itself.
//
// Does nothing for a process that holds no capability and is not root. Call it first in main(),
// before any thread starts: capabilities and securebits belong to each thread. False, with the
// step that failed in *pstrWhy, when root's rights could not all be given up; the process then
// keeps what it had not yet given up, and must not go on.
bool GiveUpRootRights(std::string* pstrWhy);
