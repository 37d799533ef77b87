#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Appends to a JSON string's inside, escaped: the quote and the backslash, and \u00XX for a byte
// outside printable ASCII (none of the texts it is given holds one, but it would stay valid
// JSON). With append(const char*, size), so the presentation form can be written through it.
struct CJsonText
{
    std::string& strOut;
    // Runs of plain characters go in whole: this is most of a JSON line's cost.
    void append(const char* p, size_t n)
    {
        size_t nFrom = 0;
        for (size_t i = 0; i < n; ++i)
        {
            const auto b = static_cast<unsigned char>(p[i]);
            const bool bQuoted = b == '"' || b == '\\';
            if (!bQuoted && b >= 0x20 && b < 0x7f)
                continue;
            strOut.append(p + nFrom, i - nFrom);
            nFrom = i + 1;
            if (bQuoted)
            {
                const char escaped[2] = {'\\', char(b)};
                strOut.append(escaped, sizeof(escaped));
                continue;
            }
            static constexpr char HEX[] = "0123456789abcdef";
            const char escaped[6] = {'\\', 'u', '0', '0', HEX[b >> 4], HEX[b & 15]};
            strOut.append(escaped, sizeof(escaped));
        }
        strOut.append(p + nFrom, n - nFrom);
    }
};

// A whole JSON string of a text.
inline void AppendJsonText(std::string& strOut, std::string_view text)
{
    strOut += '"';
    CJsonText {strOut}.append(text.data(), text.size());
    strOut += '"';
}
