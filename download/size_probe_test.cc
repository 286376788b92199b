#include "download/size_probe.h"

#include <chrono>
#include <string>

#include "base/platform/error.h"
#include "base/platform/isolated_env_testutil.h"
#include "download/curl_error.h"
#include "download/log_capture_testutil.h"
#include "gtest/gtest.h"
#include "tests/support/scoped_no_proxy.h"
#include "tests/support/test_http_server.h"

namespace lorvane {
namespace {

using corvane::testsupport::Reply;
using corvane::testsupport::ScopedNoProxy;
using corvane::testsupport::TestHttpServer;
using std::chrono::seconds;
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

TEST(CrackUriTest, HostOf127FitsAnd128DoesNot) {
  UriParts parts;
  EXPECT_EQ(CrackUri("http://" + std::string(127, 'h') + "/a", &parts), S_OK);
  EXPECT_EQ(CrackUri("http://" + std::string(128, 'h') + "/a", &parts), kTooLong);
}

TEST(CrackUriTest, PathAndQueryOf255FitAnd256DoNot) {
  UriParts parts;
  const std::string path = "/" + std::string(200, 'p');
  const std::string query = std::string(53, 'q');  // with "?", 255 in all
  EXPECT_EQ(CrackUri("http://h" + path + "?" + query, &parts), S_OK);
  EXPECT_EQ(parts.path.size(), 255u);
  EXPECT_EQ(CrackUri("http://h" + path + "?" + query + "q", &parts), kTooLong);
}

TEST(CrackUriTest, PathIsCountedInUtf16UnitsAsWritten) {
  UriParts parts;
  std::string e_acute;
  for (int i = 0; i < 254; ++i) e_acute += "\xC3\xA9";
  // 255 units; percent-encoded for the wire it would be 1525 characters.
  EXPECT_EQ(CrackUri("http://h/" + e_acute, &parts), S_OK);
  std::string faces;
  for (int i = 0; i < 128; ++i) faces += "\xF0\x9F\x98\x80";  // two units each
  EXPECT_EQ(CrackUri("http://h" + faces, &parts), kTooLong);
}

TEST(CrackUriTest, RefusesOtherSchemesAndMalformedText) {
  UriParts parts;
  EXPECT_EQ(CrackUri("ftp://h/a", &parts), HresultFromWin32(kErrorHttpUnrecognizedScheme));
  EXPECT_EQ(CrackUri("http://exa mple.com/a", &parts), HresultFromWin32(kErrorHttpInvalidUrl));
  EXPECT_TRUE(Failed(CrackUri("not a url", &parts)));
}

// --- ProbeContentLength against the loopback server --------------------------

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    options_.connect_timeout_ms = 10'000;
    options_.idle_timeout_s = 10;
  }

  ScopedNoProxy no_proxy_;
  TestHttpServer server_;
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
  server_.SetRoute("/big", Reply::Text(200, "").WithoutContentLength().WithHeader(
                               "content-length", "  5368709120"));
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

TEST_F(ProbeTest, RefusedConnectionIsConnectionRefused) {
  uint16_t closed_port;
  {
    TestHttpServer gone;
    ASSERT_TRUE(gone.ok());
    closed_port = gone.port();
  }
  uint64_t length = 0;
  EXPECT_EQ(ProbeContentLength("http://127.0.0.1:" + std::to_string(closed_port) + "/a",
                               options_, &length),
            HresultFromWin32(kErrorConnectionRefused));
}

TEST_F(ProbeTest, MissingContentLengthIsHeaderNotFound) {
  server_.SetRoute("/live", Reply::Text(200, "x").WithoutContentLength());
  uint64_t length = 0;
  EXPECT_EQ(ProbeContentLength(server_.Url("/live"), options_, &length),
            HresultFromWin32(kErrorHttpHeaderNotFound));
}

TEST_F(ProbeTest, ConnectionClosedWithoutResponse) {
  server_.SetRoute("/fin", Reply::Text(200, "x").CloseWithoutReply());
  server_.SetRoute("/rst", Reply::Text(200, "x").CloseWithoutReply(/*reset=*/true));
  uint64_t length = 0;
  EXPECT_EQ(ProbeContentLength(server_.Url("/fin"), options_, &length),
            HresultFromWin32(kErrorHttpConnectionError));
  EXPECT_EQ(ProbeContentLength(server_.Url("/rst"), options_, &length),
            HresultFromWin32(kErrorConnectionReset));
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
