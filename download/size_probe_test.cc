#include "download/size_probe.h"

#include <string>

#include "base/net/curl_error.h"
#include "base/platform/error.h"
#include "tests/support/isolated_env.h"
#include "tests/support/log_capture.h"
#include "gtest/gtest.h"
#include "tests/support/direct_network_state.h"
#include "tests/support/loopback_http_fixture.h"

namespace lorvane {

using tobric::kErrorConnectionRefused;
using tobric::kErrorHttpConnectionError;
using tobric::kErrorHttpHeaderNotFound;
using tobric::kErrorHttpInvalidUrl;
using tobric::kErrorHttpUnrecognizedScheme;
namespace {

using corvane::testsupport::ClosedPortUrl;
using corvane::testsupport::Reply;
using tobric::platform::HresultFromWin32;

// --- CrackUri: what the probe's buffers take ---------------------------------

TEST(CrackUriTest, SplitsWithoutCredentialsOrFragmentAndRefusesWhatIsNoHttpUri) {
  UriParts parts;
  ASSERT_EQ(CrackUri("HTTPS://user:pw@Example.com:8443/a/b.mp4?k=1&x=2#t=10", &parts), S_OK);
  EXPECT_EQ(parts.scheme + " " + parts.host + " " + parts.path,
            "https Example.com /a/b.mp4?k=1&x=2");
  EXPECT_EQ(CrackUri("http://h/" + std::string(300, 'p') + ".mp4", &parts), S_OK);
  EXPECT_EQ(CrackUri("ftp://h/a", &parts), HresultFromWin32(kErrorHttpUnrecognizedScheme));
  EXPECT_EQ(CrackUri("http://exa mple.com/a", &parts), HresultFromWin32(kErrorHttpInvalidUrl));
}

// --- ProbeResource against the loopback server -----------------------------

class ProbeTest : public corvane::testsupport::LoopbackHttpTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(LoopbackHttpTest::SetUp());
    network_ = corvane::testsupport::DirectNetworkState(env_.root(), {10'000, 1'000});
    options_.network_state = network_.get();
  }

  HRESULT Probe(const std::string& uri) {
    result_ = ProbeResult{};
    return ProbeResource(uri, options_, &result_);
  }

  tobric::platform::IsolatedEnv env_;
  testing::LogCapture log_{env_.root()};
  std::unique_ptr<tobric::UserNetworkStateImpl> network_;
  ProbeOptions options_;
  ProbeResult result_;
};

// The probe ends when the headers end: waiting for body bytes would run into
// the idle limit and fail (/slow).
TEST_F(ProbeTest, ValidatorSizeAndRangesFromTheHeaders) {
  server_.SetRoute("/slow", Reply::Pattern(1000).StallAfterBodyBytes(0));
  const std::string date = "Sun, 06 Dec 2026 10:00:00 GMT";
  for (const char* etag : {"\"abc\"", "W/\"abc\""}) {
    server_.SetRoute(etag[0] == 'W' ? "/weak" : "/strong",
                     Reply::Pattern(10).WithHeader("ETag", etag).WithHeader("Last-Modified", date));
  }
  server_.SetRoute("/big", Reply::Text(200, "").WithoutContentLength().WithHeader("content-length",
                                                                                  "  5368709120"));
  ASSERT_EQ(Probe(server_.Url("/strong")), S_OK);
  EXPECT_EQ(result_.validator, "\"abc\"");
  EXPECT_FALSE(result_.ranges_refused);
  ASSERT_EQ(Probe(server_.Url("/weak")), S_OK);
  EXPECT_EQ(result_.validator, date);
  ASSERT_EQ(Probe(server_.Url("/big")), S_OK);
  EXPECT_EQ(result_.content_length, uint64_t{5368709120});
  ASSERT_EQ(Probe(server_.Url("/slow")), S_OK);
  EXPECT_EQ(result_.content_length, 1000u);
  // One byte is asked for, not the file; an empty file answers that with a
  // 416, and a plain request gives its size.
  EXPECT_EQ(server_.requests().back().Header("range"), "bytes=0-0");
  server_.SetRoute("/empty", Reply::Pattern(0));
  ASSERT_EQ(Probe(server_.Url("/empty")), S_OK);
  EXPECT_EQ(result_.content_length, 0u);
}

// An error page is never taken for the file, whatever length it has.
TEST_F(ProbeTest, OnlyASuccessGivesASize) {
  server_.SetRoute("/gone", Reply::Text(404, "no such file"));
  server_.SetRoute("/forbidden", Reply::Text(403, std::string(153, 'x')));
  server_.SetRoute("/loop", Reply::Text(302, "").WithHeader("Location", "/loop"));
  server_.SetRoute("/ftp", Reply::Text(302, "").WithHeader("Location", "ftp://127.0.0.1/f"));
  server_.SetRoute("/live", Reply::Text(200, "x").WithoutContentLength().IgnoringRanges());
  server_.SetRoute("/fin", Reply::Text(200, "x").CloseWithoutReply());
  server_.SetRoute("/stuck", Reply::Pattern(10).StallBeforeHeaders());
  const std::string closed = ClosedPortUrl("/a");
  ASSERT_FALSE(closed.empty());
  const struct { std::string uri; HRESULT result; } cases[] = {
      {server_.Url("/gone"), E_INVALID_URL},
      {server_.Url("/forbidden"), HttpStatusHresult(403)},
      // A refused redirect once left the next transfer of its connection
      // unsent; the cases after it show it no longer does.
      {server_.Url("/loop"), E_INVALID_URL},
      {server_.Url("/ftp"), E_INVALID_URL},
      {server_.Url("/live"), HresultFromWin32(kErrorHttpHeaderNotFound)},
      {server_.Url("/fin"), HresultFromWin32(kErrorHttpConnectionError)},
      {server_.Url("/stuck"), HresultFromWin32(tobric::platform::kErrorTimeout)},
      {closed, HresultFromWin32(kErrorConnectionRefused)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Probe(c.uri), c.result) << c.uri;
    EXPECT_EQ(result_.content_length, 0u);
  }
}

}  // namespace
}  // namespace lorvane
