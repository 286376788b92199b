// The loopback test server's own guarantees that the download tests build on:
// ranges, scripted sequences on one kept-alive connection, cut-short bodies and
// released stalls. Driven with libcurl, the client the engine uses.
#include "tests/support/test_http_server.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "download/curl_global.h"
#include "gtest/gtest.h"
#include "tests/support/scoped_no_proxy.h"

namespace lorvane {
namespace {

using corvane::testsupport::PatternBytes;
using corvane::testsupport::Reply;
using corvane::testsupport::ReplyEnd;
using corvane::testsupport::ScopedNoProxy;
using corvane::testsupport::TestHttpServer;
using std::chrono::seconds;

struct Fetched {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string headers;
  std::string body;
};

size_t Append(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

class TestHttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    ASSERT_EQ(EnsureCurlInitialized(), S_OK);
    handle_.reset(curl_easy_init());
    ASSERT_NE(handle_, nullptr);
  }

  // One GET on the test's handle, so successive calls reuse its connection.
  Fetched Fetch(const std::string& path, const char* range = nullptr) {
    Fetched fetched;
    CURL* handle = handle_.get();
    curl_easy_setopt(handle, CURLOPT_URL, server_.Url(path).c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_RANGE, range);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Append);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &fetched.headers);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Append);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &fetched.body);
    fetched.code = curl_easy_perform(handle);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &fetched.status);
    return fetched;
  }

  struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
  };

  ScopedNoProxy no_proxy_;
  TestHttpServer server_;
  std::unique_ptr<CURL, CurlDeleter> handle_;
};

TEST_F(TestHttpServerTest, RangesGet206WithContentRange) {
  server_.SetRoute("/f", Reply::Pattern(10000));
  const Fetched middle = Fetch("/f", "100-199");
  ASSERT_EQ(middle.code, CURLE_OK);
  EXPECT_EQ(middle.status, 206);
  EXPECT_EQ(middle.body, PatternBytes(100, 100));
  EXPECT_NE(middle.headers.find("Content-Range: bytes 100-199/10000\r\n"), std::string::npos);

  const Fetched tail = Fetch("/f", "9990-");
  ASSERT_EQ(tail.code, CURLE_OK);
  EXPECT_EQ(tail.status, 206);
  EXPECT_EQ(tail.body, PatternBytes(9990, 10));

  const Fetched past_end = Fetch("/f", "10000-");
  EXPECT_EQ(past_end.status, 416);

  ASSERT_EQ(server_.request_count(), 3u);
  EXPECT_EQ(server_.requests()[0].Header("Range"), "bytes=100-199");

  server_.SetRoute("/whole", Reply::Pattern(3000).IgnoringRanges());
  const Fetched whole = Fetch("/whole", "100-199");
  ASSERT_EQ(whole.code, CURLE_OK);
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.body, PatternBytes(0, 3000));
}

TEST_F(TestHttpServerTest, SequenceAnswersInTurnThenRepeatsTheLastOnOneConnection) {
  server_.SetRoute("/busy",
                   {Reply::Text(503, "later"), Reply::Text(503, "later"), Reply::Text(200, "now")});
  EXPECT_EQ(Fetch("/busy").status, 503);
  EXPECT_EQ(Fetch("/busy").status, 503);
  const Fetched third = Fetch("/busy");
  EXPECT_EQ(third.status, 200);
  EXPECT_EQ(third.body, "now");
  EXPECT_EQ(Fetch("/busy").status, 200);
  EXPECT_EQ(Fetch("/elsewhere").status, 404);
  EXPECT_EQ(server_.connection_count(), 1u);
}

TEST_F(TestHttpServerTest, CloseAfterBodyBytesCutsTheReply) {
  server_.SetRoute("/cut", Reply::Pattern(100000).CloseAfterBodyBytes(5000));
  const Fetched cut = Fetch("/cut");
  EXPECT_EQ(cut.code, CURLE_PARTIAL_FILE);
  EXPECT_EQ(cut.body, PatternBytes(0, 5000));
  ASSERT_TRUE(server_.WaitForRepliesFinished(1, seconds(10)));
  EXPECT_EQ(server_.requests()[0].end, ReplyEnd::kClosedByScript);
  EXPECT_EQ(server_.requests()[0].body_bytes_sent, 5000u);
}

TEST_F(TestHttpServerTest, StallHoldsTheBodyUntilReleased) {
  server_.SetRoute("/held", Reply::Pattern(4000).StallAfterBodyBytes(1000));
  Fetched held;
  std::thread client([&] { held = Fetch("/held"); });
  ASSERT_TRUE(server_.WaitForStalls(1, seconds(10)));
  EXPECT_EQ(server_.body_bytes_sent(), 1000u);
  server_.ReleaseStalls();
  client.join();
  ASSERT_EQ(held.code, CURLE_OK);
  EXPECT_EQ(held.body, PatternBytes(0, 4000));

  // Stop ends a stall that is never released.
  server_.SetRoute("/forever", Reply::Pattern(10).StallBeforeHeaders());
  std::thread second([&] { held = Fetch("/forever"); });
  ASSERT_TRUE(server_.WaitForStalls(2, seconds(10)));
  server_.Stop();
  second.join();
  EXPECT_NE(held.code, CURLE_OK);
}

}  // namespace
}  // namespace lorvane
