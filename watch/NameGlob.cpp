#include "watch/NameGlob.h"

#include "dns/NameRule.h"

#include <fnmatch.h>

namespace {

// Whether text starts with the folded part.
bool StartsFolded(std::string_view text, std::string_view folded)
{
    if (text.size() < folded.size())
        return false;
    for (size_t i = 0; i < folded.size(); ++i)
    {
        if (NameRule::FoldAscii(text[i]) != folded[i])
            return false;
    }
    return true;
}

} // namespace

CNameGlob::CNameGlob(std::string_view glob) : m_strGlob(glob)
{
    m_bStarsOnly = glob.find_first_of("?[\\") == std::string_view::npos;
    if (!m_bStarsOnly)
        return;
    size_t nStart = 0;
    for (;;)
    {
        const size_t nStar = glob.find('*', nStart);
        std::string strText(glob.substr(nStart, nStar - nStart));
        for (char& c : strText)
            c = NameRule::FoldAscii(c);
        m_texts.push_back(std::move(strText));
        if (nStar == std::string_view::npos)
            break;
        nStart = nStar + 1;
    }
}

bool CNameGlob::Matches(std::string_view presented) const
{
    if (!m_bStarsOnly)
    {
        m_strName.assign(presented);
        return fnmatch(m_strGlob.c_str(), m_strName.c_str(), FNM_CASEFOLD) == 0;
    }
    if (m_texts.size() == 1)
        return presented.size() == m_texts[0].size() && StartsFolded(presented, m_texts[0]);
    // The first text is anchored at the start and the last at the end; those between may lie
    // anywhere in order, and the leftmost place of each leaves the most room for the rest.
    const std::string& strFirst = m_texts.front();
    const std::string& strLast = m_texts.back();
    if (presented.size() < strFirst.size() + strLast.size() || !StartsFolded(presented, strFirst)
        || !StartsFolded(presented.substr(presented.size() - strLast.size()), strLast))
        return false;
    std::string_view rest = presented.substr(strFirst.size(), presented.size() - strFirst.size() - strLast.size());
    for (size_t i = 1; i + 1 < m_texts.size(); ++i)
    {
        const std::string& strText = m_texts[i];
        size_t nAt = 0;
        while (nAt + strText.size() <= rest.size() && !StartsFolded(rest.substr(nAt), strText))
            ++nAt;
        if (nAt + strText.size() > rest.size())
            return false;
        rest.remove_prefix(nAt + strText.size());
    }
    return true;
}
