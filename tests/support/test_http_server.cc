#include "tests/support/test_http_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "base/net/curl_http.h"
#include "gtest/gtest.h"

namespace corvane::testsupport {

namespace {

using tobric::http_text::ParseUnsigned;

// A request head larger than this is refused by closing the connection.
constexpr size_t kMaxHeadBytes = 64 * 1024;

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

// A single byte range of a body of `total` bytes. Returns false when the header
// is to be ignored (absent, malformed, several ranges); sets *unsatisfiable when
// the range lies wholly past the end.
bool ParseRange(std::string_view header, uint64_t total, uint64_t* first, uint64_t* last,
                bool* unsatisfiable) {
  *unsatisfiable = false;
  header = TrimBlanks(header);
  constexpr std::string_view kUnit = "bytes=";
  if (!header.starts_with(kUnit)) return false;
  header.remove_prefix(kUnit.size());
  if (header.find(',') != std::string_view::npos) return false;
  const size_t dash = header.find('-');
  if (dash == std::string_view::npos) return false;
  const std::string_view from = TrimBlanks(header.substr(0, dash));
  const std::string_view to = TrimBlanks(header.substr(dash + 1));
  uint64_t a = 0;
  uint64_t b = 0;
  if (from.empty()) {  // suffix: the last b bytes
    if (!ParseUnsigned(to, &b) || b == 0) return false;
    if (total == 0) {
      *unsatisfiable = true;
      return true;
    }
    *first = b >= total ? 0 : total - b;
    *last = total - 1;
    return true;
  }
  if (!ParseUnsigned(from, &a)) return false;
  if (to.empty()) {
    b = UINT64_MAX;
  } else if (!ParseUnsigned(to, &b) || b < a) {
    return false;
  }
  if (a >= total) {
    *unsatisfiable = true;
    return true;
  }
  *first = a;
  *last = std::min(b, total - 1);
  return true;
}

// Fills method, target, path, version and headers from a request head (without
// its closing blank line); false when the request line is malformed.
bool ParseHead(std::string_view head, RequestRecord* record) {
  size_t line_end = head.find("\r\n");
  const std::string_view request_line = head.substr(0, line_end);
  const size_t first_space = request_line.find(' ');
  const size_t last_space = request_line.rfind(' ');
  if (first_space == std::string_view::npos || last_space == first_space) return false;
  record->method = std::string(request_line.substr(0, first_space));
  record->target = std::string(request_line.substr(first_space + 1, last_space - first_space - 1));
  record->version = std::string(request_line.substr(last_space + 1));
  while (line_end != std::string_view::npos) {
    const size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    const std::string_view line = head.substr(
        start, line_end == std::string_view::npos ? std::string_view::npos : line_end - start);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string name = LowerAscii(TrimBlanks(line.substr(0, colon)));
    const std::string value(TrimBlanks(line.substr(colon + 1)));
    auto [it, inserted] = record->headers.emplace(name, value);
    if (!inserted) it->second += ", " + value;
  }
  // A request to a proxy names the whole URL; the route is its path.
  std::string_view path = record->target;
  if (path.starts_with("http://") || path.starts_with("https://")) {
    const size_t slash = path.find('/', path.find("//") + 2);
    path = slash == std::string_view::npos ? std::string_view("/") : path.substr(slash);
  }
  record->path = std::string(path.substr(0, path.find('?')));
  return true;
}

}  // namespace

char PatternByte(uint64_t offset) {
  uint64_t x = offset + 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return static_cast<char>((x ^ (x >> 31)) & 0xFF);
}

std::string PatternBytes(uint64_t offset, size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = PatternByte(offset + i);
  return bytes;
}

Reply Reply::Text(int status, std::string body) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

Reply Reply::Pattern(uint64_t size) {
  return Generated(size, [](uint64_t offset, char* out, size_t count) {
    for (size_t i = 0; i < count; ++i) out[i] = PatternByte(offset + i);
  });
}

Reply Reply::Generated(uint64_t size, BodyGenerator generator) {
  Reply reply;
  reply.generator = std::move(generator);
  reply.generated_size = size;
  return reply;
}

Reply& Reply::WithStatus(int new_status) {
  status = new_status;
  return *this;
}

Reply& Reply::WithHeader(std::string name, std::string value) {
  headers.emplace_back(std::move(name), std::move(value));
  return *this;
}

Reply& Reply::IgnoringRanges() {
  honour_ranges = false;
  return *this;
}

Reply& Reply::WithoutContentLength() {
  send_content_length = false;
  return *this;
}

Reply& Reply::StallBeforeHeaders(std::chrono::milliseconds duration) {
  stall = Stall{kBeforeHeaders, duration};
  return *this;
}

Reply& Reply::StallAfterBodyBytes(uint64_t bytes, std::chrono::milliseconds duration) {
  stall = Stall{bytes, duration};
  return *this;
}

Reply& Reply::CloseAfterBodyBytes(uint64_t bytes, bool reset) {
  close_after_body_bytes = bytes;
  reset_on_close = reset;
  return *this;
}

Reply& Reply::CloseWithoutReply(bool reset) {
  close_without_reply = true;
  reset_on_close = reset;
  return *this;
}

Reply& Reply::WithChunkDelay(std::chrono::milliseconds delay, size_t chunk_bytes) {
  chunk_delay = delay;
  chunk_size = chunk_bytes;
  return *this;
}

Reply& Reply::ClosingConnection() {
  close_connection = true;
  return *this;
}

uint64_t Reply::BodySize() const { return generator ? generated_size : body.size(); }

std::string RequestRecord::Header(std::string_view name) const {
  const auto it = headers.find(LowerAscii(name));
  return it == headers.end() ? std::string() : it->second;
}

bool RequestRecord::HasHeader(std::string_view name) const {
  return headers.count(LowerAscii(name)) != 0;
}

TestHttpServer::TestHttpServer() {
  if (pipe2(wake_pipe_, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << strerror(errno);
    return;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ADD_FAILURE() << "socket: " << strerror(errno);
    return;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ADD_FAILURE() << "bind/listen on 127.0.0.1: " << strerror(errno);
    close(fd);
    return;
  }
  ok_ = true;
  listen_fd_ = fd;
  port_ = ntohs(address.sin_port);
  accept_thread_ = std::thread(&TestHttpServer::AcceptLoop, this);
}

TestHttpServer::~TestHttpServer() {
  Stop();
  for (int& fd : wake_pipe_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

std::string TestHttpServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void TestHttpServer::SetRoute(const std::string& path, Reply reply) {
  std::vector<Reply> sequence;
  sequence.push_back(std::move(reply));
  SetRoute(path, std::move(sequence));
}

void TestHttpServer::SetRoute(const std::string& path, std::vector<Reply> sequence) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[path] = Route{std::move(sequence), 0};
}

void TestHttpServer::ReleaseStalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++release_generation_;
  cv_.notify_all();
}

void TestHttpServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    cv_.notify_all();
  }
  if (wake_pipe_[1] >= 0) {
    const char wake = 1;
    while (write(wake_pipe_[1], &wake, 1) < 0 && errno == EINTR) {
    }
  }
  if (accept_thread_.joinable()) accept_thread_.join();
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    listen_fd_ = -1;
  }
  // No connection is added once the accept thread has ended.
  std::list<Connection> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Connection& connection : connections_) {
      // Wakes a thread blocked in recv or send; the thread closes the socket.
      if (connection.fd >= 0) shutdown(connection.fd, SHUT_RDWR);
    }
    // Moving list nodes keeps the addresses the threads hold.
    connections.splice(connections.end(), connections_);
  }
  for (Connection& connection : connections) connection.thread.join();
}

