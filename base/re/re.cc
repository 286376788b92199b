#include "base/re/re.h"

#include <cstdint>

#include "base/utf.h"

namespace tobric {

namespace {

// Moves past the code point at text[i] and says how many UTF-16 units Utf8ToUtf16
// makes of it. The rules must stay those of Utf8ToUtf16 (a malformed sequence is
// one unit, ending at the byte that broke it), or offsets would drift after the
// first malformed byte.
size_t StepUtf8(std::string_view text, size_t i, size_t* units) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  *units = 1;
  int extra;
  uint32_t cp;
  if (lead < 0x80) {
    return i + 1;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07;
  } else {
    return i + 1;
  }
  size_t k = i + 1;
  for (int n = 0; n < extra; ++n, ++k) {
    if (k >= text.size() || (byte(k) & 0xC0) != 0x80) return k;
    cp = (cp << 6) | (byte(k) & 0x3F);
  }
  // Only a well-formed four-byte sequence yields a pair; overlong or out-of-range
  // ones are a single replacement unit.
  if (extra == 3 && cp >= 0x10000 && cp <= 0x10FFFF) *units = 2;
  return k;
}

// The byte offset in `text` of UTF-16 position `unit`, rounded up to the end of a
// code point that `unit` falls inside.
size_t ByteOffsetOfUnit(std::string_view text, size_t unit) {
  size_t i = 0;
  size_t units_before = 0;
  while (units_before < unit && i < text.size()) {
    size_t units;
    i = StepUtf8(text, i, &units);
    units_before += units;
  }
  return i;
}

}  // namespace

bool RE::Match(std::string_view text, std::vector<std::string>* groups, int group_count,
               size_t* end_offset) const {
  if (group_count < 0 || (group_count > 0 && groups == nullptr)) return false;
  const std::u16string wide = Utf8ToUtf16(text);
  std::vector<std::u16string> wide_groups(static_cast<size_t>(group_count));
  const char16_t* end = nullptr;
  if (!Match(wide.c_str(), wide_groups.data(), group_count, end_offset ? &end : nullptr)) {
    return false;
  }
  if (groups != nullptr) {
    groups->resize(static_cast<size_t>(group_count));
    for (size_t g = 0; g < wide_groups.size(); ++g) (*groups)[g] = Utf16ToUtf8(wide_groups[g]);
  }
  if (end_offset != nullptr) {
    *end_offset = end == nullptr ? std::string_view::npos
                                 : ByteOffsetOfUnit(text, static_cast<size_t>(end - wide.c_str()));
  }
  return true;
}

}  // namespace tobric
