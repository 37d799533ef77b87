#pragma once

// Query names a sender on the network can choose to attack whatever shows or saves them, each with
// the text it must be shown as, written out by hand: one of each attack, for the front ends that
// must show names through the presentation form (whose own test goes through every byte class).

#include <string>
#include <vector>

struct CHostileName
{
    const char* pszWhat;
    std::string strName;  // as the question carries it, labels joined by full stops
    std::string strShown; // in the list, in every message and (formula start aside) in a saved file
    std::string strSaved; // empty: as shown
};

inline const std::vector<CHostileName>& HostileNames()
{
    static const std::vector<CHostileName> s_names = {
        {"markup", "<a href='https://evil/renew'>Click here</a>", "<a href='https://evil/renew'>Click here</a>", ""},
        {"tab", "a\tb.example", "a\\009b.example", ""},
        {"carriage return and a row", "x\r\xd0injected-row.example", "x\\013\\208injected-row.example", ""},
        {"line feed", "a\nb.example", "a\\010b.example", ""},
        {"terminal title", "\x1b]0;pwned\x07.example", "\\027]0;pwned\\007.example", ""},
        {"NUL inside a label", std::string("nul\0hidden.example", 18), "nul\\000hidden.example", ""},
        {"right-to-left override", "\xe2\x80\xaemoc.elgoog", "\\226\\128\\174moc.elgoog", ""},
        {"formula", "=HYPERLINK(\"http://evil\")", "=HYPERLINK(\"http://evil\")", "\\061HYPERLINK(\"http://evil\")"},
        {"255 bytes on the wire",
         std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(61, 'd'),
         std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(61, 'd'),
         ""},
        {"ordinary", "www.Example.org", "www.Example.org", ""},
    };
    return s_names;
}
