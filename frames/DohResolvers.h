#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// The resolvers that speak DNS over HTTPS, by server name and by address: the list built into the
// program (frames/doh-resolvers.txt, with its source and date in its head) and those a user adds.
// One format for both: one entry a line, a host name, "*." and a name for every name under it, or
// an IPv4 or IPv6 address; "#" starts a comment. Names are compared ignoring the case of ASCII
// letters, on the master-file form a hello's server name is written in. No system calls.
class CDohResolvers
{
public:
    // The built-in list, parsed.
    static const CDohResolvers& BuiltIn();

    // Adds every entry of the text. False at the first line that is no entry, with the line's
    // number and why in *pstrError; the entries before it are kept.
    bool Add(std::string_view text, std::string* pstrError);

    bool HasName(std::string_view name) const;
    // nVersion 4 (the first four bytes) or 6, in network order.
    bool HasAddress(std::uint8_t nVersion, const std::uint8_t* pAddress) const;

    // Every entry, one a line, as Add reads them: what tarrow-watch hands the helper.
    std::string ToText() const;
    bool IsEmpty() const { return m_names.empty() && m_suffixes.empty() && m_addresses.empty(); }

private:
    using Address = std::array<std::uint8_t, 17>; // the version, then the address

    std::unordered_set<std::string> m_names;
    std::vector<std::string> m_suffixes; // ".example.com" for "*.example.com"
    std::vector<std::string> m_texts;    // every entry as read, for ToText
    std::vector<Address> m_addresses;
};
