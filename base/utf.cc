#include "base/utf.h"

#include <cstdint>
#include <cwctype>
#include <stdexcept>

namespace tobric {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[*i] and moves *i past it.
char32_t DecodeUtf8(std::string_view text, size_t* i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(*i);
  int extra;
  char32_t cp;
  char32_t min;
  if (lead < 0x80) {
    ++*i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    ++*i;
    return kReplacement;
  }
  size_t k = *i + 1;
  for (int n = 0; n < extra; ++n, ++k) {
    if (k >= text.size() || (byte(k) & 0xC0) != 0x80) {
      *i = k;  // resynchronise at the byte that broke the sequence
      return kReplacement;
    }
    cp = (cp << 6) | (byte(k) & 0x3F);
  }
  *i = k;
  if (cp < min || cp > 0x10FFFF || IsSurrogate(cp)) return kReplacement;
  return cp;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const char32_t cp = DecodeUtf8(text, &i);
    if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      const char32_t v = cp - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (IsSurrogate(cp)) {
      cp = kReplacement;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

const std::ctype<wchar_t>* UnicodeCaseFacet() {
  static const std::ctype<wchar_t>* const facet = []() -> const std::ctype<wchar_t>* {
    try {
      static const std::locale locale("C.UTF-8");
      return &std::use_facet<std::ctype<wchar_t>>(locale);
    } catch (const std::runtime_error&) {
      return nullptr;  // the locale is not installed: towlower, ASCII rules only
    }
  }();
  return facet;
}

char16_t LowerCaseUnit(char16_t unit) {
  if (unit < 0x80) {
    return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + (u'a' - u'A')) : unit;
  }
  if (IsSurrogate(unit)) return unit;
  const std::ctype<wchar_t>* facet = UnicodeCaseFacet();
  const wchar_t original = static_cast<wchar_t>(unit);
  const wchar_t lower =
      facet != nullptr ? facet->tolower(original) : static_cast<wchar_t>(std::towlower(original));
  if (lower >= 0 && lower < 0x10000 && !IsSurrogate(static_cast<uint32_t>(lower))) {
    return static_cast<char16_t>(lower);
  }
  return unit;
}

}  // namespace tobric