std::vector<RequestRecord> TestHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

size_t TestHttpServer::request_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.size();
}

size_t TestHttpServer::connection_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_accepted_;
}

uint64_t TestHttpServer::body_bytes_sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return body_bytes_sent_;
}

size_t TestHttpServer::stall_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stalls_reached_;
}

bool TestHttpServer::WaitForRequests(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return records_.size() >= n; });
}

bool TestHttpServer::WaitForStalls(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return stalls_reached_ >= n; });
}

bool TestHttpServer::WaitForRepliesFinished(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return replies_finished_ >= n; });
}

void TestHttpServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    const int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // Small heads and first body bytes go out at once rather than waiting for
    // the client's delayed acknowledgement.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ReapFinishedConnections();
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      close(fd);
      return;
    }
    Connection& connection = connections_.emplace_back();
    connection.fd = fd;
    const int number = static_cast<int>(connections_accepted_++);
    connection.thread = std::thread(&TestHttpServer::Serve, this, &connection, number);
  }
}

void TestHttpServer::ReapFinishedConnections() {
  std::list<Connection> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      const auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), connections_, it);
      it = next;
    }
  }
  for (Connection& connection : finished) connection.thread.join();
}

void TestHttpServer::Serve(Connection* connection, int number) {
  int fd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fd = connection->fd;
  }
  std::string buffer;
  bool reset = false;
  for (;;) {
    RequestRecord record;
    bool must_close = false;
    if (!ReadRequest(fd, &buffer, &record, &must_close)) break;
    record.connection = number;
    const std::string connection_header = LowerAscii(record.Header("connection"));
    const bool client_keeps_alive =
        !must_close && (record.version == "HTTP/1.1"
                            ? connection_header.find("close") == std::string::npos
                            : connection_header.find("keep-alive") != std::string::npos);
    const bool head_only = record.method == "HEAD";

    Reply reply;
    size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      const auto route = routes_.find(record.path);
      if (route == routes_.end() || route->second.sequence.empty()) {
        reply = Reply::Text(404, "");
      } else {
        Route& r = route->second;
        reply = r.sequence[std::min(r.next, r.sequence.size() - 1)];
        ++r.next;
      }
      index = records_.size();
      records_.push_back(std::move(record));
      cv_.notify_all();
    }
    const After after = Respond(fd, index, reply, head_only, client_keeps_alive);
    if (after == After::kKeepAlive) continue;
    reset = after == After::kReset;
    break;
  }
  CloseConnection(connection, reset);
}

