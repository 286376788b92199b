#include "client/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace lorvane {
namespace {

TEST(FormatTest, SizesRatesTimesAndPercentsAtTheirEdges) {
  const struct {
    std::string shown, expected;
  } cases[] = {
      {FormatSize(1023), "1023 B"}, {FormatSize(1024), "1.00 KiB"}, {FormatSize(10239), "10.0 KiB"},
      // Just below a unit rounds up into the next one, never to "1024 KiB".
      {FormatSize(1024 * 1024 - 1), "1.00 MiB"}, {FormatSize(UINT64_MAX), "16.0 EiB"},
      {FormatSpeed(-5), "0 B/s"}, {FormatSpeed(5 * 1024 * 1024 + 200 * 1024), "5.20 MiB/s"},
      {FormatBandwidth(-1), "unlimited"}, {FormatBandwidth(0), "unlimited"}, {FormatDuration(3599), "59:59"},
      {FormatDuration(3600), "1:00:00"}, {FormatDuration(86400), "1d 00h"},
      {FormatDuration(100 * 86400), ">99d"},
      // One byte left still takes a second, never "00:00" before the end.
      {FormatEta(999, 1000, 100), "00:01"}, {FormatEta(1000, 1000, 100), "00:00"},
      {FormatEta(0, 0, 100), "--:--"}, {FormatEta(0, 1000, 0), "--:--"},
      // Never a full bar early.
      {FormatPercent(0, 0), "-"}, {FormatPercent(9999, 10000), "99.9%"},
      {FormatPercent(UINT64_MAX - 1, UINT64_MAX), "99.9%"}, {FormatPercent(2000, 1000), "100.0%"},
      // 1970-01-01 00:00:00 is 11644473600 s after the FILETIME epoch.
      {FormatFiletime(0), "-"},
      {FormatFiletime(116444736000000000ull + 1'709'210'096ull * 10'000'000ull),
       "2024-02-29 12:34:56 UTC"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.shown, c.expected);
}

TEST(NumberParsingTest, CodesIntegersAndRatesWithinTheirLimits) {
  const struct {
    const char* text;
    int32_t value;
  } codes[] = {{"0XA0440313", E_INVALID_URL}, {"2688811795", E_INVALID_URL},
               {"-2147483648", INT32_MIN}, {"-0x1", -1}},
    integers[] = {{"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}, {"+7", 7}},
    rates[] = {{"unlimited", -1}, {"-1", -1},      {"0", 0},
               {"64k", 65536},    {"2M", 2 << 20}, {"2047M", 2047 << 20}};
  int32_t value = 0;
  for (const auto& c : codes) EXPECT_TRUE(ParseResultCode(c.text, &value) && value == c.value);
  for (const auto& c : integers) EXPECT_TRUE(ParseInt32(c.text, &value) && value == c.value);
  for (const auto& c : rates) EXPECT_TRUE(ParseBandwidth(c.text, &value) && value == c.value);
  for (const char* bad : {"", "-", "0x", "0x1FFFFFFFF", "4294967296", "-2147483649", "12a",
                          "a0440313", " 5", "0x-1", "--5"})
    EXPECT_FALSE(ParseResultCode(bad, &value)) << bad;
  for (const char* bad : {"", "+", "2147483648", "-2147483649", "1.5", "0x10", "7 "})
    EXPECT_FALSE(ParseInt32(bad, &value)) << bad;
  for (const char* bad : {"", "M", "-2", "2048M", "2147483648", "1G", "5 K", "fast"})
    EXPECT_FALSE(ParseBandwidth(bad, &value)) << bad;
}

// Quotes, backslashes and control characters: the views' JSON test; escape
// sequences and width cuts: the views' table test.
TEST(TextTest, SeparatorsBadUtf8C1ControlsAndWideCharacters) {
  EXPECT_EQ(JsonString("a\u2028b\u2029"), "\"a\\u2028b\\u2029\"");
  // A cut sequence and an encoded surrogate.
  EXPECT_EQ(JsonString("\xE4\xBD"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(TerminalSafe("\xC2\x9B" "2J"), "?2J");  // C1 CSI
  EXPECT_EQ(DisplayWidth("e\xCC\x81\xF0\x9F\x8E\xAC"), 3u);  // e + combining acute, emoji
  // A wide character that would straddle the limit is left out whole.
  EXPECT_EQ(FitToWidth("电影电影", 4), "电…");
  EXPECT_EQ(PadToWidth("电影", 6), "电影  ");
}

}  // namespace
}  // namespace lorvane
