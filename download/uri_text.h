// Text rules shared by the content detectors: the white space trimmed from URIs
// and link fields, the lower-casing applied before matching, and the lenient
// decimal reading of sizes.
//
// Texts are UTF-8; trimming and lower-casing work on UTF-16 code units, so that a
// URI is judged the same way as when it travels as UTF-16 on the wire.
#ifndef DOWNLOAD_URI_TEXT_H_
#define DOWNLOAD_URI_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace lorvane {

// True for the characters with the Unicode White_Space property: the ASCII
// controls 9..13, space, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
// U+202F, U+205F and U+3000. The no-break spaces count: a URI pasted from a web
// page often carries one at either end.
[[nodiscard]] bool IsUnicodeSpace(char16_t unit);

// `text` without the white space at both ends.
[[nodiscard]] std::string TrimUnicodeSpace(std::string_view text);

// `text` lower-cased unit by unit by the Unicode case tables (independent of the
// process locale). Units that are surrogates, or would lower outside the basic
// plane, stay as they are.
[[nodiscard]] std::string LowerCaseText(std::string_view text);

// Reads a signed decimal 64-bit integer the lenient way the platform's string
// functions do: leading blanks (space, tab, CR, LF, VT, FF) are skipped, one '+'
// or '-' may follow, and reading stops at the first character that is not a
// digit. No digits gives 0; a value beyond the 64-bit range is clamped to it.
[[nodiscard]] int64_t ParseSignedDecimal64(std::string_view text);

}  // namespace lorvane

#endif  // DOWNLOAD_URI_TEXT_H_
