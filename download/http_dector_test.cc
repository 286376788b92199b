#include "download/http_dector.h"

#include <memory>
#include <string>

#include "tests/support/isolated_env.h"
#include "gtest/gtest.h"
#include "tests/support/direct_network_state.h"
#include "tests/support/loopback_http_fixture.h"

namespace lorvane {
namespace {

using corvane::testsupport::Reply;

// --- ParseFileName: the name from the URI alone (the rules: file_name_test) --

TEST(HttpFileNameTest, RefusesWhatIsNoUrl) {
  for (const char* uri : {"example.com/film.mp4",          // no scheme
                          "c:/films/film.mp4",             // a drive letter is no scheme
                          " http://example.com/film.mp4",  // the URI is not trimmed here
                          ""}) {
    HttpDector refused(uri);
    EXPECT_EQ(refused.ParseFileName(), E_INVALID_URL) << uri;
    EXPECT_EQ(refused.file_name(), "");
  }
}

// --- Detect: the size probe against the loopback server ---------------------

class HttpDetectTest : public corvane::testsupport::LoopbackHttpTest {
 protected:
  std::unique_ptr<HttpDector> Make(const std::string& uri) {
    auto detector = std::make_unique<HttpDector>(uri);
    ProbeOptions options;
    options.network_state = network_.get();
    detector->set_probe_options(options);
    return detector;
  }

  tobric::platform::IsolatedEnv env_;
  std::unique_ptr<tobric::UserNetworkStateImpl> network_ =
      corvane::testsupport::DirectNetworkState(env_.root());
};

TEST_F(HttpDetectTest, OutcomesOfTheProbe) {
  server_.SetRoute("/live.ts",
                   Reply::Text(200, "streaming").WithoutContentLength().IgnoringRanges());
  server_.SetRoute("/download", Reply::Text(302, "").WithHeader("Location", "/files/film.mkv"));
  server_.SetRoute("/files/film.mkv", Reply::Text(200, "0123456789"));
  const struct { std::string uri; HRESULT result; uint64_t length; std::string name; } cases[] = {
      {server_.Url("/live.ts"), E_CONNECT_FAILED, 0, ""},
      // The name comes from the URI, not from the redirect target.
      {server_.Url("/download"), S_OK, 10, "download"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uri);
    const auto detector = Make(c.uri);
    EXPECT_EQ(detector->Detect(), c.result);
    EXPECT_EQ(detector->content_length(), c.length);
    EXPECT_EQ(detector->file_name(), c.name);
  }
}

}  // namespace
}  // namespace lorvane
