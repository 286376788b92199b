#include "download/uri_text.h"

#include <limits>

#include "base/utf.h"

namespace lorvane {

namespace {

bool IsDecimalBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool IsUnicodeSpace(char16_t unit) {
  switch (unit) {
    case 0x0009:
    case 0x000A:
    case 0x000B:
    case 0x000C:
    case 0x000D:
    case 0x0020:
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return unit >= 0x2000 && unit <= 0x200A;
  }
}

std::string TrimUnicodeSpace(std::string_view text) {
  // Pure ASCII needs no conversion; URIs nearly always are.
  bool ascii = true;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsUnicodeSpace(static_cast<char16_t>(text[begin]))) ++begin;
    while (end > begin && IsUnicodeSpace(static_cast<char16_t>(text[end - 1]))) --end;
    return std::string(text.substr(begin, end - begin));
  }
  const std::u16string wide = tobric::Utf8ToUtf16(text);
  size_t begin = 0;
  size_t end = wide.size();
  while (begin < end && IsUnicodeSpace(wide[begin])) ++begin;
  while (end > begin && IsUnicodeSpace(wide[end - 1])) --end;
  return tobric::Utf16ToUtf8(std::u16string_view(wide).substr(begin, end - begin));
}

std::string LowerCaseText(std::string_view text) {
  std::u16string wide = tobric::Utf8ToUtf16(text);
  for (char16_t& unit : wide) unit = tobric::LowerCaseUnit(unit);
  return tobric::Utf16ToUtf8(wide);
}

int64_t ParseSignedDecimal64(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsDecimalBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulated as a magnitude so that the most negative value still fits.
  constexpr uint64_t kPositiveLimit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  const uint64_t limit = negative ? kPositiveLimit + 1 : kPositiveLimit;
  uint64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (magnitude > (limit - digit) / 10) {
      magnitude = limit;
      break;
    }
    magnitude = magnitude * 10 + digit;
  }
  if (!negative) return static_cast<int64_t>(magnitude);
  return magnitude == kPositiveLimit + 1 ? std::numeric_limits<int64_t>::min()
                                         : -static_cast<int64_t>(magnitude);
}

}  // namespace lorvane
