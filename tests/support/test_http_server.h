// An HTTP/1.1 server on 127.0.0.1 for tests, answering each path with a scripted
// reply and recording every request it sees.
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

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
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

// One scripted answer. Build it with a factory and the chainable setters, or set
// the fields directly.
struct Reply {
  // Where a stall happens: before the status line, or after some body bytes.
  static constexpr uint64_t kBeforeHeaders = UINT64_MAX;
  struct Stall {
    uint64_t after_body_bytes = kBeforeHeaders;
    // Zero: until TestHttpServer::ReleaseStalls (or Stop).
    std::chrono::milliseconds duration{0};
  };

  int status = 200;
  // Empty: the usual phrase of the status.
  std::string reason;
  // Sent as given, after the server's own Content-Length, Content-Range,
  // Accept-Ranges and Connection headers.
  std::vector<std::pair<std::string, std::string>> headers;
  // The body, unless a generator is set.
  std::string body;
  BodyGenerator generator;
  uint64_t generated_size = 0;
  // A 200 reply answers "Range: bytes=a-b", "bytes=a-" and "bytes=-n" with 206
  // and Content-Range (416 when the range starts past the end); with false, the
  // Range header is ignored and the whole body goes out with 200.
  bool honour_ranges = true;
  // False: no Content-Length; the body ends when the server closes the connection.
  bool send_content_length = true;
  std::optional<Stall> stall;
  // The connection is closed after this many body bytes (the reply is cut short).
  std::optional<uint64_t> close_after_body_bytes;
  // The connection is closed once the request is read, before any reply.
  bool close_without_reply = false;
  // With close_after_body_bytes or close_without_reply: close with a reset (RST)
  // instead of a FIN.
  bool reset_on_close = false;
  // A pause after each chunk of the body: a slow server.
  std::chrono::milliseconds chunk_delay{0};
  size_t chunk_size = 64 * 1024;
  // Send "Connection: close" and close after this reply.
  bool close_connection = false;

  // `status` with a text body.
  [[nodiscard]] static Reply Text(int status, std::string body);
  // 200 with `size` bytes of the pattern body (PatternByte).
  [[nodiscard]] static Reply Pattern(uint64_t size);
  // 200 with `size` bytes from `generator`.
  [[nodiscard]] static Reply Generated(uint64_t size, BodyGenerator generator);

  Reply& WithStatus(int new_status);
  Reply& WithHeader(std::string name, std::string value);
  Reply& IgnoringRanges();
  Reply& WithoutContentLength();
  Reply& StallBeforeHeaders(std::chrono::milliseconds duration = std::chrono::milliseconds(0));
  Reply& StallAfterBodyBytes(uint64_t bytes,
                             std::chrono::milliseconds duration = std::chrono::milliseconds(0));
  Reply& CloseAfterBodyBytes(uint64_t bytes, bool reset = false);
  Reply& CloseWithoutReply(bool reset = false);
  Reply& WithChunkDelay(std::chrono::milliseconds delay, size_t chunk_bytes = 64 * 1024);
  Reply& ClosingConnection();

  // The size of the whole body.
  [[nodiscard]] uint64_t BodySize() const;
};

// How a reply ended, as far as the server can tell.
enum class ReplyEnd {
  kInProgress,
  kComplete,        // every byte handed to the kernel
  kClosedByScript,  // close_after_body_bytes or close_without_reply cut it
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
  std::chrono::steady_clock::time_point time;
  int connection = 0;  // number of the connection it came on, from 0 in accept order
  int status = 0;      // of the reply, once chosen
  uint64_t body_bytes_sent = 0;
  ReplyEnd end = ReplyEnd::kInProgress;

  // The value of a header (name in any case), empty when absent.
  [[nodiscard]] std::string Header(std::string_view name) const;
  [[nodiscard]] bool HasHeader(std::string_view name) const;
};

// The server. Construction binds 127.0.0.1:0 and starts the accept thread; each
// connection is served on its own thread, HTTP/1.1 with keep-alive. The
// destructor stops it and joins every thread.
//
// Threads: the test's thread calls every method; the server's threads read the
// routes and write the records. mutex_ guards routes, records, counters and the
// connection list; cv_ wakes waiters and stalled replies.
class TestHttpServer {
 public:
  TestHttpServer();
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  // False when the socket could not be set up (a test failure is added too).
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  [[nodiscard]] std::string Url(std::string_view path) const;

  // Requests for `path` (the target without its query) get `reply`. A route set
  // again replaces the old one. Paths without a route get 404 with an empty body.
  void SetRoute(const std::string& path, Reply reply);
  // Successive requests for `path` get successive replies; the last one repeats.
  void SetRoute(const std::string& path, std::vector<Reply> sequence);

  // Ends every stall waiting now (later stalls wait again).
  void ReleaseStalls();
  // Closes the listening socket (later connects are refused) and every
  // connection, ends stalls, joins threads. Idempotent; the destructor calls it.
  void Stop();

  [[nodiscard]] std::vector<RequestRecord> requests() const;
  [[nodiscard]] size_t request_count() const;
  // Connections accepted so far.
  [[nodiscard]] size_t connection_count() const;
  // Body bytes of all replies handed to the kernel.
  [[nodiscard]] uint64_t body_bytes_sent() const;
  // Stalls reached so far (each reply's stall counts once).
  [[nodiscard]] size_t stall_count() const;

  // Each waits until the count reaches `n`; false when `timeout` passes first.
  [[nodiscard]] bool WaitForRequests(size_t n, std::chrono::milliseconds timeout) const;
  [[nodiscard]] bool WaitForStalls(size_t n, std::chrono::milliseconds timeout) const;
  // Replies no longer in progress.
  [[nodiscard]] bool WaitForRepliesFinished(size_t n, std::chrono::milliseconds timeout) const;

 private:
  struct Route {
    std::vector<Reply> sequence;
    size_t next = 0;
  };
  struct Connection {
    int fd = -1;  // -1 once the connection's thread has closed it
    bool done = false;
    std::thread thread;
  };
  // What becomes of a connection after a reply.
  enum class After { kKeepAlive, kClose, kReset };
  struct BodySlice {
    uint64_t begin = 0;
    uint64_t length = 0;
  };

  void AcceptLoop();
  void Serve(Connection* connection, int number);
  // Reads one request (head and any body) from `buffer` and the socket; false
  // when the connection ended or the request cannot be understood.
  bool ReadRequest(int fd, std::string* buffer, RequestRecord* record, bool* must_close);
  After Respond(int fd, size_t record, const Reply& reply, bool head_only, bool client_keeps_alive);
  // Waits out a stall; false when the server is stopping.
  bool WaitStall(const Reply::Stall& stall);
  bool SendAll(int fd, const char* data, size_t size);
  void Finish(size_t record, ReplyEnd end);
  void CloseConnection(Connection* connection, bool reset);
  void ReapFinishedConnections();

  bool ok_ = false;
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread accept_thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  // Guarded by mutex_.
  bool stopping_ = false;
  std::map<std::string, Route> routes_;
  std::vector<RequestRecord> records_;
  std::list<Connection> connections_;
  size_t connections_accepted_ = 0;
  size_t stalls_reached_ = 0;
  size_t replies_finished_ = 0;
  uint64_t body_bytes_sent_ = 0;
  uint64_t release_generation_ = 0;
};

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_TEST_HTTP_SERVER_H_
