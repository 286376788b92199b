#include "base/platform/named_event.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include "base/platform/error.h"
#include "base/platform/named_event_watch.h"
#include "base/platform/named_mutex.h"

namespace tobric::platform {

namespace {

using Clock = std::chrono::steady_clock;

// When inotify is out of watches or instances the wait still works, by looking.
constexpr auto kFallbackPoll = std::chrono::milliseconds(50);
constexpr int64_t kLongestPollMs = 24 * 3600 * 1000;

HRESULT WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return LastErrorHresult();
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return S_OK;
}

// Replaces the event file with one holding `state`. A reader sees the old file or
// the new one, never a half-written one.
HRESULT WriteState(const std::string& path, bool machine_wide, char state) {
  const std::string folder = EventFolder(path);
  // mkstemp replaces the six trailing characters.
  std::string temp = folder + "/." + path.substr(folder.size() + 1) + "." + std::string(6, 'X');
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return LastErrorHresult();
  // mkostemp makes the file 0600; a machine-wide event is read by every user.
  if (machine_wide) fchmod(fd, 0666);
  HRESULT hr = WriteAll(fd, &state, 1);
  if (close(fd) != 0 && Succeeded(hr)) hr = LastErrorHresult();
  if (Succeeded(hr) && rename(temp.c_str(), path.c_str()) != 0) hr = LastErrorHresult();
  if (Failed(hr)) unlink(temp.c_str());
  return hr;
}

}  // namespace

std::string EventFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

int AddEventFolderWatch(int inotify_fd, const std::string& folder) {
  return inotify_add_watch(inotify_fd, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE);
}

void DrainInotify(int inotify_fd) {
  alignas(inotify_event) char buffer[4096];
  while (read(inotify_fd, buffer, sizeof(buffer)) > 0) {
  }
}

bool NamedEvent::IsSet() const {
  const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  char state = 0;
  ssize_t got;
  do {
    got = read(fd, &state, 1);
  } while (got < 0 && errno == EINTR);
  close(fd);
  return got == 1 && state == '1';
}

NamedEvent::NamedEvent(std::string path, bool machine_wide)
    : path_(std::move(path)), machine_wide_(machine_wide) {}

NamedEvent::~NamedEvent() = default;

HRESULT NamedEvent::Open(const std::string& name, ObjectScope scope,
                         std::unique_ptr<NamedEvent>* event, bool* existed) {
  if (event == nullptr) return E_INVALIDARG;
  std::string path;
  HRESULT hr = ObjectPath(name, scope, &path);
  if (Failed(hr)) return hr;
  const bool machine_wide = scope == ObjectScope::kMachine;

  // O_EXCL: of two processes opening a missing event at once, exactly one makes
  // it; the other must not overwrite an event that may already have been set.
  // A reader that meets the new file before its "0" is written sees no "1",
  // which is the right answer for a new event.
  bool was_there = false;
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, machine_wide ? 0666 : 0600);
  if (fd >= 0) {
    if (machine_wide) fchmod(fd, 0666);
    hr = WriteAll(fd, "0", 1);
    close(fd);
    if (Failed(hr)) return hr;
  } else if (errno == EEXIST) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return LastErrorHresult();
    if (!S_ISREG(info.st_mode)) return HresultFromWin32(kErrorAccessDenied);
    was_there = true;
  } else {
    return LastErrorHresult();
  }
  if (existed != nullptr) *existed = was_there;
  event->reset(new NamedEvent(std::move(path), machine_wide));
  return S_OK;
}

HRESULT NamedEvent::Set() { return WriteState(path_, machine_wide_, '1'); }

HRESULT NamedEvent::Reset() { return WriteState(path_, machine_wide_, '0'); }

bool NamedEvent::Wait(uint32_t timeout_ms) const {
  const bool unlimited = timeout_ms == kInfinite;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);

  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const bool watching = watch >= 0 && AddEventFolderWatch(watch, EventFolder(path_)) >= 0;
  bool set = false;
  for (;;) {
    // Checked after the watch is armed, so a Set between the check and the poll
    // still wakes the poll.
    set = IsSet();
    if (set) break;
    int wait_ms = -1;
    if (!unlimited) {
      const Clock::time_point now = Clock::now();
      if (now >= deadline) break;
      // poll takes an int; a limit of weeks is served in several rounds.
      const int64_t left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
      wait_ms = static_cast<int>(std::min<int64_t>(left, kLongestPollMs));
    }
    if (!watching) {
      const auto nap = unlimited ? kFallbackPoll
                                 : std::min<std::chrono::milliseconds>(
                                       kFallbackPoll, std::chrono::milliseconds(wait_ms));
      std::this_thread::sleep_for(nap);
      continue;
    }
    pollfd entry{watch, POLLIN, 0};
    if (poll(&entry, 1, wait_ms) > 0) DrainInotify(watch);
  }
  if (watch >= 0) close(watch);
  return set;
}

}  // namespace tobric::platform
