#pragma once

// Where the capture helper captures, as its first argument: a local address (AddressText.h), an
// interface by name as "if:NAME", or "any" for every interface. The prefix is needed: "10.0.0.1"
// is as good an interface name as "eth0" to the kernel, while no name holds a ':'. Header-only,
// so the helper checks its argument with the very rules its caller writes it by.

#include "platform/AddressText.h"

#include <string>

struct CCaptureTarget
{
    enum Kind
    {
        NONE,
        ADDRESS,
        INTERFACE,
        ANY_INTERFACE,
    };
    Kind nKind = NONE;
    CAddressText address;             // of an ADDRESS
    char szInterface[IF_NAMESIZE] {}; // of an INTERFACE
};

inline constexpr char ANY_INTERFACE_TEXT[] = "any";
inline constexpr char INTERFACE_PREFIX[] = "if:";
inline constexpr size_t INTERFACE_PREFIX_LENGTH = sizeof(INTERFACE_PREFIX) - 1;

inline bool ParseCaptureTarget(const char* pszText, CCaptureTarget& target)
{
    target = CCaptureTarget {};
    if (pszText == nullptr)
        return false;
    if (std::strcmp(pszText, ANY_INTERFACE_TEXT) == 0)
    {
        target.nKind = CCaptureTarget::ANY_INTERFACE;
        return true;
    }
    if (std::strncmp(pszText, INTERFACE_PREFIX, INTERFACE_PREFIX_LENGTH) == 0)
    {
        const char* pszName = pszText + INTERFACE_PREFIX_LENGTH;
        const size_t nLength = strnlen(pszName, IF_NAMESIZE);
        if (!IsInterfaceNameText(pszName, nLength))
            return false;
        std::memcpy(target.szInterface, pszName, nLength);
        target.nKind = CCaptureTarget::INTERFACE;
        return true;
    }
    if (!ParseAddressText(pszText, target.address))
        return false;
    target.nKind = CCaptureTarget::ADDRESS;
    return true;
}

inline bool IsCaptureTargetText(const char* pszText)
{
    CCaptureTarget target;
    return ParseCaptureTarget(pszText, target);
}

// The helper's argument for an interface name; "any" stays as it is.
inline std::string InterfaceTargetText(const std::string& strName)
{
    return strName == ANY_INTERFACE_TEXT ? strName : INTERFACE_PREFIX + strName;
}
