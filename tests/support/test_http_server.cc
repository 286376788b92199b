#include "tests/support/test_http_server.h"

#include <algorithm>

#include "base/net/curl_http.h"
#include "base/platform/console_host.h"
#include "base/platform/testing/tcp_testutil_posix.h"
#include "gtest/gtest.h"

namespace corvane::testsupport {

namespace {

namespace tcp = tobric::platform::testutil;
using tobric::http_text::HeaderName;
using tobric::http_text::HeaderValue;
using tobric::http_text::ParseUnsigned;
using tobric::http_text::TrimBlanks;

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return lower;
}

// Reads more of the connection into *buffer; false at its end.
bool ReadMore(int fd, std::string* buffer) {
  char chunk[8192];
  size_t read = 0;
  if (Failed(tobric::platform::ReadFd(fd, chunk, sizeof(chunk), &read)) || read == 0) return false;
  buffer->append(chunk, read);
  return true;
}

// The single range "bytes=a-b" or "bytes=a-" of a body of `total` bytes as
// [*first, *last]; false when the header is to be ignored. *first > *last when
// the range lies wholly past the end.
bool ParseRange(std::string_view header, uint64_t total, uint64_t* first, uint64_t* last) {
  header = TrimBlanks(header);
  const size_t dash = header.find('-');
  if (!header.starts_with("bytes=") || dash == std::string_view::npos) return false;
  const std::string_view to = TrimBlanks(header.substr(dash + 1));
  uint64_t a = 0, b = UINT64_MAX;
  if (!ParseUnsigned(TrimBlanks(header.substr(6, dash - 6)), &a) ||
      (!to.empty() && (!ParseUnsigned(to, &b) || b < a))) {
    return false;
  }
  *first = a >= total ? 1 : a;
  *last = a >= total ? 0 : std::min(b, total - 1);
  return true;
}

// Fills the request line's parts and the headers from a head without its
// closing blank line; false when the request line is malformed.
bool ParseHead(std::string_view head, RequestRecord* record) {
  const std::vector<std::string_view> lines = tobric::http_text::Split(head, "\r\n");
  const std::vector<std::string_view> words =
      tobric::http_text::Split(lines.empty() ? "" : lines[0], " ");
  if (words.size() != 3) return false;
  record->method = words[0];
  record->target = words[1];
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (HeaderName(line).empty()) continue;
    const std::string value(HeaderValue(line));
    auto [it, inserted] = record->headers.emplace(LowerAscii(HeaderName(line)), value);
    if (!inserted) it->second += ", " + value;
  }
  // A request to a proxy names the whole URL; the route is its path.
  std::string_view path = record->target;
  if (path.starts_with("http://") || path.starts_with("https://")) {
    const size_t slash = path.find('/', path.find("//") + 2);
    path = slash == std::string_view::npos ? std::string_view("/") : path.substr(slash);
  }
  record->path = path.substr(0, path.find('?'));
  return true;
}

}  // namespace

std::string PatternBytes(uint64_t offset, size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) {
    uint64_t x = offset + i + 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    bytes[i] = static_cast<char>((x ^ (x >> 31)) & 0xFF);
  }
  return bytes;
}

Reply Reply::Text(int status, std::string body) {
  Reply reply = Pattern(body.size());
  reply.status = status;
  reply.text = std::move(body);
  return reply;
}

Reply Reply::Pattern(uint64_t size) {
  Reply reply;
  reply.size = size;
  return reply;
}

std::string RequestRecord::Header(std::string_view name) const {
  const auto it = headers.find(LowerAscii(name));
  return it == headers.end() ? std::string() : it->second;
}

bool RequestRecord::HasHeader(std::string_view name) const {
  return headers.count(LowerAscii(name)) != 0;
}

TestHttpServer::TestHttpServer() {
  listen_fd_ = tcp::ListenOnLoopback(&port_);
  if (listen_fd_ < 0) ADD_FAILURE() << "cannot listen on 127.0.0.1";
  if (listen_fd_ >= 0) accept_thread_ = std::thread(&TestHttpServer::AcceptLoop, this);
}

std::string TestHttpServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void TestHttpServer::SetRoute(const std::string& path, std::vector<Reply> sequence) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[path] = {std::move(sequence), 0};
}

std::vector<RequestRecord> TestHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

bool TestHttpServer::WaitForStalls(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return stalls_ >= n; });
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
    // Wakes threads blocked in a read or a send; each closes its own socket.
    for (int fd : open_fds_) tcp::ShutdownSocket(fd);
  }
  if (listen_fd_ >= 0) {
    tcp::ShutdownSocket(listen_fd_);
    accept_thread_.join();
    tobric::platform::CloseFd(listen_fd_);
    listen_fd_ = -1;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return serving_ == 0; });
}

