#include "dns/NewNames.h"

CNewNames::Sighting CNewNames::Sight(std::string_view name)
{
    NameRule::Fold(name, m_strFolded);
    if (m_seen.contains(m_strFolded))
        return SEEN;
    if (m_seen.size() >= m_nBudgetNames || m_nNameBytes + name.size() > m_nBudgetNameBytes)
    {
        ++m_nRefused;
        return REFUSED;
    }
    m_nNameBytes += name.size();
    m_seen.insert(m_strFolded);
    return FIRST;
}
