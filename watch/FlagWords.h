#pragma once

#include <cstdint>
#include <string>

// The flags of a line that is no response's (a lookup's, an encrypted connection's) in this
// program's words, one table row a flag, written as the header's flags are: apart at commas.
struct CFlagWord
{
    std::uint8_t nFlag;
    const char* pszWord;
};

template <std::size_t N>
void AssignFlagWords(std::string& strOut, unsigned nFlags, const CFlagWord (&words)[N])
{
    strOut.clear();
    for (const auto& [nFlag, pszWord] : words)
    {
        if ((nFlags & nFlag) != 0)
            strOut.append(strOut.empty() ? "" : ",").append(pszWord);
    }
}
