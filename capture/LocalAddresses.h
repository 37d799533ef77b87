#pragma once

#include <string>
#include <vector>

// The IPv4 addresses of the interfaces that are up, as dotted text: non-loopback interfaces first in
// the kernel's order, loopback last (a local stub resolver is only reached over loopback, so it must
// stay selectable). Duplicates are kept.
std::vector<std::string> ListLocalIPv4Addresses();
