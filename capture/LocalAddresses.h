#pragma once

#include <string>
#include <vector>

// The addresses of the interfaces that are up, as text the capture takes back (see AddressText.h):
// IPv4 of non-loopback interfaces first in the kernel's order, so the first entry (the default
// capture) is what it always was; then IPv6, global and unique-local before link-local, a
// link-local one as "fe80::1%eth0"; loopback last, IPv4 before IPv6 (a local stub resolver is
// only reached over loopback, so it must stay selectable). Duplicates are kept.
std::vector<std::string> ListLocalIpAddresses();

// The interfaces that are up, by name, as a capture takes them besides the addresses: "any" (every
// interface) first, then the others in the kernel's order, loopback last.
std::vector<std::string> ListCaptureInterfaces();

// A front end's choice, checked against what is there now, as the capture helper's argument.
struct CCaptureChoice
{
    std::string strTarget;    // for the helper (platform/CaptureTarget.h)
    std::string strInterface; // the interface it binds to, if one; to say so when it goes away
};

// At most one of the two given; none takes the default, the first address. False with the reason,
// which lists the valid choices, when the choice is none of them (or nothing can be chosen).
bool ChooseCapture(const std::string& strAddress, const std::string& strInterface, CCaptureChoice& choice,
                   std::string& strError);
