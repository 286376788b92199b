#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <utility>

#include "base/platform/clock.h"
#include "base/platform/error.h"
#include "base/platform/socket_address_posix.h"
#include "base/platform/unix_socket.h"

namespace tobric::platform {

namespace {

constexpr uint32_t kErrorHandleEof = 38;
constexpr uint32_t kErrorBrokenPipe = 109;
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorConnectionRefused = 1225;
constexpr uint32_t kUnknownUid = 0xFFFFFFFF;
constexpr int kListenBacklog = 128;

// When a time limit ends, on the monotonic clock; no limit never ends.
class Deadline {
 public:
  explicit Deadline(uint32_t limit_ms)
      : unlimited_(limit_ms == kNoTimeLimit), end_(MonotonicMs() + limit_ms) {}
  // Milliseconds left as a poll timeout: -1 without a limit, 0 once passed.
  [[nodiscard]] int PollTimeout() const {
    if (unlimited_) return -1;
    const uint64_t now = MonotonicMs();
    if (now >= end_) return 0;
    return static_cast<int>(std::min<uint64_t>(end_ - now, INT_MAX));
  }
  [[nodiscard]] bool Passed() const { return !unlimited_ && MonotonicMs() >= end_; }

 private:
  bool unlimited_;
  uint64_t end_;
};

// Waits for `events` on fd until the deadline. S_OK when ready (or in error or
// hung up, which the next call reports), the timeout code when the limit passed.
HRESULT PollOne(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd one{fd, events, 0};
    const int ready = poll(&one, 1, deadline.PollTimeout());
    if (ready > 0) return S_OK;
    if (ready == 0) return HresultFromWin32(kErrorTimeout);
    if (errno != EINTR) return LastErrorHresult();
  }
}

uint32_t PeerUid(int fd) {
  ucred peer{};
  socklen_t size = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return kUnknownUid;
  return static_cast<uint32_t>(peer.uid);
}

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A blocking connect whose wait for room in a full backlog is bounded by the
// send time-out (a non-blocking connect to a Unix socket fails at once instead).
int ConnectTo(const SocketAddress& address, uint32_t time_limit_ms) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (time_limit_ms != kNoTimeLimit) {
    const uint32_t limit = std::max<uint32_t>(time_limit_ms, 1);
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(limit / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((limit % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  }
  int rc;
  do {
    rc = connect(fd, address.get(), address.size());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace

HRESULT UnixStream::Connect(const std::string& path, uint32_t time_limit_ms,
                            std::unique_ptr<UnixStream>* stream) {
  SocketAddress address;
  HRESULT hr = address.Set(path);
  if (Failed(hr)) return hr;
  const int fd = ConnectTo(address, time_limit_ms);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EINPROGRESS) return HresultFromWin32(kErrorTimeout);
    if (errno == ECONNREFUSED) return HresultFromWin32(kErrorConnectionRefused);
    return LastErrorHresult();
  }
  // Clear the connect time-out: writes are bounded by poll from now on.
  const timeval none{};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof(none));
  if (!SetNonBlocking(fd)) {
    hr = LastErrorHresult();
    close(fd);
    return hr;
  }
  stream->reset(new UnixStream(fd, PeerUid(fd)));
  return S_OK;
}

UnixStream::~UnixStream() { CloseFd(&fd_); }

HRESULT UnixStream::WaitForData(uint32_t time_limit_ms) {
  return PollOne(fd_, POLLIN, Deadline(time_limit_ms));
}

HRESULT UnixStream::ReadExact(void* data, size_t size, uint32_t time_limit_ms) {
  const Deadline deadline(time_limit_ms);
  auto* bytes = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = recv(fd_, bytes + done, size - done, MSG_DONTWAIT);
    if (got > 0) {
      done += static_cast<size_t>(got);
      continue;
    }
    if (got == 0) return HresultFromWin32(kErrorHandleEof);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return LastErrorHresult();
    if (deadline.Passed()) return HresultFromWin32(kErrorTimeout);
    const HRESULT hr = PollOne(fd_, POLLIN, deadline);
    if (Failed(hr)) return hr;
  }
  return S_OK;
}

HRESULT UnixStream::WriteAll(const void* data, size_t size, uint32_t time_limit_ms) {
  const Deadline deadline(time_limit_ms);
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    // MSG_NOSIGNAL: a vanished reader is an error code here, not a SIGPIPE that
    // would end the process.
    const ssize_t sent = send(fd_, bytes + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) {
      done += static_cast<size_t>(sent);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EPIPE || errno == ECONNRESET) return HresultFromWin32(kErrorBrokenPipe);
    if (errno != EAGAIN && errno != EWOULDBLOCK) return LastErrorHresult();
    if (deadline.Passed()) return HresultFromWin32(kErrorTimeout);
    const HRESULT hr = PollOne(fd_, POLLOUT, deadline);
    if (Failed(hr)) return hr;
  }
  return S_OK;
}

