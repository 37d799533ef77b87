#pragma once

// Every text a capture shows its user, for the window and for any other front end of the helper:
// in one place, and free of Qt, so a front end without Qt says exactly the same. The formats take
// one number: an errno, or for a full set of places the number of captures already running.

#include <cstdint>
#include <string>
#include <vector>

namespace CaptureTexts {

// Promiscuous mode refused: the capture runs anyway, and only the error text keeps this.
inline constexpr char RECEIVE_ALL_FAILED_FORMAT[] = "Ioctl() failed, error no %d\n";
static_assert(RECEIVE_ALL_FAILED_FORMAT[sizeof(RECEIVE_ALL_FAILED_FORMAT) - 2] == '\n');
// The capture socket failed (its interface went down or away); the helper ended after saying so.
inline constexpr char RECEIVE_FAILED_FORMAT[] = "recvfrom() failed, error num %d";

inline constexpr char HELPER_ENDED[] = "The capture helper ended unexpectedly.";
inline constexpr char HELPER_BROKEN[] = "The capture helper sent something that is not a capture record.";
inline constexpr char HELPER_SILENT[] = "The capture helper stopped responding.";

// The text of a failed open step; an unknown step reads as the refused open.
std::string OpenFailureText(std::int32_t nStep, std::int32_t nValue);
// A printf format with one %d, filled in.
std::string FormatText(const char* pszFormat, int nValue);
// The same refusal of promiscuous mode, for a terminal: one line that says the capture runs on.
std::string ReceiveAllNotice(int nError);
// Why the programs behind the queries are not named; the capture runs without them.
std::string SendersNotice(int nError);
// Why lookups are not shown, for a start that asked for them.
std::string LookupsNotice(int nError);
// No helper was where it was looked for: where that was, and how to get one.
std::string MissingHelperText(const std::vector<std::string>& missing);

} // namespace CaptureTexts
