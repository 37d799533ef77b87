#pragma once

// What the helper says itself, to whoever ran it by hand: on stderr, before it has a channel. Its
// words to the window are records; their texts are the window's.
namespace HelperTexts {

inline constexpr char USAGE[] =
    "usage: tarrow-capture-helper LOCAL-ADDRESS|if:INTERFACE|any [names|queries|exchanges[+encrypted][+lookups] "
    "[RESOLVERS]] (run by Tarrow, not by hand)\n";
inline constexpr char NO_CHANNEL[] = "tarrow-capture-helper: no caller's socket at descriptor 3\n";

} // namespace HelperTexts
