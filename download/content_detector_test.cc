#include "download/content_detector.h"

#include <utility>

#include "gtest/gtest.h"

namespace lorvane {
namespace {

TEST(ClassifyUriTest, SchemesInAnyCaseAndBetweenBlanks) {
  const std::pair<const char*, SchemeType> cases[] = {
      {"https://a", SCHEME_HTTPS},
      {"tavp://1|x|y", SCHEME_TAVP},
      // "https" is its own row, never taken for "http".
      {"https://example.com/http", SCHEME_HTTPS},
      {"  HtTpS://a/b  ", SCHEME_HTTPS},
      // Ideographic space before, no-break space after.
      {"\xE3\x80\x80http://a\xC2\xA0", SCHEME_HTTP},
      {"http://", SCHEME_UNKNOWN},     // nothing after the slashes
      {"ftp://example.com/a", SCHEME_UNKNOWN},
  };
  for (const auto& [uri, expected] : cases) EXPECT_EQ(ClassifyUri(uri), expected) << uri;
}

}  // namespace
}  // namespace lorvane
