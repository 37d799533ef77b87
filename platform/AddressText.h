#pragma once

// The text of a local address as the address list shows it and the capture helper takes it:
// dotted IPv4, or IPv6 as inet_pton reads it, a link-local IPv6 address with "%interface" after
// it (the same link-local address may sit on every interface, so it names none without one).
// Nothing else: no numeric scope, no short IPv4 forms, no spaces. Header-only, so the helper
// checks its argument with the very rules its caller formats by.

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>

struct CAddressText
{
    int nFamily = 0; // AF_INET or AF_INET6 once parsed
    in_addr ipv4 {};
    in6_addr ipv6 {};
    char szScope[IF_NAMESIZE] {}; // the interface of a link-local address, otherwise empty
};

// The longest text taken: a full IPv6 text, '%', the longest interface name.
constexpr size_t MAX_ADDRESS_TEXT_LENGTH = (INET6_ADDRSTRLEN - 1) + 1 + (IF_NAMESIZE - 1);

// Interface names as the kernel allows them: 1 to 15 bytes, not "." or "..", no '/', ':' or
// white space. Also no '%', so a text holds at most one.
inline bool IsInterfaceNameText(const char* pszName, size_t nLength)
{
    if (nLength == 0 || nLength >= IF_NAMESIZE)
        return false;
    if ((nLength == 1 && pszName[0] == '.') || (nLength == 2 && pszName[0] == '.' && pszName[1] == '.'))
        return false;
    for (size_t i = 0; i < nLength; ++i)
    {
        const unsigned char c = static_cast<unsigned char>(pszName[i]);
        if (c <= ' ' || c == 0x7F || c == '/' || c == ':' || c == '%')
            return false;
    }
    return true;
}

inline bool ParseAddressText(const char* pszText, CAddressText& address)
{
    address = CAddressText {};
    if (pszText == nullptr)
        return false;
    const size_t nLength = strnlen(pszText, MAX_ADDRESS_TEXT_LENGTH + 1);
    if (nLength == 0 || nLength > MAX_ADDRESS_TEXT_LENGTH)
        return false;

    if (inet_pton(AF_INET, pszText, &address.ipv4) == 1)
    {
        address.nFamily = AF_INET;
        return true;
    }

    const char* pszPercent = static_cast<const char*>(std::memchr(pszText, '%', nLength));
    const size_t nAddressLength = pszPercent != nullptr ? size_t(pszPercent - pszText) : nLength;
    if (nAddressLength >= INET6_ADDRSTRLEN)
        return false;
    char szAddress[INET6_ADDRSTRLEN] = {};
    std::memcpy(szAddress, pszText, nAddressLength);
    if (inet_pton(AF_INET6, szAddress, &address.ipv6) != 1)
        return false;

    const bool bLinkLocal = IN6_IS_ADDR_LINKLOCAL(&address.ipv6);
    if (pszPercent == nullptr)
    {
        address.nFamily = AF_INET6;
        return !bLinkLocal;
    }
    const size_t nScopeLength = nLength - nAddressLength - 1;
    if (!bLinkLocal || !IsInterfaceNameText(pszPercent + 1, nScopeLength))
        return false;
    std::memcpy(address.szScope, pszPercent + 1, nScopeLength);
    address.nFamily = AF_INET6;
    return true;
}

// Whether the text is an address as above: what the helper accepts as its argument.
inline bool IsAddressText(const char* pszText)
{
    CAddressText address;
    return ParseAddressText(pszText, address);
}
