// Bytes in, text out: every class of byte a sender can put in a name, each at the edges of its range.
#include "dns/PresentationForm.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Printable()
{
    std::string str;
    for (char c = 0x20; c <= 0x7e; ++c)
        str += c == '\\' ? std::string() : std::string(1, c);
    return str;
}

TEST(PresentationFormTest, PrintableAsciiStaysAndEveryOtherByteIsWrittenAsThreeDigits)
{
    using namespace std::string_literals;
    const struct
    {
        const char* pszWhat;
        std::string strName;
        bool bFormulaStart;
        std::string strText;
    } rows[] = {
        {"empty", "", false, ""},
        {"printable ASCII but the backslash", Printable(), false, Printable()},
        {"backslash", "a\\b", false, "a\\092b"},
        {"NUL", "a\0b"s, false, "a\\000b"},
        {"first control byte past NUL", "\x01", false, "\\001"},
        {"tab, line feed, carriage return", "\t\n\r", false, "\\009\\010\\013"},
        {"escape", "\x1b]0;x\x07", false, "\\027]0;x\\007"},
        {"last control byte", "\x1f", false, "\\031"},
        {"DEL", "a\x7f", false, "a\\127"},
        {"lowest high byte", "\x80", false, "\\128"},
        {"highest", "\xff", false, "\\255"},
        {"UTF-8 and a bidi override", "\xc3\xa9\xe2\x80\xae", false, "\\195\\169\\226\\128\\174"},
        // A saved list's cells: only a first character that a spreadsheet would run is written out.
        {"formula starts", "=1", true, "\\0611"},
        {"plus", "+1", true, "\\0431"},
        {"minus", "-1", true, "\\0451"},
        {"at", "@1", true, "\\0641"},
        {"shown, not saved", "=1", false, "=1"},
        {"only the first character", "a=+-@", true, "a=+-@"},
        {"other first characters", "*1", true, "*1"},
        {"escaped as ever when first", "\\\n", true, "\\092\\010"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(PresentationForm(row.strName, row.bFormulaStart), row.strText) << row.pszWhat;

    // Appended to what the text already holds.
    std::string strLine = "name: ";
    AppendPresentationForm(strLine, "a\nb");
    EXPECT_EQ(strLine, "name: a\\010b");
}

} // namespace
