// An HTTP/1.1 server on 127.0.0.1 for tests, answering each path with a scripted
// reply and recording every request it sees. It does what a real server will
// not do on demand: stall, cut a body short, reset a connection, lie about
// ranges.
//
//   TestHttpServer server;
//   ASSERT_TRUE(server.ok());
//   server.SetRoute("/movie.mp4", Reply::Pattern(10 << 20));               // ranges → 206
//   server.SetRoute("/flaky", {Reply::Text(503, ""), Reply::Text(503, ""),
//                              Reply::Pattern(4096)});                      // 503, 503, then 200
//   server.SetRoute("/stuck", Reply::Pattern(1 << 20).StallAfterBodyBytes(1000));
//   ... fetch server.Url("/movie.mp4") ...
//   ASSERT_TRUE(server.WaitForRequests(1, std::chrono::seconds(10)));
//   EXPECT_EQ(server.requests()[0].Header("range"), "bytes=0-4194303");
//
// Only loopback: the server binds 127.0.0.1 on a port the system picks, so tests
// running in parallel never meet.
#ifndef TESTS_SUPPORT_TEST_HTTP_SERVER_H_
#define TESTS_SUPPORT_TEST_HTTP_SERVER_H_

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvane::testsupport {

// Byte `offset` of the pattern body: a hash of the offset, so a block written at
// the wrong place or fetched from the wrong range never compares equal.
[[nodiscard]] char PatternByte(uint64_t offset);
// Bytes [offset, offset + count) of the pattern body.
[[nodiscard]] std::string PatternBytes(uint64_t offset, size_t count);

// Fills out[0..count) with body bytes [offset, offset + count). Called from the
// server's connection threads, possibly several at once: it must be thread-safe.
using BodyGenerator = std::function<void(uint64_t offset, char* out, size_t count)>;

// One scripted answer, made by a factory and the chainable setters.
struct Reply {
  // The point of a stall or a close before the status line; any other point is
  // a count of body bytes sent.
  static constexpr uint64_t kBeforeHeaders = UINT64_MAX;

  int status = 200;
  // Sent as given, after the server's own Content-Length, Content-Range,
  // Accept-Ranges and Connection headers.
  std::vector<std::pair<std::string, std::string>> headers;
  uint64_t size = 0;
  BodyGenerator generator;
  // A 200 reply answers "Range: bytes=a-b", "bytes=a-" and "bytes=-n" with 206
  // and Content-Range (416 when the range starts past the end); with false, the
  // Range header is ignored and the whole body goes out with 200.
  bool honour_ranges = true;
  // False: no Content-Length; the body ends when the server closes the connection.
  bool send_content_length = true;
  // A stall at that point, for the duration (zero: until ReleaseStalls or Stop).
  std::optional<uint64_t> stall_at;
  std::chrono::milliseconds stall_duration{0};
  // The connection is closed at that point (after a stall there), with a reset
  // (RST) instead of a FIN when reset_on_close.
  std::optional<uint64_t> close_at;
  bool reset_on_close = false;
  // A pause after each chunk of the body: a slow server.
  std::chrono::milliseconds chunk_delay{0};
  size_t chunk_size = 64 * 1024;

  // `status` with a text body.
  [[nodiscard]] static Reply Text(int status, std::string body);
  // 200 with `size` bytes of the pattern body (PatternByte).
  [[nodiscard]] static Reply Pattern(uint64_t size);
  // 200 with `size` bytes from `generator`.
  [[nodiscard]] static Reply Generated(uint64_t size, BodyGenerator generator);

  Reply& WithHeader(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  Reply& IgnoringRanges() {
    honour_ranges = false;
    return *this;
  }
  Reply& WithoutContentLength() {
    send_content_length = false;
    return *this;
  }
  Reply& StallBeforeHeaders(std::chrono::milliseconds duration = std::chrono::milliseconds(0)) {
    return StallAfterBodyBytes(kBeforeHeaders, duration);
  }
  Reply& StallAfterBodyBytes(uint64_t bytes,
                             std::chrono::milliseconds duration = std::chrono::milliseconds(0)) {
    stall_at = bytes;
    stall_duration = duration;
    return *this;
  }
  Reply& CloseAfterBodyBytes(uint64_t bytes, bool reset = false) {
    close_at = bytes;
    reset_on_close = reset;
    return *this;
  }
  Reply& CloseWithoutReply(bool reset = false) {
    return CloseAfterBodyBytes(kBeforeHeaders, reset);
  }
  Reply& WithChunkDelay(std::chrono::milliseconds delay, size_t chunk_bytes = 64 * 1024) {
    chunk_delay = delay;
    chunk_size = std::max<size_t>(chunk_bytes, 1);
    return *this;
  }
};

// How a reply ended, as far as the server can tell.
enum class ReplyEnd {
  kInProgress,
  kComplete,        // every byte handed to the kernel
  kClosedByScript,  // CloseAfterBodyBytes or CloseWithoutReply cut it
  kPeerGone,        // a send failed: the client closed or reset the connection
  kStopped,         // the server stopped during it
};

// One request as the server received it, and what became of its reply.
struct RequestRecord {
  std::string method;
  std::string target;  // as on the request line ("/a/b.mp4?x=1")
  std::string path;    // target without the query
  std::string version;
  std::map<std::string, std::string> headers;  // names lower-cased; repeats joined by ", "
  int status = 0;                              // of the reply, once chosen
  uint64_t body_bytes_sent = 0;
  ReplyEnd end = ReplyEnd::kInProgress;

  // The value of a header (name in any case), empty when absent.
  [[nodiscard]] std::string Header(std::string_view name) const;
  [[nodiscard]] bool HasHeader(std::string_view name) const;
};

// The server. Construction binds 127.0.0.1:0 and starts the accept thread; each
// connection is served on a thread of its own, HTTP/1.1 with keep-alive. The
// destructor stops it and waits for every thread.
//
// Threads: the test's thread calls every method; the server's threads read the
// routes and write the records. mutex_ guards everything below it; cv_ wakes
// waiters and stalled replies.
class TestHttpServer {
 public:
  TestHttpServer();
  ~TestHttpServer() { Stop(); }

  // False when the socket could not be set up (a test failure is added too).
  [[nodiscard]] bool ok() const { return port_ != 0; }
  [[nodiscard]] uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  [[nodiscard]] std::string Url(std::string_view path) const;

  // Requests for `path` (the target without its query) get `reply`. A route set
  // again replaces the old one. Paths without a route get 404 with an empty body.
  void SetRoute(const std::string& path, Reply reply) { SetRoute(path, std::vector{reply}); }
  // Successive requests for `path` get successive replies; the last one repeats.
  void SetRoute(const std::string& path, std::vector<Reply> sequence);

  // Ends every stall waiting now (later stalls wait again).
  void ReleaseStalls();
  // Closes the listening socket (later connects are refused) and every
  // connection, ends stalls, waits for the threads. Idempotent.
  void Stop();

  [[nodiscard]] std::vector<RequestRecord> requests() const {
    return Locked([&] { return records_; });
  }
  [[nodiscard]] size_t request_count() const {
    return Locked([&] { return records_.size(); });
  }
  // Connections accepted so far.
  [[nodiscard]] size_t connection_count() const {
    return Locked([&] { return connections_; });
  }
  // Body bytes of all replies handed to the kernel.
  [[nodiscard]] uint64_t body_bytes_sent() const {
    return Locked([&] { return body_bytes_sent_; });
  }

  // Each waits until the count reaches `n`; false when `timeout` passes first.
  [[nodiscard]] bool WaitForRequests(size_t n, std::chrono::milliseconds timeout) const {
    return WaitFor(timeout, [&] { return records_.size() >= n; });
  }
  [[nodiscard]] bool WaitForStalls(size_t n, std::chrono::milliseconds timeout) const {
    return WaitFor(timeout, [&] { return stalls_ >= n; });
  }
  // Replies no longer in progress.
  [[nodiscard]] bool WaitForRepliesFinished(size_t n, std::chrono::milliseconds timeout) const {
    return WaitFor(timeout, [&] { return replies_finished_ >= n; });
  }

 private:
  template <typename F>
  std::invoke_result_t<const F&> Locked(const F& read) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return read();
  }
  bool WaitFor(std::chrono::milliseconds timeout, const std::function<bool()>& done) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, done);
  }
  void AcceptLoop();
  void Serve(int fd);
  // Answers records_[record]; false when the connection must close, with
  // *reset when by an RST.
  bool Respond(int fd, size_t record, const Reply& reply, bool keep_alive, bool* reset);
  // Waits out a stall; false when the server is stopping.
  bool WaitStall(std::chrono::milliseconds duration);
  void Finish(size_t record, ReplyEnd end);

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
  size_t connections_ = 0;
  size_t stalls_ = 0;
  size_t replies_finished_ = 0;
  uint64_t body_bytes_sent_ = 0;
  uint64_t release_generation_ = 0;
};

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_TEST_HTTP_SERVER_H_
