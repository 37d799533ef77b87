#pragma once

#include <cstdint>
#include <string>

// The flags of a line (a response's header, a lookup's, an encrypted connection's) in words, one
// table row a flag, in the table's order, apart at commas.
struct CFlagWord
{
    std::uint16_t nFlag;
    const char* pszWord;
};

// Appends the words of the flags set to what strOut holds already.
template <std::size_t N>
void AppendFlagWords(std::string& strOut, unsigned nFlags, const CFlagWord (&words)[N])
{
    for (const auto& [nFlag, pszWord] : words)
    {
        if ((nFlags & nFlag) != 0)
            strOut.append(strOut.empty() ? "" : ",").append(pszWord);
    }
}
