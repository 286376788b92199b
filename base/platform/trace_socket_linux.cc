#include "base/platform/trace_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "base/platform/clock.h"
#include "base/platform/error.h"
#include "base/platform/socket_address_posix.h"
#include "base/platform/native_thread.h"
#include "base/platform/object_names.h"

namespace tobric::platform {

namespace {

// The thread only polls and moves a few bytes.
constexpr size_t kListenerStackSize = 64 * 1024;
constexpr uint32_t kErrorBrokenPipe = 109;

// Connects a new stream socket to path; the descriptor or -1 with errno set.
int ConnectTo(const SocketAddress& address) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, address.get(), address.size()) != 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

uint32_t ReadLe32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

// Constant after Start: path, inode, listen_fd, wake_fd, callback.
// Guarded by mutex: session_fd (written by the thread, read by Send), session,
// pending. Thread only: session_enabled, request_bytes, next_session.
struct TraceSocketListener::State {
  std::string path;
  ino_t inode = 0;
  int listen_fd = -1;
  int wake_fd = -1;  // eventfd: stop, or pending bytes to flush
  ControlCallback callback;
  NativeThread thread;
  bool stopping = false;  // guarded by mutex

  std::mutex mutex;
  int session_fd = -1;
  uint64_t session = 0;
  // Tail of a record the socket took only in part; finished before anything else.
  std::vector<uint8_t> pending;

  bool session_enabled = false;
  std::vector<uint8_t> request_bytes;
  uint64_t next_session = 1;

  ~State() {
    CloseFd(&session_fd);
    CloseFd(&listen_fd);
    CloseFd(&wake_fd);
  }

  void Wake() {
    const uint64_t one = 1;
    // A full counter still wakes the thread, so a failed write loses nothing.
    [[maybe_unused]] const ssize_t written = write(wake_fd, &one, sizeof(one));
  }

  // REQUIRES: mutex held. False when the socket is gone.
  bool FlushPendingLocked() {
    while (!pending.empty()) {
      const ssize_t sent = send(session_fd, pending.data(), pending.size(),
                                MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
      }
      pending.erase(pending.begin(), pending.begin() + sent);
    }
    return true;
  }

  void Run();
  void AcceptSession();
  // Reads what the session sent; false when it is gone.
  bool ReadRequests();
  void EndSession();
};

void TraceSocketListener::State::Run() {
  for (;;) {
    pollfd fds[3] = {{wake_fd, POLLIN, 0}, {listen_fd, POLLIN, 0}, {-1, 0, 0}};
    {
      std::lock_guard<std::mutex> hold(mutex);
      if (stopping) return;
      if (session_fd >= 0) {
        fds[2].fd = session_fd;
        fds[2].events = static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT));
      }
    }
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = read(wake_fd, &count, sizeof(count));
    }
    if (fds[2].revents != 0) {
      bool alive = true;
      if (fds[2].revents & POLLOUT) {
        std::lock_guard<std::mutex> hold(mutex);
        alive = FlushPendingLocked();
      }
      if (alive && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) alive = ReadRequests();
      if (!alive) EndSession();
    }
    if (fds[1].revents & POLLIN) AcceptSession();
  }
}

void TraceSocketListener::State::AcceptSession() {
  const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  // The folder already keeps other users out; the check costs nothing and holds
  // even if the folder's mode is changed by hand.
  ucred peer{};
  socklen_t peer_size = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_size) != 0 || peer.uid != getuid()) {
    close(fd);
    return;
  }
  std::lock_guard<std::mutex> hold(mutex);
  // One session at a time, as a provider has one controller: a second one learns
  // it is refused by the closed connection instead of waiting in the backlog.
  if (session_fd >= 0) {
    close(fd);
    return;
  }
  session_fd = fd;
  session = next_session++;
  pending.clear();
  request_bytes.clear();
}

bool TraceSocketListener::State::ReadRequests() {
  int fd;
  uint64_t current;
  {
    std::lock_guard<std::mutex> hold(mutex);
    fd = session_fd;
    current = session;
  }
  uint8_t buffer[256];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got == 0) return false;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    request_bytes.insert(request_bytes.end(), buffer, buffer + got);
    while (request_bytes.size() >= kTraceEnableRequestSize) {
      TraceEnableRequest request;
      request.flags = ReadLe32(request_bytes.data());
      request.level = request_bytes[4];
      request_bytes.erase(request_bytes.begin(), request_bytes.begin() + kTraceEnableRequestSize);
      session_enabled = true;
      callback(TraceControl::kEnable, current, request);
    }
  }
}

void TraceSocketListener::State::EndSession() {
  uint64_t ended;
  {
    std::lock_guard<std::mutex> hold(mutex);
    CloseFd(&session_fd);
    ended = session;
    session = 0;
    pending.clear();
  }
  request_bytes.clear();
  // A connection that never enabled (a probe, a tool that gave up) changes nothing.
  if (session_enabled) {
    session_enabled = false;
    callback(TraceControl::kDisable, ended, TraceEnableRequest{});
  }
}

TraceSocketListener::TraceSocketListener(std::unique_ptr<State> state) : state_(std::move(state)) {}