bool TestHttpServer::ReadRequest(int fd, std::string* buffer, RequestRecord* record,
                                 bool* must_close) {
  size_t head_end;
  while ((head_end = buffer->find("\r\n\r\n")) == std::string::npos) {
    if (buffer->size() > kMaxHeadBytes) return false;
    char chunk[8192];
    const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer->append(chunk, static_cast<size_t>(n));
  }
  record->time = std::chrono::steady_clock::now();
  if (!ParseHead(std::string_view(*buffer).substr(0, head_end), record)) return false;
  buffer->erase(0, head_end + 4);

  // A request body is read and dropped; chunked bodies are not understood, so
  // such a connection ends after its reply.
  uint64_t body_left = 0;
  *must_close =
      LowerAscii(record->Header("transfer-encoding")).find("chunked") != std::string::npos;
  if (record->HasHeader("content-length") &&
      !ParseUnsigned(record->Header("content-length"), &body_left)) {
    *must_close = true;
  }
  while (body_left > 0) {
    if (!buffer->empty()) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(body_left, buffer->size()));
      buffer->erase(0, take);
      body_left -= take;
      continue;
    }
    char chunk[8192];
    const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer->append(chunk, static_cast<size_t>(n));
  }
  return true;
}

TestHttpServer::After TestHttpServer::Respond(int fd, size_t record, const Reply& reply,
                                              bool head_only, bool client_keeps_alive) {
  const bool stall_before_headers =
      reply.stall.has_value() && reply.stall->after_body_bytes == Reply::kBeforeHeaders;
  if (stall_before_headers && !WaitStall(*reply.stall)) {
    Finish(record, ReplyEnd::kStopped);
    return After::kClose;
  }
  if (reply.close_without_reply) {
    Finish(record, ReplyEnd::kClosedByScript);
    return reply.reset_on_close ? After::kReset : After::kClose;
  }

  const uint64_t total = reply.BodySize();
  int status = reply.status;
  BodySlice slice{0, total};
  std::string content_range;
  if (status == 200 && reply.honour_ranges) {
    std::string range;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      range = records_[record].Header("range");
    }
    uint64_t first = 0;
    uint64_t last = 0;
    bool unsatisfiable = false;
    if (!range.empty() && ParseRange(range, total, &first, &last, &unsatisfiable)) {
      if (unsatisfiable) {
        status = 416;
        slice = BodySlice{0, 0};
        content_range = "bytes */" + std::to_string(total);
      } else {
        status = 206;
        slice = BodySlice{first, last - first + 1};
        content_range = "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                        std::to_string(total);
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    records_[record].status = status;
  }

  const bool close_after = reply.close_connection || !reply.send_content_length ||
                           !client_keeps_alive;
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " +
                     (reply.reason.empty() ? ReasonPhrase(status) : reply.reason) + "\r\n";
  if (reply.send_content_length) head += "Content-Length: " + std::to_string(slice.length) + "\r\n";
  if (!content_range.empty()) head += "Content-Range: " + content_range + "\r\n";
  if (reply.honour_ranges && (status == 200 || status == 206)) head += "Accept-Ranges: bytes\r\n";
  if (close_after) head += "Connection: close\r\n";
  for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
  head += "\r\n";
  if (!SendAll(fd, head.data(), head.size())) {
    Finish(record, ReplyEnd::kPeerGone);
    return After::kClose;
  }
  if (head_only) {
    Finish(record, ReplyEnd::kComplete);
    return close_after ? After::kClose : After::kKeepAlive;
  }

  const bool stall_in_body = reply.stall.has_value() && !stall_before_headers;
  bool stalled = false;
  std::string chunk;
  uint64_t sent = 0;
  for (;;) {
    if (stall_in_body && !stalled && sent >= reply.stall->after_body_bytes) {
      stalled = true;
      if (!WaitStall(*reply.stall)) {
        Finish(record, ReplyEnd::kStopped);
        return After::kClose;
      }
    }
    if (reply.close_after_body_bytes.has_value() && sent >= *reply.close_after_body_bytes) {
      Finish(record, ReplyEnd::kClosedByScript);
      return reply.reset_on_close ? After::kReset : After::kClose;
    }
    if (sent >= slice.length) break;
    uint64_t n = std::min<uint64_t>(std::max<size_t>(reply.chunk_size, 1), slice.length - sent);
    if (stall_in_body && !stalled) n = std::min(n, reply.stall->after_body_bytes - sent);
    if (reply.close_after_body_bytes.has_value()) {
      n = std::min(n, *reply.close_after_body_bytes - sent);
    }
    const uint64_t offset = slice.begin + sent;
    if (reply.generator) {
      chunk.resize(static_cast<size_t>(n));
      reply.generator(offset, chunk.data(), chunk.size());
    } else {
      chunk.assign(reply.body, static_cast<size_t>(offset), static_cast<size_t>(n));
    }
    if (!SendAll(fd, chunk.data(), chunk.size())) {
      Finish(record, ReplyEnd::kPeerGone);
      return After::kClose;
    }
    sent += n;
    std::unique_lock<std::mutex> lock(mutex_);
    records_[record].body_bytes_sent += n;
    body_bytes_sent_ += n;
    if (reply.chunk_delay.count() > 0 &&
        cv_.wait_for(lock, reply.chunk_delay, [&] { return stopping_; })) {
      lock.unlock();
      Finish(record, ReplyEnd::kStopped);
      return After::kClose;
    }
  }
  Finish(record, ReplyEnd::kComplete);
  return close_after ? After::kClose : After::kKeepAlive;
}

bool TestHttpServer::WaitStall(const Reply::Stall& stall) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++stalls_reached_;
  cv_.notify_all();
  const uint64_t generation = release_generation_;
  const auto released = [&] { return stopping_ || release_generation_ != generation; };
  if (stall.duration.count() > 0) {
    cv_.wait_for(lock, stall.duration, released);
  } else {
    cv_.wait(lock, released);
  }
  return !stopping_;
}

bool TestHttpServer::SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void TestHttpServer::Finish(size_t record, ReplyEnd end) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_[record].end = end;
  ++replies_finished_;
  cv_.notify_all();
}

void TestHttpServer::CloseConnection(Connection* connection, bool reset) {
  int fd;
  {
    // Once fd is -1, Stop no longer touches the number, which close may hand to
    // another socket at once.
    std::lock_guard<std::mutex> lock(mutex_);
    fd = connection->fd;
    connection->fd = -1;
  }
  if (reset) {
    const linger abort_on_close{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close));
  } else {
    shutdown(fd, SHUT_WR);
  }
  close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  connection->done = true;
}

}  // namespace corvane::testsupport
