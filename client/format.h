// Text the corvane command shows: sizes, speeds, times, result codes, JSON
// strings, and text fitted to terminal columns; and the parsing of the numbers
// a user types. Pure functions, any thread.
#ifndef CLIENT_FORMAT_H_
#define CLIENT_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/result_codes.h"

namespace lorvane {

// Bytes in binary units with three significant digits: "0 B", "1023 B",
// "1.00 KiB", "12.3 MiB", "512 GiB".
[[nodiscard]] std::string FormatSize(uint64_t bytes);
// A rate: FormatSize + "/s"; a negative rate counts as 0.
[[nodiscard]] std::string FormatSpeed(int64_t bytes_per_second);
// "MM:SS" below an hour, "H:MM:SS" below a day, "Nd HHh" below 100 days,
// ">99d" beyond.
[[nodiscard]] std::string FormatDuration(uint64_t seconds);
// The time left for the rest of total at speed, rounded up to whole seconds;
// "--:--" when it cannot be told (no total, no speed).
[[nodiscard]] std::string FormatEta(uint64_t done, uint64_t total, int64_t bytes_per_second);
// done of total as "42.3%", rounded down so that 100.0% means all of it; "-"
// when total is 0 (not known yet).
[[nodiscard]] std::string FormatPercent(uint64_t done, uint64_t total);
// A FILETIME as "2024-05-01 12:00:00 UTC"; "-" for 0.
[[nodiscard]] std::string FormatFiletime(uint64_t filetime);
// "0xa0440313": the code's 32 bits as 8 lower-case hex digits.
[[nodiscard]] std::string FormatCode(HRESULT code);
// A bandwidth setting: "unlimited" for 0 or less (no limit to the engine), else the rate.
[[nodiscard]] std::string FormatBandwidth(int32_t bytes_per_second);

// A result code typed by a user: "0x" and up to 8 hex digits, optionally
// preceded by "-", or a decimal number from -2147483648 to 4294967295.
[[nodiscard]] bool ParseResultCode(std::string_view text, HRESULT* code);
// A decimal 32-bit signed number, optionally preceded by "-" or "+".
[[nodiscard]] bool ParseInt32(std::string_view text, int32_t* value);
// A bandwidth: "unlimited" or -1 (no limit), or a count of bytes per second,
// optionally followed by K or M (x1024, x1048576); at most 2147483647.
[[nodiscard]] bool ParseBandwidth(std::string_view text, int32_t* value);

// text as a JSON string literal, quotes included. Invalid UTF-8 becomes U+FFFD,
// so the result is always valid JSON; control characters, U+2028 and U+2029 are
// escaped.
[[nodiscard]] std::string JsonString(std::string_view text);

// text made safe to print on a terminal: control characters (C0, DEL, C1) and
// invalid UTF-8 become "?" and U+FFFD. A file name taken from a server could
// otherwise carry escape sequences that rewrite the user's screen.
[[nodiscard]] std::string TerminalSafe(std::string_view text);
// Columns text takes on a terminal: East Asian wide characters count 2,
// combining marks 0.
[[nodiscard]] size_t DisplayWidth(std::string_view text);
// text cut to at most `columns` columns, ending in "…" when cut.
[[nodiscard]] std::string FitToWidth(std::string_view text, size_t columns);
// text followed by spaces up to `columns` columns (never cut).
[[nodiscard]] std::string PadToWidth(std::string_view text, size_t columns);

// What the user calls a package state: "init", "paused" (ready: added but not
// queued, or paused), "pausing", "waiting", "downloading", "complete", "error";
// "unknown" otherwise.
[[nodiscard]] const char* StateLabel(int32_t state);

}  // namespace lorvane

#endif  // CLIENT_FORMAT_H_
