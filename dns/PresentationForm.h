#pragma once

// Names come from whoever can put a packet on the watched interface, so they are shown and saved
// in their DNS presentation form: printable ASCII as it is, every other byte and the backslash as
// \DDD (three decimal digits). A name can then never move a terminal's cursor, start a row or a
// field of a saved file, turn text around with a bidi control, or be taken for markup, and the
// form still reads back to the exact bytes. Ordinary host names look exactly as they came.

#include <cstddef>
#include <string>
#include <memory>
#include <string_view>

constexpr bool IsEscapedInPresentation(unsigned char b)
{
    return b < 0x20 || b > 0x7e || b == '\\';
}

// A spreadsheet that opens the saved list runs a cell that starts with one of these.
constexpr bool IsFormulaStart(unsigned char b)
{
    return b == '=' || b == '+' || b == '-' || b == '@';
}

// Appends the name's presentation form to any text with append(const char*, size). With
// bEscapeFormulaStart, a first character that would start a spreadsheet formula is written \DDD too.
template <class Text>
void AppendPresentationForm(Text& text, std::string_view name, bool bEscapeFormulaStart = false)
{
    const char* const pName = std::to_address(name.begin());
    size_t nFrom = 0;
    for (size_t i = 0; i < name.size(); ++i)
    {
        const auto b = static_cast<unsigned char>(name[i]);
        if (!IsEscapedInPresentation(b) && !(i == 0 && bEscapeFormulaStart && IsFormulaStart(b)))
            continue;
        text.append(pName + nFrom, i - nFrom);
        const char escaped[4] = {'\\', char('0' + b / 100), char('0' + b / 10 % 10), char('0' + b % 10)};
        text.append(escaped, sizeof(escaped));
        nFrom = i + 1;
    }
    text.append(pName + nFrom, name.size() - nFrom);
}

inline std::string PresentationForm(std::string_view name, bool bEscapeFormulaStart = false)
{
    std::string strText;
    AppendPresentationForm(strText, name, bEscapeFormulaStart);
    return strText;
}
