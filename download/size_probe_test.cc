#include "download/size_probe.h"

#include <string>

#include "base/platform/error.h"
#include "base/platform/isolated_env_testutil.h"
#include "base/net/curl_error.h"
#include "download/log_capture_testutil.h"
#include "gtest/gtest.h"
#include "tests/support/loopback_http_fixture.h"

namespace lorvane {

using tobric::kErrorHttpUnrecognizedScheme;
using tobric::kErrorHttpInvalidUrl;
using tobric::kErrorHttpHeaderNotFound;
using tobric::kErrorHttpConnectionError;
using tobric::kErrorConnectionReset;
using tobric::kErrorConnectionRefused;
namespace {

using corvane::testsupport::ClosedPortUrl;
using corvane::testsupport::Reply;
using tobric::platform::HresultFromWin32;

constexpr HRESULT kTooLong = MakeHresult(0x8007007A);  // ERROR_INSUFFICIENT_BUFFER

// --- CrackUri: what the probe's buffers take ---------------------------------

TEST(CrackUriTest, SplitsWithoutCredentialsOrFragment) {
  UriParts parts;
  ASSERT_EQ(CrackUri("HTTPS://user:pw@Example.com:8443/a/b.mp4?k=1&x=2#t=10", &parts), S_OK);
  EXPECT_EQ(parts.scheme, "https");
  EXPECT_EQ(parts.host, "Example.com");
  EXPECT_EQ(parts.path, "/a/b.mp4?k=1&x=2");
}

// Host, path and query are measured in UTF-16 units as written; percent-encoded
// for the wire the accented path below would be 1525 characters.
TEST(CrackUriTest, LimitsOfTheProbesBuffers) {
  std::string e_acute;
  for (int i = 0; i < 254; ++i) e_acute += "\xC3\xA9";
  std::string faces;
  for (int i = 0; i < 128; ++i) faces += "\xF0\x9F\x98\x80";  // two units each
  const std::string path = "/" + std::string(200, 'p') + "?" + std::string(53, 'q');  // 255
  const struct {
    std::string uri;
    HRESULT result;
  } cases[] = {
      {"http://" + std::string(127, 'h') + "/a", S_OK},
      {"http://" + std::string(128, 'h') + "/a", kTooLong},
      {"http://h" + path, S_OK},
      {"http://h" + path + "q", kTooLong},
      {"http://h/" + e_acute, S_OK},
      {"http://h" + faces, kTooLong},
      {"ftp://h/a", HresultFromWin32(kErrorHttpUnrecognizedScheme)},
      {"http://exa mple.com/a", HresultFromWin32(kErrorHttpInvalidUrl)},
  };
  for (const auto& c : cases) {
    UriParts parts;
    EXPECT_EQ(CrackUri(c.uri, &parts), c.result) << c.uri;
  }
  UriParts parts;
  EXPECT_TRUE(Failed(CrackUri("not a url", &parts)));
}

// --- ProbeContentLength against the loopback server --------------------------

class ProbeTest : public corvane::testsupport::LoopbackHttpTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(LoopbackHttpTest::SetUp());
    options_.connect_timeout_ms = 10'000;
    options_.idle_timeout_s = 10;
  }

  ProbeOptions options_;
};

TEST_F(ProbeTest, FollowsRedirectsToTheFinalLength) {
  server_.SetRoute("/a", Reply::Text(301, "moved away").WithHeader("Location", "/b?x=1"));
  server_.SetRoute("/b", Reply::Text(302, "").WithHeader("Location", server_.Url("/c.mp4")));
  server_.SetRoute("/c.mp4", Reply::Pattern(4096));
  uint64_t length = 0;
  ASSERT_EQ(ProbeContentLength(server_.Url("/a"), options_, &length), S_OK);
  EXPECT_EQ(length, 4096u);
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].target, "/b?x=1");
  EXPECT_EQ(requests[2].target, "/c.mp4");
  EXPECT_EQ(requests[2].method, "GET");
}

TEST_F(ProbeTest, EndsWhenHeadersEndEvenIfTheBodyNeverComes) {
  // Waiting for body bytes would run into the idle limit and fail.
  server_.SetRoute("/slow.mp4", Reply::Pattern(1000).StallAfterBodyBytes(0));
  uint64_t length = 0;
  ASSERT_EQ(ProbeContentLength(server_.Url("/slow.mp4"), options_, &length), S_OK);
  EXPECT_EQ(length, 1000u);
}

TEST_F(ProbeTest, ContentLengthBeyond32BitsIsReadWhole) {
  server_.SetRoute("/big", Reply::Text(200, "").WithoutContentLength().WithHeader("content-length",
                                                                                  "  5368709120"));
  uint64_t length = 0;
  ASSERT_EQ(ProbeContentLength(server_.Url("/big"), options_, &length), S_OK);
  EXPECT_EQ(length, uint64_t{5368709120});
}

TEST_F(ProbeTest, SilenceBeforeHeadersTimesOut) {
  server_.SetRoute("/stuck", Reply::Pattern(10).StallBeforeHeaders());
  options_.idle_timeout_s = 1;
  uint64_t length = 0;
  EXPECT_EQ(ProbeContentLength(server_.Url("/stuck"), options_, &length),
            HresultFromWin32(tobric::platform::kErrorTimeout));
  EXPECT_EQ(length, 0u);
}

TEST_F(ProbeTest, FailuresCarryTheirPlatformCodes) {
  server_.SetRoute("/live", Reply::Text(200, "x").WithoutContentLength());
  server_.SetRoute("/fin", Reply::Text(200, "x").CloseWithoutReply());
  server_.SetRoute("/rst", Reply::Text(200, "x").CloseWithoutReply(/*reset=*/true));
  const std::string closed = ClosedPortUrl("/a");
  ASSERT_FALSE(closed.empty());
  const struct {
    std::string uri;
    uint32_t error;
  } cases[] = {
      {server_.Url("/live"), kErrorHttpHeaderNotFound},
      {server_.Url("/fin"), kErrorHttpConnectionError},
      {server_.Url("/rst"), kErrorConnectionReset},
      {closed, kErrorConnectionRefused},
  };
  for (const auto& c : cases) {
    uint64_t length = 0;
    EXPECT_EQ(ProbeContentLength(c.uri, options_, &length), HresultFromWin32(c.error)) << c.uri;
  }
}

// --- Log lines ----------------------------------------------------------------

class ProbeLogTest : public ProbeTest {
 protected:
  tobric::platform::IsolatedEnv env_;
  testing::LogCapture log_{env_.root()};
};

TEST_F(ProbeLogTest, LogsTheSizeOnSuccessAndTheSplitCodeOnFailure) {
  server_.SetRoute("/f.mp4", Reply::Pattern(4096));
  uint64_t length = 0;
  ASSERT_EQ(ProbeContentLength(server_.Url("/f.mp4"), options_, &length), S_OK);
  EXPECT_EQ(ProbeContentLength("http://" + std::string(128, 'h') + "/", options_, &length),
            E_INVALID_URL);
  EXPECT_EQ(log_.Count("[ContentDector::Detect][Detect Content-Length:4096 done 0x0]"), 1u);
  EXPECT_EQ(log_.Count("[ContentDector::Detect][WinHttpCrackUrl failed 0x8007007a]"), 1u);
}

}  // namespace
}  // namespace lorvane