void UnixStream::Shutdown() { shutdown(fd_, SHUT_RDWR); }

// Constant after Listen: listen_fd, wake_fd, inode. `shut` is set once by
// Shutdown; the eventfd it writes stays readable, so every later poll of
// Accept wakes at once too.
struct UnixListener::Impl {
  int listen_fd = -1;
  int wake_fd = -1;
  ino_t inode = 0;
  std::atomic<bool> shut{false};

  ~Impl() {
    CloseFd(&listen_fd);
    CloseFd(&wake_fd);
  }
};

UnixListener::UnixListener(std::unique_ptr<Impl> impl, std::string path)
    : impl_(std::move(impl)), path_(std::move(path)) {}

HRESULT UnixListener::Listen(const std::string& path, unsigned mode,
                             std::unique_ptr<UnixListener>* listener) {
  SocketAddress address;
  HRESULT hr = address.Set(path);
  if (Failed(hr)) return hr;
  auto impl = std::make_unique<Impl>();
  impl->listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (impl->listen_fd < 0) return LastErrorHresult();
  int rc = bind(impl->listen_fd, address.get(), address.size());
  if (rc != 0 && errno == EADDRINUSE) {
    const int probe = ConnectTo(address, 1000);
    if (probe >= 0) {
      close(probe);
      return HresultFromWin32(kErrorAlreadyExists);
    }
    // A listener with a full backlog is alive all the same.
    if (errno == EAGAIN) return HresultFromWin32(kErrorAlreadyExists);
    // Nobody answers: the socket file of a process that died.
    if (errno != ECONNREFUSED && errno != ENOENT) return LastErrorHresult();
    unlink(path.c_str());
    rc = bind(impl->listen_fd, address.get(), address.size());
  }
  if (rc != 0) return LastErrorHresult();
  struct stat info {};
  if (chmod(path.c_str(), static_cast<mode_t>(mode)) != 0 || stat(path.c_str(), &info) != 0 ||
      listen(impl->listen_fd, kListenBacklog) != 0) {
    hr = LastErrorHresult();
    unlink(path.c_str());
    return hr;
  }
  impl->inode = info.st_ino;
  impl->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl->wake_fd < 0) {
    hr = LastErrorHresult();
    unlink(path.c_str());
    return hr;
  }
  listener->reset(new UnixListener(std::move(impl), path));
  return S_OK;
}

UnixListener::~UnixListener() {
  // Another process may have replaced a socket it found dead; only ours goes.
  struct stat info {};
  if (stat(path_.c_str(), &info) == 0 && info.st_ino == impl_->inode) unlink(path_.c_str());
}

HRESULT UnixListener::Accept(uint32_t time_limit_ms, std::unique_ptr<UnixStream>* stream) {
  const Deadline deadline(time_limit_ms);
  for (;;) {
    if (impl_->shut.load()) return HresultFromWin32(kErrorOperationAborted);
    pollfd fds[2] = {{impl_->wake_fd, POLLIN, 0}, {impl_->listen_fd, POLLIN, 0}};
    const int ready = poll(fds, 2, deadline.PollTimeout());
    if (ready < 0) {
      if (errno == EINTR) continue;
      return LastErrorHresult();
    }
    if (ready == 0) return HresultFromWin32(kErrorTimeout);
    if (fds[0].revents != 0) return HresultFromWin32(kErrorOperationAborted);
    const int fd = accept4(impl_->listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      // The client gave up between poll and accept, or a signal came.
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR) {
        continue;
      }
      return LastErrorHresult();
    }
    stream->reset(new UnixStream(fd, PeerUid(fd)));
    return S_OK;
  }
}

void UnixListener::Shutdown() {
  impl_->shut.store(true);
  const uint64_t one = 1;
  // A full counter is readable all the same, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t written = write(impl_->wake_fd, &one, sizeof(one));
}

}  // namespace tobric::platform
