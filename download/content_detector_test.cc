#include "download/content_detector.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "download/http_dector.h"
#include "download/tavp_detector.h"
#include "gtest/gtest.h"

namespace lorvane {
namespace {

struct ClassifyCase {
  const char* uri;
  SchemeType expected;
};

class ClassifyUriTest : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyUriTest, Classifies) {
  EXPECT_EQ(ClassifyUri(GetParam().uri), GetParam().expected) << "uri: " << GetParam().uri;
}

INSTANTIATE_TEST_SUITE_P(
    Schemes, ClassifyUriTest,
    ::testing::Values(ClassifyCase{"http://a", SCHEME_HTTP},
                      ClassifyCase{"https://a", SCHEME_HTTPS},
                      ClassifyCase{"tavp://1|x|y", SCHEME_TAVP},
                      // "https" is its own row, never taken for "http".
                      ClassifyCase{"https://example.com/http", SCHEME_HTTPS},
                      ClassifyCase{"httpx://a", SCHEME_UNKNOWN},
                      ClassifyCase{"htt://a", SCHEME_UNKNOWN}));

INSTANTIATE_TEST_SUITE_P(
    CaseAndBlanks, ClassifyUriTest,
    ::testing::Values(ClassifyCase{"HTTP://EXAMPLE.COM/X", SCHEME_HTTP},
                      ClassifyCase{"  HtTpS://a/b  ", SCHEME_HTTPS},
                      ClassifyCase{"\t\r\nTAVP://1|x|y\n", SCHEME_TAVP},
                      // Ideographic space before, no-break space after.
                      ClassifyCase{"\xE3\x80\x80http://a\xC2\xA0", SCHEME_HTTP}));

INSTANTIATE_TEST_SUITE_P(
    Unknown, ClassifyUriTest,
    ::testing::Values(ClassifyCase{"http://", SCHEME_UNKNOWN},  // nothing after the slashes
                      ClassifyCase{"http://   ", SCHEME_UNKNOWN},  // blanks are trimmed first
                      ClassifyCase{"ftp://example.com/a", SCHEME_UNKNOWN},
                      ClassifyCase{"http:/example.com/a", SCHEME_UNKNOWN},
                      ClassifyCase{"movie", SCHEME_UNKNOWN},
                      ClassifyCase{"", SCHEME_UNKNOWN},
                      ClassifyCase{"://a", SCHEME_UNKNOWN}));

TEST(ClassifyUriThreadsTest, SharedPatternServesManyThreads) {
  // The scheme pattern is compiled once and shared; concurrent first use and
  // concurrent matching must both hold.
  const std::vector<ClassifyCase> cases = {{"http://a/b", SCHEME_HTTP},
                                           {"HTTPS://a", SCHEME_HTTPS},
                                           {"tavp://1|x|y", SCHEME_TAVP},
                                           {"ftp://a", SCHEME_UNKNOWN}};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const ClassifyCase& c = cases[static_cast<size_t>(t + i) % cases.size()];
        if (ClassifyUri(c.uri) != c.expected) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(CreateDetectorTest, BuildsTheDetectorOfTheScheme) {
  const std::unique_ptr<ContentDetector> http = CreateDetector("http://a/b.mp4");
  EXPECT_NE(dynamic_cast<HttpDector*>(http.get()), nullptr);
  const std::unique_ptr<ContentDetector> https = CreateDetector("HTTPS://a/b.mp4");
  EXPECT_NE(dynamic_cast<HttpDector*>(https.get()), nullptr);
  const std::unique_ptr<ContentDetector> tavp = CreateDetector("tavp://1|x|y");
  EXPECT_NE(dynamic_cast<TavpDetector*>(tavp.get()), nullptr);
}

TEST(CreateDetectorTest, DetectorKeepsTheUriAsGiven) {
  const std::string uri = "  HTTP://a/B.mp4 ";
  const std::unique_ptr<ContentDetector> detector = CreateDetector(uri);
  EXPECT_EQ(detector->uri(), uri);
  EXPECT_EQ(detector->file_name(), "");
  EXPECT_EQ(detector->content_length(), 0u);
}

class NullDetectorTest : public ::testing::TestWithParam<const char*> {};

TEST_P(NullDetectorTest, UnknownSchemeGivesNullDetectorThatRefusesBoth) {
  const std::unique_ptr<ContentDetector> detector = CreateDetector(GetParam());
  ASSERT_NE(dynamic_cast<NullDetector*>(detector.get()), nullptr);
  EXPECT_EQ(detector->uri(), "");
  EXPECT_EQ(detector->ParseFileName(), E_UNSUPPORTED_URI);
  EXPECT_EQ(detector->Detect(), E_UNSUPPORTED_URI);
  EXPECT_EQ(detector->file_name(), "");
  EXPECT_EQ(detector->content_length(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Uris, NullDetectorTest,
                         ::testing::Values("ftp://example.com/a", "http:/example.com/a", "movie",
                                           "http://", ""));

}  // namespace
}  // namespace lorvane
