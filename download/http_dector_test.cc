#include "download/http_dector.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "tests/support/scoped_no_proxy.h"
#include "tests/support/test_http_server.h"

namespace lorvane {
namespace {

using corvane::testsupport::Reply;
using corvane::testsupport::ReplyEnd;
using corvane::testsupport::RequestRecord;
using corvane::testsupport::ScopedNoProxy;
using corvane::testsupport::TestHttpServer;
using std::chrono::seconds;

// --- ParseFileName: the name from the URI alone -----------------------------

struct NameCase {
  const char* uri;
  const char* name;
};

class HttpFileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(HttpFileNameTest, TakesLastSegment) {
  HttpDector detector(GetParam().uri);
  ASSERT_EQ(detector.ParseFileName(), S_OK) << GetParam().uri;
  EXPECT_EQ(detector.file_name(), GetParam().name);
  EXPECT_EQ(detector.content_length(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Names, HttpFileNameTest,
    ::testing::Values(
        NameCase{"http://example.com/videos/film.mp4", "film.mp4"},
        // A folder with its slash (or several) names the folder.
        NameCase{"http://example.com/videos/season1/", "season1"},
        NameCase{"http://example.com/videos/season1///", "season1"},
        // No path: the host.
        NameCase{"http://example.com", "example.com"},
        NameCase{"https://example.com/", "example.com"},
        NameCase{"http://example.com/a?b", "ab"},
        // The query stays, the question mark goes, nothing is decoded.
        NameCase{"http://example.com/v/a%20b.mp4?k=1&x=2/", "a%20b.mp4k=1&x=2"},
        NameCase{"http://example.com/a:b|c*d\"e<f>g.mp4", "abcdefg.mp4"},
        // The last slash counts even inside the query.
        NameCase{"http://example.com/get?file=/x/movie.mkv", "movie.mkv"},
        NameCase{"http://example.com/\xE5\xBD\xB1\xE7\x89\x87.mp4",
                 "\xE5\xBD\xB1\xE7\x89\x87.mp4"}));

class HttpFileNameInvalidTest : public ::testing::TestWithParam<const char*> {};

TEST_P(HttpFileNameInvalidTest, IsInvalidUrl) {
  HttpDector detector(GetParam());
  EXPECT_EQ(detector.ParseFileName(), E_INVALID_URL);
  EXPECT_EQ(detector.file_name(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Uris, HttpFileNameInvalidTest,
    ::testing::Values("http://example.com/x/\\:*?\"<>|",  // only removed characters
                      "http://example.com/x/?|/",         // the same before a slash
                      "example.com/film.mp4",             // no scheme
                      "c:/films/film.mp4",                // a drive letter is no scheme
                      " http://example.com/film.mp4",     // the URI is not trimmed here
                      "1http://example.com/film.mp4",
                      ""));

// --- Detect: the size probe against the loopback server ---------------------

class HttpDetectTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.ok()); }

  std::unique_ptr<HttpDector> Make(const std::string& uri) {
    auto detector = std::make_unique<HttpDector>(uri);
    ProbeOptions options;
    options.connect_timeout_ms = 10'000;
    options.idle_timeout_s = 10;
    detector->set_probe_options(options);
    return detector;
  }

  ScopedNoProxy no_proxy_;
  TestHttpServer server_;
};

TEST_F(HttpDetectTest, TakesContentLengthWithOneGetAndNeverReadsTheBody) {
  constexpr uint64_t kSize = uint64_t{512} << 20;
  server_.SetRoute("/videos/big.mp4",
                   Reply::Generated(kSize, [](uint64_t, char* out, size_t count) {
                     std::fill(out, out + count, 'v');
                   }));
  const auto detector = Make(server_.Url("/videos/big.mp4"));
  ASSERT_EQ(detector->Detect(), S_OK);
  EXPECT_EQ(detector->content_length(), kSize);
  EXPECT_EQ(detector->file_name(), "big.mp4");

  ASSERT_TRUE(server_.WaitForRepliesFinished(1, seconds(60)));
  ASSERT_EQ(server_.request_count(), 1u);
  const RequestRecord request = server_.requests()[0];
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/videos/big.mp4");
  EXPECT_FALSE(request.HasHeader("user-agent"));
  EXPECT_FALSE(request.HasHeader("accept"));
  EXPECT_FALSE(request.HasHeader("range"));
  // The client went away after the headers; what left the server is at most
  // what the socket buffers took.
  EXPECT_EQ(request.end, ReplyEnd::kPeerGone);
  EXPECT_LT(server_.body_bytes_sent(), uint64_t{64} << 20);
}

TEST_F(HttpDetectTest, ResponseWithoutContentLengthIsConnectFailed) {
  server_.SetRoute("/live.ts", Reply::Text(200, "streaming").WithoutContentLength());
  const auto detector = Make(server_.Url("/live.ts"));
  EXPECT_EQ(detector->Detect(), E_CONNECT_FAILED);
  EXPECT_EQ(detector->content_length(), 0u);
  EXPECT_EQ(detector->file_name(), "");
}

TEST_F(HttpDetectTest, NotFoundWithContentLengthIsTakenAsSize) {
  server_.SetRoute("/gone.mp4", Reply::Text(404, "no such file"));
  const auto detector = Make(server_.Url("/gone.mp4"));
  ASSERT_EQ(detector->Detect(), S_OK);
  EXPECT_EQ(detector->content_length(), 12u);
  EXPECT_EQ(detector->file_name(), "gone.mp4");
}

TEST_F(HttpDetectTest, RefusedConnectionIsConnectFailed) {
  uint16_t closed_port;
  {
    TestHttpServer gone;
    ASSERT_TRUE(gone.ok());
    closed_port = gone.port();
  }
  const auto detector = Make("http://127.0.0.1:" + std::to_string(closed_port) + "/a.mp4");
  EXPECT_EQ(detector->Detect(), E_CONNECT_FAILED);
}

TEST_F(HttpDetectTest, HostOver127CharactersIsInvalidUrl) {
  const auto detector = Make("http://" + std::string(128, 'h') + "/a.mp4");
  EXPECT_EQ(detector->Detect(), E_INVALID_URL);
  EXPECT_EQ(detector->file_name(), "");
}

TEST_F(HttpDetectTest, PathOver255CharactersIsInvalidUrlAndNothingIsSent) {
  const std::string path = "/" + std::string(251, 'p') + ".mp4";  // 256 characters
  server_.SetRoute(path, Reply::Text(200, "x"));
  const auto detector = Make(server_.Url(path));
  EXPECT_EQ(detector->Detect(), E_INVALID_URL);
  EXPECT_EQ(server_.request_count(), 0u);
}

TEST_F(HttpDetectTest, PathOf255CharactersIsProbed) {
  const std::string path = "/" + std::string(250, 'p') + ".mp4";  // 255 characters
  server_.SetRoute(path, Reply::Text(200, "four"));
  const auto detector = Make(server_.Url(path));
  ASSERT_EQ(detector->Detect(), S_OK);
  EXPECT_EQ(detector->content_length(), 4u);
  ASSERT_EQ(server_.request_count(), 1u);
  EXPECT_EQ(server_.requests()[0].target, path);
}

TEST_F(HttpDetectTest, NameComesFromTheUriNotTheRedirectTarget) {
  server_.SetRoute("/download", Reply::Text(302, "").WithHeader("Location", "/files/film.mkv"));
  server_.SetRoute("/files/film.mkv", Reply::Text(200, "0123456789"));
  const auto detector = Make(server_.Url("/download"));
  ASSERT_EQ(detector->Detect(), S_OK);
  EXPECT_EQ(detector->content_length(), 10u);
  EXPECT_EQ(detector->file_name(), "download");
}

}  // namespace
}  // namespace lorvane