HRESULT TraceSocketListener::Start(const std::string& name, ControlCallback callback,
                                   std::unique_ptr<TraceSocketListener>* listener) {
  auto state = std::make_unique<State>();
  HRESULT hr = ObjectPath(name, ObjectScope::kUser, &state->path);
  if (Failed(hr)) return hr;
  SocketAddress address;
  hr = address.Set(state->path);
  if (Failed(hr)) return hr;

  state->listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (state->listen_fd < 0) return LastErrorHresult();
  int rc = bind(state->listen_fd, address.get(), address.size());
  if (rc != 0 && errno == EADDRINUSE) {
    const int probe = ConnectTo(address);
    if (probe >= 0) {
      close(probe);
      return HresultFromWin32(kErrorAlreadyExists);
    }
    // Nobody answers: the socket of a process that died.
    if (errno != ECONNREFUSED && errno != ENOENT) return LastErrorHresult();
    unlink(state->path.c_str());
    rc = bind(state->listen_fd, address.get(), address.size());
  }
  if (rc != 0) return LastErrorHresult();
  struct stat info{};
  if (chmod(state->path.c_str(), 0600) != 0 || stat(state->path.c_str(), &info) != 0 ||
      listen(state->listen_fd, 4) != 0) {
    hr = LastErrorHresult();
    unlink(state->path.c_str());
    return hr;
  }
  state->inode = info.st_ino;

  state->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state->wake_fd < 0) {
    hr = LastErrorHresult();
    unlink(state->path.c_str());
    return hr;
  }
  state->callback = std::move(callback);
  State* raw = state.get();
  hr = state->thread.Start([raw] { raw->Run(); }, kListenerStackSize);
  if (Failed(hr)) {
    unlink(state->path.c_str());
    return hr;
  }
  listener->reset(new TraceSocketListener(std::move(state)));
  return S_OK;
}

TraceSocketListener::~TraceSocketListener() {
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->stopping = true;
  }
  state_->Wake();
  state_->thread.Join();
  // Another process may have replaced a socket it found dead; only ours goes.
  struct stat info{};
  if (stat(state_->path.c_str(), &info) == 0 && info.st_ino == state_->inode) {
    unlink(state_->path.c_str());
  }
}

bool TraceSocketListener::Send(uint64_t session, const void* data, size_t size) {
  std::lock_guard<std::mutex> hold(state_->mutex);
  if (session == 0 || session != state_->session || state_->session_fd < 0) return false;
  if (!state_->FlushPendingLocked() || !state_->pending.empty()) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent_total = 0;
  while (sent_total < size) {
    const ssize_t sent = send(state_->session_fd, bytes + sent_total, size - sent_total,
                              MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && sent_total > 0) break;
      // Nothing of it went out (the reader is behind) or the reader is gone,
      // which the listener's thread notices by itself.
      return false;
    }
    sent_total += static_cast<size_t>(sent);
  }
  if (sent_total < size) {
    state_->pending.assign(bytes + sent_total, bytes + size);
    state_->Wake();
  }
  return true;
}

const std::string& TraceSocketListener::path() const { return state_->path; }

HRESULT TraceSocketClient::Connect(const std::string& name,
                                   std::unique_ptr<TraceSocketClient>* client) {
  std::string path;
  HRESULT hr = ObjectPath(name, ObjectScope::kUser, &path);
  if (Failed(hr)) return hr;
  SocketAddress address;
  hr = address.Set(path);
  if (Failed(hr)) return hr;
  const int fd = ConnectTo(address);
  if (fd < 0) return LastErrorHresult();
  client->reset(new TraceSocketClient(fd));
  return S_OK;
}

TraceSocketClient::~TraceSocketClient() { CloseFd(&fd_); }

HRESULT TraceSocketClient::SendEnable(const TraceEnableRequest& request) {
  const uint8_t bytes[kTraceEnableRequestSize] = {
      static_cast<uint8_t>(request.flags), static_cast<uint8_t>(request.flags >> 8),
      static_cast<uint8_t>(request.flags >> 16), static_cast<uint8_t>(request.flags >> 24),
      request.level};
  size_t done = 0;
  while (done < sizeof(bytes)) {
    const ssize_t sent = send(fd_, bytes + done, sizeof(bytes) - done, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return LastErrorHresult();
    }
    done += static_cast<size_t>(sent);
  }
  return S_OK;
}

HRESULT TraceSocketClient::ReadRecord(uint32_t timeout_ms, std::vector<uint8_t>* record) {
  const uint64_t deadline = MonotonicMs() + timeout_ms;
  for (;;) {
    if (received_.size() >= 4) {
      const size_t length = ReadLe32(received_.data());
      if (received_.size() - 4 >= length) {
        record->assign(received_.begin() + 4, received_.begin() + 4 + static_cast<long>(length));
        received_.erase(received_.begin(), received_.begin() + 4 + static_cast<long>(length));
        return S_OK;
      }
    }
    const uint64_t now = MonotonicMs();
    if (now >= deadline) return HresultFromWin32(kErrorTimeout);
    pollfd fd{fd_, POLLIN, 0};
    const int ready = poll(&fd, 1, static_cast<int>(deadline - now));
    if (ready < 0 && errno != EINTR) return LastErrorHresult();
    if (ready <= 0) continue;
    uint8_t buffer[64 * 1024];
    const ssize_t got = recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got == 0) return HresultFromWin32(kErrorBrokenPipe);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return LastErrorHresult();
    }
    received_.insert(received_.end(), buffer, buffer + got);
  }
}

}  // namespace tobric::platform