void TestHttpServer::AcceptLoop() {
  for (;;) {
    const int fd = tcp::AcceptConnection(listen_fd_);
    if (fd < 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      tcp::CloseConnection(fd, false);
      break;
    }
    open_fds_.insert(fd);
    ++serving_;
    std::thread(&TestHttpServer::Serve, this, fd).detach();
  }
}

void TestHttpServer::Serve(int fd) {
  std::string buffer;
  for (;;) {
    size_t head_end;
    while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos && ReadMore(fd, &buffer)) {
    }
    RequestRecord record;
    if (head_end == std::string::npos ||
        !ParseHead(std::string_view(buffer).substr(0, head_end), &record)) {
      break;
    }
    // A request body (libcurl sends its length) is read and dropped.
    uint64_t body = 0;
    static_cast<void>(ParseUnsigned(record.Header("content-length"), &body));
    while (buffer.size() < head_end + 4 + body && ReadMore(fd, &buffer)) {
    }
    buffer.erase(0, std::min<size_t>(buffer.size(), head_end + 4 + body));
    const bool keep_alive = record.Header("connection").find("close") == std::string::npos;
    Reply reply = Reply::Text(404, "");
    size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      if (auto route = routes_.find(record.path);
          route != routes_.end() && !route->second.first.empty()) {
        auto& [sequence, next] = route->second;
        reply = sequence[std::min(next++, sequence.size() - 1)];
      }
      index = records_.size();
      records_.push_back(std::move(record));
      cv_.notify_all();
    }
    if (!Respond(fd, index, reply, keep_alive)) break;
  }
  {
    // Once out of the set, Stop no longer touches the number, which close may
    // hand to another socket at once.
    std::lock_guard<std::mutex> lock(mutex_);
    open_fds_.erase(fd);
  }
  tcp::CloseConnection(fd, false);
  std::lock_guard<std::mutex> lock(mutex_);
  --serving_;
  cv_.notify_all();
}

bool TestHttpServer::Respond(int fd, size_t record, const Reply& reply, bool keep_alive) {
  // What the script does when the reply reaches `point`, a stall, then a
  // close; true when the reply ends there.
  const auto ends_at = [&](uint64_t point) {
    return (reply.stall_at == point && !WaitStall()) || reply.close_at == point;
  };
  if (ends_at(Reply::kBeforeHeaders)) return false;

  std::unique_lock<std::mutex> lock(mutex_);
  RequestRecord& request = records_[record];
  uint64_t first = 0, last = reply.size - 1;
  int status = reply.status;
  std::string head;
  if (status == 200 && reply.honour_ranges &&
      ParseRange(request.Header("range"), reply.size, &first, &last)) {
    status = first > last ? 416 : 206;
    head = "Content-Range: bytes " +
           (status == 416 ? std::string("*") : std::to_string(first) + "-" + std::to_string(last)) +
           "/" + std::to_string(reply.size) + "\r\n";
  }
  const bool head_only = request.method == "HEAD";
  lock.unlock();
  const uint64_t length = status == 416 ? 0 : last + 1 - first;
  keep_alive = keep_alive && reply.send_content_length;
  head = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\n" + head;
  if (reply.send_content_length) head += "Content-Length: " + std::to_string(length) + "\r\n";
  if (reply.honour_ranges && (status == 200 || status == 206)) head += "Accept-Ranges: bytes\r\n";
  if (!keep_alive) head += "Connection: close\r\n";
  for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
  head += "\r\n";
  if (Failed(tobric::platform::WriteFdFully(fd, head.data(), head.size()))) return false;
  std::string chunk;
  for (uint64_t sent = 0; !head_only;) {
    if (ends_at(sent)) return false;
    if (sent >= length) break;
    uint64_t n = std::min<uint64_t>(64 * 1024, length - sent);
    for (const auto& point : {reply.stall_at, reply.close_at}) {
      if (point.has_value() && *point > sent) n = std::min(n, *point - sent);
    }
    chunk = reply.text ? reply.text->substr(first + sent, n) : PatternBytes(first + sent, n);
    if (Failed(tobric::platform::WriteFdFully(fd, chunk.data(), chunk.size()))) return false;
    sent += n;
  }
  return keep_alive;
}

bool TestHttpServer::WaitStall() {
  std::unique_lock<std::mutex> lock(mutex_);
  ++stalls_;
  cv_.notify_all();
  const uint64_t generation = release_generation_;
  cv_.wait(lock, [&] { return stopping_ || release_generation_ != generation; });
  return !stopping_;
}

}  // namespace corvane::testsupport
