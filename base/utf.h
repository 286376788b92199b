// UTF-8 <-> UTF-16 conversion at the boundaries where a format fixes UTF-16 (the
// log file, the metafile, the RPC records, the pattern matcher's text).
#ifndef BASE_UTF_H_
#define BASE_UTF_H_

#include <string>
#include <string_view>

namespace tobric {

// Malformed UTF-8 sequences become U+FFFD each; nothing is dropped silently.
[[nodiscard]] std::u16string Utf8ToUtf16(std::string_view text);
// Unpaired surrogates become U+FFFD.
[[nodiscard]] std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace tobric

#endif  // BASE_UTF_H_
