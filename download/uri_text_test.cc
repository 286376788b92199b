#include "download/uri_text.h"

#include <cstdint>
#include <limits>

#include "gtest/gtest.h"

namespace lorvane {
namespace {

TEST(UriTextTest, TrimUnicodeSpaceAtBothEndsOnly) {
  // U+3000 ideographic space, U+00A0 no-break space, U+2009 thin space.
  EXPECT_EQ(TrimUnicodeSpace("\xE3\x80\x80 http://a b \xC2\xA0\t\xE2\x80\x89"), "http://a b");
  EXPECT_EQ(TrimUnicodeSpace(" \xE3\x80\x80 "), "");
  // U+200B zero-width space is a format character, not white space; "é" must
  // survive the round trip through UTF-16.
  EXPECT_EQ(TrimUnicodeSpace("\xE2\x80\x8B"
                             "caf\xC3\xA9"),
            "\xE2\x80\x8B"
            "caf\xC3\xA9");
}

TEST(UriTextTest, LowerCaseBeyondAscii) {
  EXPECT_EQ(LowerCaseText("Film.MKV"), "film.mkv");
  EXPECT_EQ(LowerCaseText("\xC3\x84PFEL \xCE\xA3"), "\xC3\xA4pfel \xCF\x83");  // ÄPFEL Σ
  // A character outside the basic plane (U+1F600) passes unchanged.
  EXPECT_EQ(LowerCaseText("A\xF0\x9F\x98\x80"), "a\xF0\x9F\x98\x80");
}

TEST(UriTextTest, ParseSignedDecimal64StopsAtTheFirstNonDigitAndClamps) {
  EXPECT_EQ(ParseSignedDecimal64(" \t 42abc"), 42);
  EXPECT_EQ(ParseSignedDecimal64("+5"), 5);
  for (const char* none : {"abc", "", "- 5", "0x10"}) EXPECT_EQ(ParseSignedDecimal64(none), 0);
  // 5 GiB: sizes beyond 32 bits are read whole.
  EXPECT_EQ(ParseSignedDecimal64("5368709120"), int64_t{5368709120});
  EXPECT_EQ(ParseSignedDecimal64("99999999999999999999"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ParseSignedDecimal64("-99999999999999999999"), std::numeric_limits<int64_t>::min());
}

}  // namespace
}  // namespace lorvane
