#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

// The window's list rule for --new-only: a name is new when no name seen before equals it,
// ignoring the case of ASCII letters only (DNS compares names so; other bytes stay distinct).
class CNewNames
{
public:
    // True the first time a name is seen, false for every later sighting.
    bool IsFirstSighting(std::string_view name);

private:
    std::unordered_set<std::string> m_seen;
    std::string m_strFolded;
};
