#pragma once

#include <string>
#include <string_view>
#include <vector>

// A glob of --name or --exclude-name, matched as fnmatch matches it with FNM_CASEFOLD in the C
// locale, on a name's presentation form. fnmatch is the rule; it is also slow for what nearly every
// such glob is, stars between literal texts (*.example.com, ads.*, *track*), since it walks the
// pattern afresh for each name and every star can set it back. Such globs are matched here as their
// texts in order, which costs one pass over the name; any other glob goes to fnmatch.
// tarrow-watch never calls setlocale, so fnmatch runs in the C locale: one byte a character, and
// FNM_CASEFOLD folds ASCII letters only, as the list's rule does.
class CNameGlob
{
public:
    explicit CNameGlob(std::string_view glob);

    bool Matches(std::string_view presented) const;

private:
    std::string m_strGlob; // for fnmatch
    bool m_bStarsOnly = false;
    // The texts before, between and after the stars (any may be empty), their ASCII letters folded
    // to lower case: without a star, the one text is the whole name.
    std::vector<std::string> m_texts;
    // fnmatch wants its name ended by a NUL.
    mutable std::string m_strName;
};
