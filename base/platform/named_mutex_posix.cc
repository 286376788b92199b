#include "base/platform/named_mutex.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/platform/error.h"
#include "base/platform/flock_posix.h"

namespace tobric::platform {

using internal::FlockRetrying;

namespace {

using Clock = std::chrono::steady_clock;

// flock has no time limit, so a limited wait polls; the interval grows from 1 ms
// so that a briefly held lock (the log mutex) is had quickly, up to a bound that
// keeps a long wait cheap.
constexpr auto kFirstPoll = std::chrono::milliseconds(1);
constexpr auto kLongestPoll = std::chrono::milliseconds(20);

// Opens (creating when missing) one of the mutex's files. Machine-wide files are
// opened to every user whatever the umask; only the file's owner can change
// that, so a failing fchmod on somebody else's file is of no concern.
HRESULT OpenLockFile(const std::string& path, bool machine_wide, int* fd) {
  const mode_t mode = machine_wide ? 0666 : 0600;
  const int opened = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
  if (opened < 0) return LastErrorHresult();
  if (machine_wide) {
    struct stat info {};
    if (fstat(opened, &info) == 0 && info.st_uid == geteuid() && (info.st_mode & 0777) != mode) {
      fchmod(opened, mode);
    }
  }
  *fd = opened;
  return S_OK;
}


}  // namespace

// Ownership has two levels. Between processes (and between NamedMutex objects
// of one name in this process) the flock on lock_fd decides. Between threads
// sharing this object, owner/count decide: flock knows nothing of threads, so a
// second thread would otherwise "get" a lock its process already holds.
//
// owner is set as soon as a thread starts taking the file lock, so the other
// threads of the process wait on the condition variable rather than poll flock.
//
// The companion file "<path>.open" stands for the handle being open: every
// object holds a shared flock on it for its whole life, so an exclusive try
// fails exactly when some other holder has the mutex open.
struct NamedMutex::State {
  std::string path;
  int lock_fd = -1;
  int open_fd = -1;

  std::mutex mutex;
  std::condition_variable released;
  // Guarded by mutex.
  std::thread::id owner;
  int count = 0;  // recursion depth of owner; 0 while it is still taking the file lock

  ~State() {
    if (lock_fd >= 0) close(lock_fd);
    if (open_fd >= 0) close(open_fd);
  }
};

NamedMutex::NamedMutex(std::unique_ptr<State> state) : state_(std::move(state)) {}

NamedMutex::~NamedMutex() = default;

HRESULT NamedMutex::Open(const std::string& name, ObjectScope scope,
                         std::unique_ptr<NamedMutex>* mutex, bool* existed) {
  if (mutex == nullptr) return E_INVALIDARG;
  auto state = std::make_unique<State>();
  HRESULT hr = ObjectPath(name, scope, &state->path);
  if (Failed(hr)) return hr;
  const bool machine_wide = scope == ObjectScope::kMachine;
  hr = OpenLockFile(state->path, machine_wide, &state->lock_fd);
  if (Failed(hr)) return hr;
  hr = OpenLockFile(state->path + ".open", machine_wide, &state->open_fd);
  if (Failed(hr)) return hr;

  // Exclusive-then-shared is not atomic (flock drops the old lock before it
  // takes the new one), so two objects opened at the very same moment may both
  // believe they are first; "existed" is advice, never a lock.
  const bool alone = FlockRetrying(state->open_fd, LOCK_EX | LOCK_NB) == 0;
  if (FlockRetrying(state->open_fd, LOCK_SH) != 0) return LastErrorHresult();
  if (existed != nullptr) *existed = !alone;

  mutex->reset(new NamedMutex(std::move(state)));
  return S_OK;
}

HRESULT NamedMutex::CreateOwned(const std::string& name, ObjectScope scope,
                                std::unique_ptr<NamedMutex>* mutex) {
  if (mutex == nullptr) return E_INVALIDARG;
  std::unique_ptr<NamedMutex> opened;
  const HRESULT hr = Open(name, scope, &opened, nullptr);
  if (Failed(hr)) return hr;
  if (FlockRetrying(opened->state_->lock_fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return HresultFromWin32(kErrorAlreadyExists);
    return LastErrorHresult();
  }
  opened->state_->owner = std::this_thread::get_id();
  opened->state_->count = 1;
  *mutex = std::move(opened);
  return S_OK;
}

bool NamedMutex::Lock(uint32_t timeout_ms) {
  State& state = *state_;
  const bool unlimited = timeout_ms == kInfinite;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const std::thread::id self = std::this_thread::get_id();
  const std::thread::id nobody;

  {
    std::unique_lock lock(state.mutex);
    if (state.owner == self) {
      ++state.count;
      return true;
    }
    if (unlimited) {
      state.released.wait(lock, [&] { return state.owner == nobody; });
    } else if (!state.released.wait_until(lock, deadline, [&] { return state.owner == nobody; })) {
      return false;
    }
    state.owner = self;
    state.count = 0;
  }

  bool acquired;
  if (unlimited) {
    acquired = FlockRetrying(state.lock_fd, LOCK_EX) == 0;
  } else {
    auto interval = kFirstPoll;
    for (;;) {
      acquired = FlockRetrying(state.lock_fd, LOCK_EX | LOCK_NB) == 0;
      if (acquired || errno != EWOULDBLOCK) break;
      const Clock::time_point now = Clock::now();
      if (now >= deadline) break;
      std::this_thread::sleep_for(std::min<Clock::duration>(interval, deadline - now));
      interval = std::min<std::chrono::milliseconds>(interval * 2, kLongestPoll);
    }
  }

  std::lock_guard lock(state.mutex);
  if (acquired) {
    state.count = 1;
  } else {
    state.owner = nobody;
    state.released.notify_one();
  }
  return acquired;
}

bool NamedMutex::Unlock() {
  State& state = *state_;
  std::lock_guard lock(state.mutex);
  if (state.owner != std::this_thread::get_id() || state.count == 0) return false;
  if (--state.count > 0) return true;
  FlockRetrying(state.lock_fd, LOCK_UN);
  state.owner = std::thread::id();
  state.released.notify_one();
  return true;
}

const std::string& NamedMutex::path() const { return state_->path; }

}  // namespace tobric::platform
