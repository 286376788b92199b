#include "torrix/tavp_link.h"

#include <gtest/gtest.h>

namespace torrix {
namespace {

TEST(TavpLinkTest, ParsesSizeDecodedSourceAndName) {
  TavpLink link;
  ASSERT_TRUE(ParseTavpLink("TaVp://1234|http%3A%2F%2Fh%2Fa%20b.mkv|My%20Film|2", &link));
  EXPECT_EQ(link.size, 1234u);
  EXPECT_EQ(link.source, "http://h/a b.mkv");
  EXPECT_EQ(link.name, "My Film|2");
  EXPECT_EQ(link.body, "1234|http%3A%2F%2Fh%2Fa%20b.mkv|My%20Film|2");
  ASSERT_TRUE(ParseTavpLink("tavp://|http://h/x|", &link));
  EXPECT_EQ(link.size, 0u);
  EXPECT_EQ(link.name, "");
}

TEST(TavpLinkTest, RefusesMalformedLinks) {
  TavpLink link;
  for (const char* uri : {"http://h/x", "tavp://12|http://h/x", "tavp://1x|http://h/x|n",
                          "tavp://12||n", " tavp://12|http://h/x|n",
                          "tavp://99999999999999999999|http://h/x|n"}) {
    EXPECT_FALSE(ParseTavpLink(uri, &link)) << uri;
  }
}

TEST(TavpLinkTest, NamesAreSafeForOneFileInTheFolder) {
  EXPECT_EQ(SafeFileName(" a/b\\c|d\x01.mkv "), "a_b_c_d_.mkv");
  EXPECT_EQ(SafeFileName(".."), "");
  EXPECT_EQ(SafeFileName(std::string(300, 'x')).size(), 240u);
  // A cut never splits a character: "a" and 120 two-byte letters are 241 bytes.
  std::string letters = "a";
  for (int i = 0; i < 120; ++i) letters += "\xC3\xA9";
  EXPECT_EQ(SafeFileName(letters).size(), 239u);
  EXPECT_EQ(SuggestedFileName("attachment; filename*=UTF-8''r%C3%A9sum%C3%A9.pdf; filename=\"x\"",
                              "http://h/p/q"),
            "r\xC3\xA9sum\xC3\xA9.pdf");
  EXPECT_EQ(SuggestedFileName("attachment; filename=\"a b.iso\"", "http://h/p/q"), "a b.iso");
  EXPECT_EQ(SuggestedFileName("", "http://h/dir/clip%20one.mp4?x=/y"), "clip one.mp4");
  EXPECT_EQ(SuggestedFileName("", "http://h"), "");
}

}  // namespace
}  // namespace torrix
