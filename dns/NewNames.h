#pragma once

#include "dns/NameRule.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

// --new-only: the window's list rule and its budget. A name is new when no name seen before is the
// same name by the list's rule. Once the budget is spent no name is taken any more, as the window
// lists none, since none can be told new; those are counted.
class CNewNames
{
public:
    enum Sighting
    {
        FIRST,
        SEEN,
        REFUSED, // the budget is spent: it may or may not be new
    };

    explicit CNewNames(size_t nBudgetNames = NameRule::BUDGET_NAMES,
                       size_t nBudgetNameBytes = NameRule::BUDGET_NAME_BYTES)
        : m_nBudgetNames(nBudgetNames), m_nBudgetNameBytes(nBudgetNameBytes)
    {}

    Sighting Sight(std::string_view name);
    // Names turned away since the budget was spent.
    std::uint64_t GetRefusedCount() const { return m_nRefused; }

private:
    std::unordered_set<std::string> m_seen;
    std::string m_strFolded;
    size_t m_nNameBytes = 0;
    size_t m_nBudgetNames;
    size_t m_nBudgetNameBytes;
    std::uint64_t m_nRefused = 0;
};
