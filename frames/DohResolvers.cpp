#include "frames/DohResolvers.h"

#include "frames/DohResolversText.h"

#include <algorithm>
#include <arpa/inet.h>

namespace {

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

std::string Lowered(std::string_view text)
{
    std::string strLower(text);
    std::transform(strLower.begin(), strLower.end(), strLower.begin(), Lower);
    return strLower;
}

// Letters, digits, hyphens and underscores, labels of 1 to 63 apart at dots: what a server name
// may be, so that no entry can hold a byte a hello's name would carry escaped.
bool IsHostName(std::string_view name)
{
    if (name.empty() || name.size() > 253)
        return false;
    size_t nLabel = 0;
    for (const char c : name)
    {
        if (c == '.')
        {
            if (nLabel == 0)
                return false;
            nLabel = 0;
            continue;
        }
        const bool bAllowed =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!bAllowed || ++nLabel > 63)
            return false;
    }
    return nLabel != 0;
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

} // namespace

const CDohResolvers& CDohResolvers::BuiltIn()
{
    static const CDohResolvers s_builtIn = [] {
        CDohResolvers resolvers;
        std::string strError;
        // The build checks the file (a test reads it too): a fault there is the build's, and an
        // entry that cannot be read leaves the ones before it.
        resolvers.Add(DOH_RESOLVERS_TEXT, &strError);
        return resolvers;
    }();
    return s_builtIn;
}

bool CDohResolvers::Add(std::string_view text, std::string* pstrError)
{
    size_t nLine = 0;
    while (!text.empty())
    {
        ++nLine;
        const size_t nEnd = text.find('\n');
        std::string_view line = text.substr(0, nEnd);
        text.remove_prefix(nEnd == std::string_view::npos ? text.size() : nEnd + 1);
        if (const size_t nComment = line.find('#'); nComment != std::string_view::npos)
            line = line.substr(0, nComment);
        line = Trimmed(line);
        if (line.empty())
            continue;
        const std::string strEntry(line);
        Address address {};
        if (inet_pton(AF_INET, strEntry.c_str(), address.data() + 1) == 1)
            address[0] = 4;
        else if (inet_pton(AF_INET6, strEntry.c_str(), address.data() + 1) == 1)
            address[0] = 6;
        if (address[0] != 0)
        {
            m_addresses.push_back(address);
            m_texts.push_back(strEntry);
            continue;
        }
        std::string_view name = line;
        if (name.ends_with('.'))
            name.remove_suffix(1);
        const bool bUnder = name.starts_with("*.");
        if (bUnder)
            name.remove_prefix(2);
        if (!IsHostName(name))
        {
            // Appended, not added to a literal: GCC 12 at -O3 misreads that as an overlapping copy.
            pstrError->assign("line ").append(std::to_string(nLine)).append(": \"").append(strEntry.substr(0, 80));
            pstrError->append("\" is neither a host name, \"*.\" and a host name, nor an address");
            return false;
        }
        const std::string strName = Lowered(name);
        if (bUnder)
            m_suffixes.push_back(std::string(".").append(strName));
        else
            m_names.insert(strName);
        m_texts.push_back(std::string(bUnder ? "*." : "").append(strName));
    }
    return true;
}

bool CDohResolvers::HasName(std::string_view name) const
{
    if (name.ends_with('.'))
        name.remove_suffix(1);
    if (name.empty() || name.size() > 253)
        return false;
    const std::string strName = Lowered(name);
    if (m_names.contains(strName))
        return true;
    return std::any_of(m_suffixes.begin(), m_suffixes.end(), [&strName](const std::string& strSuffix) {
        return strName.size() > strSuffix.size() && strName.ends_with(strSuffix);
    });
}

bool CDohResolvers::HasAddress(std::uint8_t nVersion, const std::uint8_t* pAddress) const
{
    Address address {};
    address[0] = nVersion;
    std::copy_n(pAddress, nVersion == 6 ? 16 : 4, address.data() + 1);
    return std::find(m_addresses.begin(), m_addresses.end(), address) != m_addresses.end();
}

std::string CDohResolvers::ToText() const
{
    std::string strText;
    for (const std::string& strEntry : m_texts)
        strText.append(strEntry).append("\n");
    return strText;
}
