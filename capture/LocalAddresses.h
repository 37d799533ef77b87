#pragma once

#include <string>
#include <vector>

// The addresses of the interfaces that are up, as text the capture takes back (see AddressText.h):
// IPv4 of non-loopback interfaces first in the kernel's order, so the first entry (the default
// capture) is what it always was; then IPv6, global and unique-local before link-local, a
// link-local one as "fe80::1%eth0"; loopback last, IPv4 before IPv6 (a local stub resolver is
// only reached over loopback, so it must stay selectable). Duplicates are kept.
std::vector<std::string> ListLocalIpAddresses();
