// UTF-8 <-> UTF-16 conversion at the boundaries where a format fixes UTF-16 (the
// log file, the metafile, the RPC records, the pattern matcher's text), and the
// lower-casing of UTF-16 code units that the pattern matcher and the URI texts
// share.
#ifndef BASE_UTF_H_
#define BASE_UTF_H_

#include <cstdint>
#include <locale>
#include <string>
#include <string_view>

namespace tobric {

// Malformed UTF-8 sequences become U+FFFD each; nothing is dropped silently.
[[nodiscard]] std::u16string Utf8ToUtf16(std::string_view text);
// Unpaired surrogates become U+FFFD.
[[nodiscard]] std::string Utf16ToUtf8(std::u16string_view text);

// A high or a low half of a surrogate pair.
[[nodiscard]] constexpr bool IsSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

// The case tables of the "C.UTF-8" locale, or null when that locale is not
// installed. The process locale stays "C", whose towlower knows only ASCII, so
// these tables are asked directly. Facets are immutable, which makes the shared
// one safe on every thread.
[[nodiscard]] const std::ctype<wchar_t>* UnicodeCaseFacet();

// The lower case of one UTF-16 code unit, kept at its position: a surrogate, and
// a unit whose lower case would be a surrogate or lie beyond the BMP, stays as
// it is, so that every position of a lowered copy is the same position in the
// original. Without the UTF-8 locale only ASCII letters change. Any thread.
[[nodiscard]] char16_t LowerCaseUnit(char16_t unit);

}  // namespace tobric

#endif  // BASE_UTF_H_
