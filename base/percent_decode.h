// Percent-decoding of URI parts, for the file names derived from URLs and the
// P2P engine's links alike.
#ifndef BASE_PERCENT_DECODE_H_
#define BASE_PERCENT_DECODE_H_

#include <string>
#include <string_view>

namespace tobric {

// The value of one hex digit, either case; -1 for any other character.
[[nodiscard]] int HexDigitValue(char c);

// Every "%" followed by two hex digits becomes the byte they spell; a "%"
// without them stays as written, and so does "+". The result is bytes: it may
// not be UTF-8.
[[nodiscard]] std::string PercentDecode(std::string_view text);

}  // namespace tobric

#endif  // BASE_PERCENT_DECODE_H_
