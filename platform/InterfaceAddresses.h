#pragma once

#include <functional>
#include <ifaddrs.h>

// One walk over the machine's interface addresses (getifaddrs), freed however the walk ends.
// pfnVisit sees every entry that has an address; returning false ends the walk. False when the
// list could not be read.
bool ForEachInterfaceAddress(const std::function<bool(const ifaddrs&)>& pfnVisit);
