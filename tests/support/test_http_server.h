// An HTTP/1.1 server on 127.0.0.1 for tests, answering each path with a scripted
// reply and recording every request it sees. It does what a real server will
// not do on demand: stall, cut a body short, reset a connection, lie about
// ranges.
//
//   TestHttpServer server;
//   ASSERT_TRUE(server.ok());
//   server.SetRoute("/movie.mp4", Reply::Pattern(10 << 20));               // ranges → 206
//   server.SetRoute("/flaky", {Reply::Text(503, ""), Reply::Pattern(4096)});  // 503, then 200
//   server.SetRoute("/stuck", Reply::Pattern(1 << 20).StallAfterBodyBytes(1000));
//
// Only loopback: the server binds 127.0.0.1 on a port the system picks, so tests
// running in parallel never meet.
#ifndef TESTS_SUPPORT_TEST_HTTP_SERVER_H_
#define TESTS_SUPPORT_TEST_HTTP_SERVER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::testsupport {

// Bytes [offset, offset + count) of the pattern body: a hash of each offset, so
// a block written at the wrong place or fetched from the wrong range never
// compares equal.
[[nodiscard]] std::string PatternBytes(uint64_t offset, size_t count);

// One scripted answer, made by a factory and the chainable setters.
struct Reply {
  // The point of a stall or a close before the status line; any other point is
  // a count of body bytes sent.
  static constexpr uint64_t kBeforeHeaders = UINT64_MAX;

  int status = 200;
  // Sent after the server's own Content-Length, Content-Range, Accept-Ranges
  // and Connection headers.
  std::vector<std::pair<std::string, std::string>> headers;
  uint64_t size = 0;
  // The body; the pattern body when unset.
  std::optional<std::string> text;
  // A 200 reply answers "Range: bytes=a-b" and "bytes=a-" with 206 (416 past
  // the end); with false, the whole body goes out with 200.
  bool honour_ranges = true;
  // False: no Content-Length; the body ends when the server closes.
  bool send_content_length = true;
  // A stall there until ReleaseStalls or Stop; a close there (after a stall
  // there).
  std::optional<uint64_t> stall_at;
  std::optional<uint64_t> close_at;

  [[nodiscard]] static Reply Text(int status, std::string body);
  // 200 with `size` bytes of the pattern body.
  [[nodiscard]] static Reply Pattern(uint64_t size);

  Reply& WithHeader(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  Reply& IgnoringRanges() { return honour_ranges = false, *this; }
  Reply& WithoutContentLength() { return send_content_length = false, *this; }
  Reply& StallBeforeHeaders() { return StallAfterBodyBytes(kBeforeHeaders); }
  Reply& StallAfterBodyBytes(uint64_t bytes) { return stall_at = bytes, *this; }
  Reply& CloseAfterBodyBytes(uint64_t bytes) { return close_at = bytes, *this; }
  Reply& CloseWithoutReply() { return CloseAfterBodyBytes(kBeforeHeaders); }
};

// One request as the server received it.
struct RequestRecord {
  std::string method;
  std::string target;                          // as on the request line ("/a/b.mp4?x=1")
  std::string path;                            // target without the query
  std::map<std::string, std::string> headers;  // names lower-cased; repeats joined by ", "

  // The value of a header (name in any case), empty when absent.
  [[nodiscard]] std::string Header(std::string_view name) const;
  [[nodiscard]] bool HasHeader(std::string_view name) const;
};

// Construction binds 127.0.0.1:0 and starts the accept thread; each connection
// is served on a thread of its own, with keep-alive. mutex_ guards everything
// the server's threads share with the test's thread; cv_ wakes waiters and
// stalled replies.
class TestHttpServer {
 public:
  TestHttpServer();
  ~TestHttpServer() { Stop(); }

  [[nodiscard]] bool ok() const { return port_ != 0; }
  [[nodiscard]] uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  [[nodiscard]] std::string Url(std::string_view path) const;

  // Successive requests for `path` (without query) get successive replies; the
  // last one repeats. Paths without a route get 404.
  void SetRoute(const std::string& path, Reply reply) { SetRoute(path, std::vector{reply}); }
  void SetRoute(const std::string& path, std::vector<Reply> sequence);

  // Ends every stall waiting now (later stalls wait again).
  void ReleaseStalls();
  // Refuses new connections, closes every one, ends stalls, waits for the
  // threads. Idempotent.
  void Stop();

  [[nodiscard]] std::vector<RequestRecord> requests() const;
  [[nodiscard]] size_t request_count() const { return requests().size(); }
  // Waits until `n` stalls have begun; false when `timeout` passes first.
  [[nodiscard]] bool WaitForStalls(size_t n, std::chrono::milliseconds timeout) const;

 private:
  void AcceptLoop();
  void Serve(int fd);
  // Answers records_[record]; false when the connection must close.
  bool Respond(int fd, size_t record, const Reply& reply, bool keep_alive);
  // Waits out a stall; false when the server is stopping.
  bool WaitStall();

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread accept_thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool stopping_ = false;
  std::map<std::string, std::pair<std::vector<Reply>, size_t>> routes_;  // replies, next
  std::vector<RequestRecord> records_;
  std::set<int> open_fds_;
  int serving_ = 0;  // connection threads still running
  size_t stalls_ = 0;
  uint64_t release_generation_ = 0;
};

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_TEST_HTTP_SERVER_H_
