#include "download/content_detector.h"

#include <string>

#include "download/http_dector.h"
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

TEST(CreateDetectorTest, BuildsTheDetectorOfTheSchemeWithTheUriAsGiven) {
  const std::string uri = "  HTTPS://a/B.mp4 ";
  const std::unique_ptr<ContentDetector> https = CreateDetector(uri);
  EXPECT_NE(dynamic_cast<HttpDector*>(https.get()), nullptr);
  EXPECT_EQ(https->uri(), uri);

  // Unknown schemes get a detector that refuses both operations.
  for (const char* unknown : {"ftp://example.com/a", "http://"}) {
    const std::unique_ptr<ContentDetector> detector = CreateDetector(unknown);
    ASSERT_NE(dynamic_cast<NullDetector*>(detector.get()), nullptr) << unknown;
    EXPECT_EQ(detector->ParseFileName(), E_UNSUPPORTED_URI);
    EXPECT_EQ(detector->Detect(), E_UNSUPPORTED_URI);
  }
}

}  // namespace
}  // namespace lorvane
