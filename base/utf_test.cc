#include "base/utf.h"

#include <gtest/gtest.h>

namespace tobric {
namespace {

TEST(UtfTest, RoundTripsBmpAndSupplementaryCharacters) {
  const std::string text = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x8E\xAC";  // a é 中 🎬
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, (std::u16string{u'a', u'\u00E9', u'\u4E2D', 0xD83C, 0xDFAC}));
  EXPECT_EQ(Utf16ToUtf8(wide), text);
}

TEST(UtfTest, MalformedInputBecomesReplacementCharacters) {
  // A truncated sequence, an overlong encoding and a stray continuation byte: each
  // stands as U+FFFD and the text after it survives.
  EXPECT_EQ(Utf8ToUtf16("x\xE4\xB8"), (std::u16string{u'x', 0xFFFD}));
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAFz"), (std::u16string{0xFFFD, u'z'}));
  EXPECT_EQ(Utf8ToUtf16("\x80q"), (std::u16string{0xFFFD, u'q'}));
  // A lone surrogate cannot be written as UTF-8.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD800, u'k'}), "\xEF\xBF\xBDk");
}

}  // namespace
}  // namespace tobric
