#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The list's rule, for every front end: two names are one name when their bytes are equal but for
// the case of ASCII letters, as DNS compares names. Every other byte stays distinct: bytes of 0x80
// and above whatever the locale says of them, '[' or '@' against '{' or '`', and a NUL, so that a
// name that differs only after a NUL is another name.
namespace NameRule {

// How many names, and bytes of name text, a list keeps at most: a flood of made-up names then
// fills a known amount of memory and no more.
constexpr size_t BUDGET_NAMES = 10'000'000;
constexpr size_t BUDGET_NAME_BYTES = size_t(1) << 30;

constexpr char FoldAscii(char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + ('a' - 'A')) : ch;
}

constexpr bool IsSameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    }
    return true;
}

// The form both names of a pair share exactly when the rule calls them one name.
inline void Fold(std::string_view name, std::string& strFolded)
{
    strFolded.resize(name.size());
    for (size_t i = 0; i < name.size(); ++i)
        strFolded[i] = FoldAscii(name[i]);
}

} // namespace NameRule
