#include "client/format.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <limits>

namespace lorvane {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The next code point of text at *pos; a malformed sequence (overlong, a
// surrogate, beyond U+10FFFF, cut short) yields U+FFFD and skips one byte.
char32_t NextCodePoint(std::string_view text, size_t* pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(*pos);
  if (lead < 0x80) {
    ++*pos;
    return lead;
  }
  size_t length;
  char32_t value;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
    minimum = 0x10000;
  } else {
    ++*pos;
    return kReplacement;
  }
  if (*pos + length > text.size()) {
    ++*pos;
    return kReplacement;
  }
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(*pos + i);
    if ((next & 0xC0) != 0x80) {
      ++*pos;
      return kReplacement;
    }
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++*pos;
    return kReplacement;
  }
  *pos += length;
  return value;
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsControl(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

struct Range {
  char32_t first;
  char32_t last;
};

// Characters a terminal draws two columns wide (East Asian Wide and Fullwidth,
// emoji), in order.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18AFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Characters that take no column of their own (combining marks, zero-width
// characters, variation selectors).
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
    {0x064B, 0x065F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF},
};

bool InRanges(char32_t cp, const Range* ranges, size_t count) {
  size_t low = 0;
  size_t high = count;
  while (low < high) {
    const size_t middle = (low + high) / 2;
    if (cp > ranges[middle].last) {
      low = middle + 1;
    } else if (cp < ranges[middle].first) {
      high = middle;
    } else {
      return true;
    }
  }
  return false;
}

size_t CodePointWidth(char32_t cp) {
  if (InRanges(cp, kZeroWidth, std::size(kZeroWidth))) return 0;
  if (InRanges(cp, kWide, std::size(kWide))) return 2;
  return 1;
}

std::string Printf(const char* format, double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), format, value);
  return buffer;
}

// Decimal digits of text as a number; false on anything else or above limit.
bool ParseDigits(std::string_view text, int base, uint64_t limit, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t result = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    if (digit >= base) return false;
    result = result * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (result > limit) return false;
  }
  *value = result;
  return true;
}

}  // namespace

std::string FormatSize(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  for (;;) {
    // The digits are chosen after rounding, so that 1023.99 KiB reads
    // "1.00 MiB", not "1024 KiB".
    const char* format = value < 9.995 ? "%.2f" : value < 99.95 ? "%.1f" : "%.0f";
    const std::string digits = Printf(format, value);
    if (digits != "1024" || unit + 1 == std::size(kUnits)) {
      return digits + " " + kUnits[unit];
    }
    value /= 1024.0;
    ++unit;
  }
}

std::string FormatSpeed(int64_t bytes_per_second) {
  return FormatSize(bytes_per_second < 0 ? 0 : static_cast<uint64_t>(bytes_per_second)) + "/s";
}

std::string FormatDuration(uint64_t seconds) {
  char buffer[32];
  if (seconds < 3600) {
    std::snprintf(buffer, sizeof(buffer), "%02u:%02u", static_cast<unsigned>(seconds / 60),
                  static_cast<unsigned>(seconds % 60));
  } else if (seconds < 86400) {
    std::snprintf(buffer, sizeof(buffer), "%u:%02u:%02u", static_cast<unsigned>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
  } else if (seconds < 100 * 86400) {
    std::snprintf(buffer, sizeof(buffer), "%ud %02uh", static_cast<unsigned>(seconds / 86400),
                  static_cast<unsigned>(seconds / 3600 % 24));
  } else {
    return ">99d";
  }
  return buffer;
}

std::string FormatEta(uint64_t done, uint64_t total, int64_t bytes_per_second) {
  if (total == 0 || bytes_per_second <= 0) return "--:--";
  if (done >= total) return FormatDuration(0);
  const uint64_t left = total - done;
  const uint64_t speed = static_cast<uint64_t>(bytes_per_second);
  return FormatDuration(left / speed + (left % speed != 0 ? 1 : 0));
}

std::string FormatPercent(uint64_t done, uint64_t total) {
  if (total == 0) return "-";
  if (done >= total) return "100.0%";
  // Tenths of a percent, rounded down; long double keeps 64-bit sizes exact
  // enough that a missing byte never rounds up to 100.0%.
  const auto tenths = static_cast<uint64_t>(static_cast<long double>(done) * 1000.0L /
                                            static_cast<long double>(total));
  const uint64_t shown = tenths >= 1000 ? 999 : tenths;
  return std::to_string(shown / 10) + "." + std::to_string(shown % 10) + "%";
}

std::string FormatFiletime(uint64_t filetime) {
  if (filetime == 0) return "-";
  // FILETIME counts 100 ns from 1601-01-01; the Unix epoch is 11644473600 s later.
  constexpr int64_t kEpochDifference = 11'644'473'600;
  const int64_t unix_seconds = static_cast<int64_t>(filetime / 10'000'000) - kEpochDifference;
  const std::chrono::sys_seconds when{std::chrono::seconds(unix_seconds)};
  const auto day = std::chrono::floor<std::chrono::days>(when);
  const std::chrono::year_month_day date{day};
  const std::chrono::hh_mm_ss time{when - day};
  char buffer[48];
  std::snprintf(buffer, sizeof(buffer), "%04d-%02u-%02u %02d:%02d:%02d UTC",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
  return buffer;
}

std::string FormatCode(HRESULT code) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "0x%08x", static_cast<uint32_t>(code));
  return buffer;
}

