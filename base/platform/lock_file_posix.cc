#include "base/platform/lock_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <string_view>
#include <thread>
#include <utility>

#include "base/platform/error.h"
#include "base/platform/flock_posix.h"

namespace tobric::platform {

using internal::FlockRetrying;

namespace {

using Clock = std::chrono::steady_clock;

// A Peek holds the lock for the few system calls it takes; a holder holds it
// for good. Waiting this long tells the two apart even on a loaded machine.
constexpr auto kPeekGrace = std::chrono::milliseconds(200);
constexpr auto kFirstPoll = std::chrono::milliseconds(1);
constexpr auto kLongestPoll = std::chrono::milliseconds(20);

// More than a process id and a path take.
constexpr size_t kLongestRecord = 8192;


// "<pid>\n<folder>\n". Only complete lines count: the holder overwrites an older
// record in place and cuts it to length afterwards, so whatever follows the
// second line end may be left from before.
LockHolder ReadHolder(int fd) {
  LockHolder holder;
  std::string text(kLongestRecord, '\0');
  ssize_t got;
  do {
    got = pread(fd, text.data(), text.size(), 0);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return holder;
  text.resize(static_cast<size_t>(got));
  const size_t first_end = text.find('\n');
  if (first_end == std::string::npos) return holder;
  const size_t second_end = text.find('\n', first_end + 1);
  if (second_end == std::string::npos) return holder;
  uint32_t pid = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + first_end, pid);
  if (error != std::errc() || end != text.data() + first_end) return holder;
  holder.pid = pid;
  holder.folder = text.substr(first_end + 1, second_end - first_end - 1);
  return holder;
}

HRESULT WriteRecord(int fd, const std::string& record) {
  size_t done = 0;
  while (done < record.size()) {
    const ssize_t wrote =
        pwrite(fd, record.data() + done, record.size() - done, static_cast<off_t>(done));
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return LastErrorHresult();
    }
    done += static_cast<size_t>(wrote);
  }
  if (ftruncate(fd, static_cast<off_t>(record.size())) != 0) return LastErrorHresult();
  return S_OK;
}

}  // namespace

LockFile::LockFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

LockFile::~LockFile() { close(fd_); }

HRESULT LockFile::Acquire(const std::string& path, const std::string& folder,
                          std::unique_ptr<LockFile>* lock, LockHolder* holder) {
  if (lock == nullptr) return E_INVALIDARG;
  // Close-on-exec: a child (the log window) must not keep the lock alive after
  // the holder has gone.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return LastErrorHresult();

  const Clock::time_point deadline = Clock::now() + kPeekGrace;
  auto interval = kFirstPoll;
  for (;;) {
    if (FlockRetrying(fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno != EWOULDBLOCK) {
      const HRESULT hr = LastErrorHresult();
      close(fd);
      return hr;
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      if (holder != nullptr) *holder = ReadHolder(fd);
      close(fd);
      return HresultFromWin32(kErrorAlreadyExists);
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(interval, deadline - now));
    interval = std::min<std::chrono::milliseconds>(interval * 2, kLongestPoll);
  }

  // The lock is what keeps a second holder out; a record that cannot be
  // written only leaves the holder unnamed.
  static_cast<void>(WriteRecord(fd, std::to_string(getpid()) + "\n" + folder + "\n"));
  lock->reset(new LockFile(path, fd));
  return S_OK;
}

HRESULT LockFile::Peek(const std::string& path, bool* held, LockHolder* holder) {
  if (held == nullptr) return E_INVALIDARG;
  *held = false;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? S_OK : LastErrorHresult();
  HRESULT hr = S_OK;
  if (FlockRetrying(fd, LOCK_SH | LOCK_NB) == 0) {
    FlockRetrying(fd, LOCK_UN);
  } else if (errno == EWOULDBLOCK) {
    *held = true;
    if (holder != nullptr) *holder = ReadHolder(fd);
  } else {
    hr = LastErrorHresult();
  }
  close(fd);
  return hr;
}

}  // namespace tobric::platform
