#include "watch/NewNames.h"

bool CNewNames::IsFirstSighting(std::string_view name)
{
    m_strFolded.assign(name);
    for (char& ch : m_strFolded)
    {
        if (ch >= 'A' && ch <= 'Z')
            ch = char(ch - 'A' + 'a');
    }
    return m_seen.insert(m_strFolded).second;
}