std::string FormatBandwidth(int32_t bytes_per_second) {
  // The P2P engine, like libtorrent, takes a rate of 0 for no limit.
  if (bytes_per_second <= 0) return "unlimited";
  return FormatSpeed(bytes_per_second);
}

bool ParseResultCode(std::string_view text, HRESULT* code) {
  bool negative = false;
  if (!text.empty() && text[0] == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  uint64_t value = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (!ParseDigits(text.substr(2), 16, 0xFFFFFFFF, &value)) return false;
  } else if (!ParseDigits(text, 10, 0xFFFFFFFF, &value)) {
    return false;
  }
  if (negative) {
    if (value > 0x80000000u) return false;
    *code = static_cast<HRESULT>(static_cast<uint32_t>(0u - static_cast<uint32_t>(value)));
  } else {
    *code = static_cast<HRESULT>(static_cast<uint32_t>(value));
  }
  return true;
}

bool ParseInt32(std::string_view text, int32_t* value) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  uint64_t magnitude = 0;
  if (!ParseDigits(text, 10, negative ? 0x80000000u : 0x7FFFFFFFu, &magnitude)) return false;
  *value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                    : static_cast<int32_t>(magnitude);
  return true;
}

bool ParseBandwidth(std::string_view text, int32_t* value) {
  if (text == "unlimited" || text == "-1") {
    *value = -1;
    return true;
  }
  uint64_t multiplier = 1;
  if (!text.empty()) {
    const char last = text.back();
    if (last == 'k' || last == 'K') multiplier = 1024;
    if (last == 'm' || last == 'M') multiplier = 1024 * 1024;
    if (multiplier != 1) text.remove_suffix(1);
  }
  constexpr uint64_t kLargest = std::numeric_limits<int32_t>::max();
  uint64_t count = 0;
  if (!ParseDigits(text, 10, kLargest, &count) || count * multiplier > kLargest) return false;
  *value = static_cast<int32_t>(count * multiplier);
  return true;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  size_t pos = 0;
  while (pos < text.size()) {
    const char32_t cp = NextCodePoint(text, &pos);
    switch (cp) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\b':
        out += "\\b";
        continue;
      case '\f':
        out += "\\f";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    // JSON requires escapes below U+0020; DEL, C1 and the two line separators
    // are escaped too, so that the output reads safely in a terminal and
    // survives a JavaScript parser.
    if (IsControl(cp) || cp == 0x2028 || cp == 0x2029) {
      char buffer[8];
      std::snprintf(buffer, sizeof(buffer), "\\u%04x", static_cast<unsigned>(cp));
      out += buffer;
    } else {
      AppendUtf8(cp, &out);
    }
  }
  out.push_back('"');
  return out;
}

std::string TerminalSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const char32_t cp = NextCodePoint(text, &pos);
    AppendUtf8(IsControl(cp) ? U'?' : cp, &out);
  }
  return out;
}

size_t DisplayWidth(std::string_view text) {
  size_t width = 0;
  size_t pos = 0;
  while (pos < text.size()) width += CodePointWidth(NextCodePoint(text, &pos));
  return width;
}

std::string FitToWidth(std::string_view text, size_t columns) {
  if (DisplayWidth(text) <= columns) return std::string(text);
  if (columns == 0) return std::string();
  std::string out;
  size_t width = 0;
  size_t pos = 0;
  // One column stays free for the ellipsis.
  while (pos < text.size()) {
    size_t next = pos;
    const char32_t cp = NextCodePoint(text, &next);
    const size_t cp_width = CodePointWidth(cp);
    if (width + cp_width > columns - 1) break;
    AppendUtf8(cp, &out);
    width += cp_width;
    pos = next;
  }
  return out + "\u2026";
}

std::string PadToWidth(std::string_view text, size_t columns) {
  std::string out(text);
  const size_t width = DisplayWidth(text);
  if (width < columns) out.append(columns - width, ' ');
  return out;
}

const char* StateLabel(int32_t state) {
  switch (state) {
    case 1:
      return "init";
    case 2:
      return "paused";
    case 3:
      return "pausing";
    case 4:
      return "waiting";
    case 5:
      return "downloading";
    case 6:
      return "complete";
    case 7:
      return "error";
    default:
      return "unknown";
  }
}

}  // namespace lorvane
