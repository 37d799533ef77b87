#pragma once

// What comes off the wire is shown and saved in a presentation form, so that no name or text can
// move a terminal's cursor, start a row or a field of a saved file, turn text around with a bidi
// control, be taken for markup, or pass for another, and the form still reads back to the exact
// bytes. Ordinary host names look exactly as they came.
//
// Names take the master-file form of RFC 1035, as dig writes it: in a label, printable ASCII as it
// is but for the few characters the form gives a meaning ('.', '"', '(', ')', ';', '\', '@', '$'),
// which get a backslash before them; every other byte, the space included, as \DDD (three decimal
// digits). So a dot inside a label (\.) is never taken for two labels, and a space or a ';' never
// ends the name.
//
// Texts that are no names (a program's command, a user, a unit) keep printable ASCII as it is and
// write every other byte, and the backslash, as \DDD.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

constexpr bool IsEscapedInPresentation(unsigned char b)
{
    return b < 0x20 || b > 0x7e || b == '\\';
}

// A name's byte that the master-file form writes as \DDD, and one it writes after a backslash.
constexpr bool IsDecimalInName(unsigned char b)
{
    return b <= 0x20 || b > 0x7e;
}
constexpr bool IsSpecialInName(unsigned char b)
{
    return b == '.' || b == '"' || b == '(' || b == ')' || b == ';' || b == '\\' || b == '@' || b == '$';
}

// A spreadsheet that opens the saved list runs a cell that starts with one of these.
constexpr bool IsFormulaStart(unsigned char b)
{
    return b == '=' || b == '+' || b == '-' || b == '@';
}

template <class Text>
void AppendDecimalEscape(Text& text, unsigned char b)
{
    const char escaped[4] = {'\\', char('0' + b / 100), char('0' + b / 10 % 10), char('0' + b % 10)};
    text.append(escaped, sizeof(escaped));
}

// Appends bytes to any text with append(const char*, size), those IsDecimal picks as \DDD and
// those IsBackslashed picks after a backslash: the one escaping of the master-file form, for labels
// and character strings alike.
template <class Text, class TDecimal, class TBackslashed>
void AppendMasterFileEscaped(Text& text, std::string_view bytes, TDecimal IsDecimal, TBackslashed IsBackslashed)
{
    const char* const pBytes = std::to_address(bytes.begin());
    size_t nFrom = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const bool bDecimal = IsDecimal(b);
        if (!bDecimal && !IsBackslashed(b))
            continue;
        text.append(pBytes + nFrom, i - nFrom);
        if (bDecimal)
            AppendDecimalEscape(text, b);
        else
        {
            const char escaped[2] = {'\\', char(b)};
            text.append(escaped, sizeof(escaped));
        }
        nFrom = i + 1;
    }
    text.append(pBytes + nFrom, bytes.size() - nFrom);
}

// Appends one label of a name in the master-file form.
template <class Text>
void AppendNameLabel(Text& text, std::string_view label)
{
    AppendMasterFileEscaped(text, label, IsDecimalInName, IsSpecialInName);
}

// Appends a name's text whose labels stand apart at dots (as the C library is given one, or a TLS
// hello's server name) in the master-file form query names take: one dot at the end left off.
template <class Text>
void AppendDottedName(Text& text, std::string_view dotted)
{
    if (dotted.ends_with('.') && dotted.size() > 1)
        dotted.remove_suffix(1);
    for (size_t nFrom = 0;;)
    {
        const size_t nDot = dotted.find('.', nFrom);
        AppendNameLabel(text, dotted.substr(nFrom, nDot - nFrom));
        if (nDot == std::string_view::npos)
            return;
        text.append(".", 1);
        nFrom = nDot + 1;
    }
}

// Appends the bytes of one character string (RFC 1035) in quotes, as dig writes them: a quote and
// a backslash after a backslash, bytes outside printable ASCII as \DDD, the rest, spaces and ';'
// among them, as they are.
template <class Text>
void AppendCharacterString(Text& text, std::string_view bytes)
{
    text.append("\"", 1);
    AppendMasterFileEscaped(
        text, bytes, [](unsigned char b) { return b < 0x20 || b > 0x7e; },
        [](unsigned char b) { return b == '"' || b == '\\'; });
    text.append("\"", 1);
}

// Appends a text's presentation form to any text with append(const char*, size). With
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
        AppendDecimalEscape(text, b);
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

// Appends a text that is in its presentation form already (a name from the capture helper, a
// response's data): a backslash in it starts an escape, so it goes as it is. A byte outside
// printable ASCII would mean a helper gone wrong; it is written \DDD all the same, so that nothing
// shown can be broken by one. With bEscapeFormulaStart, as for AppendPresentationForm.
template <class Text>
void AppendPresented(Text& text, std::string_view presented, bool bEscapeFormulaStart = false)
{
    const char* const pText = std::to_address(presented.begin());
    size_t nFrom = 0;
    for (size_t i = 0; i < presented.size(); ++i)
    {
        const auto b = static_cast<unsigned char>(presented[i]);
        if (b >= 0x20 && b < 0x7f && !(i == 0 && bEscapeFormulaStart && IsFormulaStart(b)))
            continue;
        text.append(pText + nFrom, i - nFrom);
        AppendDecimalEscape(text, b);
        nFrom = i + 1;
    }
    text.append(pText + nFrom, presented.size() - nFrom);
}
