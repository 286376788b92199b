#include "base/platform/event_registry.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/platform/error.h"
#include "base/platform/named_event.h"
#include "base/platform/named_event_watch.h"
#include "base/platform/native_thread.h"
#include "base/platform/work_pool.h"

namespace tobric::platform {

namespace {

constexpr size_t kWatcherStack = 128 * 1024;
// A fired wait whose callback the pool refused stays registered and is tried
// again after this long.
constexpr int kRetryMs = 100;

}  // namespace

// One watcher thread per registry sleeps in poll on one inotify fd (a watch per
// folder that holds a watched event, shared and counted) and an eventfd that
// registrations and the destructor use to wake it. After every wake-up it
// re-reads every registered event file; the notifications themselves are only
// a hint, which also makes a queue overflow harmless.
//
// Lifetime: the registry owns one reference to the Impl and every fired callback
// handed to the pool owns another, so a callback queued before the destructor
// finds its state and, seeing `closing`, returns without running.
//
// Lock: `mutex` guards every member below it; callbacks run without it.
struct EventRegistry::Impl : std::enable_shared_from_this<Impl> {
  struct Wait {
    const NamedEvent* event = nullptr;
    std::string folder;
    std::function<void()> callback;
  };

  struct FolderWatch {
    int descriptor = -1;
    int users = 0;
  };

  // A fired wait's callback, handed to the pool.
  struct Fire {
    std::shared_ptr<Impl> impl;
    std::function<void()> callback;
  };

  explicit Impl(WorkPool* work_pool) : pool(work_pool) {}
  ~Impl() {
    if (inotify_fd >= 0) close(inotify_fd);
    if (wake_fd >= 0) close(wake_fd);
  }

  HRESULT EnsureStarted();  // REQUIRES: mutex held
  void WatchLoop();
  bool FireSetWaits();  // REQUIRES: mutex held; false when a fire must be retried
  void ReleaseFolder(const std::string& folder);  // REQUIRES: mutex held
  void Wake();
  static void RunFire(void* context);

  WorkPool* const pool;
  std::mutex mutex;
  std::condition_variable callbacks_done;
  int inotify_fd = -1;
  int wake_fd = -1;
  std::map<WaitId, Wait> waits;
  std::map<std::string, FolderWatch> folders;
  WaitId next_id = 1;
  bool closing = false;
  std::vector<std::thread::id> running;  // threads inside a callback now
  NativeThread watcher;
};

HRESULT EventRegistry::Impl::EnsureStarted() {
  if (watcher.joinable()) return S_OK;
  if (inotify_fd < 0) {
    inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_fd < 0) return LastErrorHresult();
  }
  if (wake_fd < 0) {
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd < 0) return LastErrorHresult();
  }
  return watcher.Start([this] { WatchLoop(); }, kWatcherStack);
}

void EventRegistry::Impl::Wake() {
  const uint64_t one = 1;
  // A full counter already means "wake up"; nothing else can go wrong here.
  [[maybe_unused]] const ssize_t written = write(wake_fd, &one, sizeof(one));
}

void EventRegistry::Impl::WatchLoop() {
  bool retry = false;
  for (;;) {
    pollfd entries[2] = {{inotify_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    if (poll(entries, 2, retry ? kRetryMs : -1) > 0) {
      if (entries[0].revents != 0) DrainInotify(inotify_fd);
      if (entries[1].revents != 0) {
        uint64_t count;
        [[maybe_unused]] const ssize_t got = read(wake_fd, &count, sizeof(count));
      }
    }
    std::lock_guard lock(mutex);
    if (closing) return;
    retry = !FireSetWaits();
  }
}

bool EventRegistry::Impl::FireSetWaits() {
  bool all_queued = true;
  for (auto it = waits.begin(); it != waits.end();) {
    if (!it->second.event->IsSet()) {
      ++it;
      continue;
    }
    auto* fire = new Fire{shared_from_this(), it->second.callback};
    // Not a default item: the shutdown event's callback stops the engine and
    // waits for the running downloads to end, for many seconds, and it must
    // neither occupy a default thread meanwhile (the cancels and scheduling
    // passes it waits for run there) nor wait behind HTTP workers that fill the
    // long-running set.
    if (Failed(pool->Queue(&Impl::RunFire, fire, kWorkTimerOrWait))) {
      delete fire;
      all_queued = false;
      ++it;
      continue;
    }
    ReleaseFolder(it->second.folder);
    it = waits.erase(it);
  }
  return all_queued;
}

void EventRegistry::Impl::ReleaseFolder(const std::string& folder) {
  auto it = folders.find(folder);
  if (it == folders.end() || --it->second.users > 0) return;
  inotify_rm_watch(inotify_fd, it->second.descriptor);
  folders.erase(it);
}

void EventRegistry::Impl::RunFire(void* context) {
  std::unique_ptr<Fire> fire(static_cast<Fire*>(context));
  Impl* impl = fire->impl.get();
  {
    std::lock_guard lock(impl->mutex);
    // The registry is being destroyed; its owner expects no callback any more.
    if (impl->closing) return;
    impl->running.push_back(std::this_thread::get_id());
  }
  fire->callback();
  std::lock_guard lock(impl->mutex);
  impl->running.erase(
      std::find(impl->running.begin(), impl->running.end(), std::this_thread::get_id()));
  impl->callbacks_done.notify_all();
}

EventRegistry::EventRegistry(WorkPool* pool)
    : impl_(std::make_shared<Impl>(pool != nullptr ? pool : WorkPool::Default())) {}

EventRegistry::~EventRegistry() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->closing = true;
    if (impl_->watcher.joinable()) impl_->Wake();
  }
  impl_->watcher.Join();
  std::unique_lock lock(impl_->mutex);
  for (auto& [folder, watch] : impl_->folders)
    inotify_rm_watch(impl_->inotify_fd, watch.descriptor);
  impl_->folders.clear();
  impl_->waits.clear();
  // A callback that destroys its own registry cannot wait for itself.
  const std::thread::id self = std::this_thread::get_id();
  impl_->callbacks_done.wait(lock, [this, self] {
    return std::all_of(impl_->running.begin(), impl_->running.end(),
                       [self](std::thread::id id) { return id == self; });
  });
}

HRESULT EventRegistry::RegisterWaitOnce(const NamedEvent* event, std::function<void()> callback,
                                        WaitId* id) {
  if (event == nullptr || !callback || id == nullptr) return E_INVALIDARG;
  std::lock_guard lock(impl_->mutex);
  if (impl_->closing) return E_UNEXPECTED;
  HRESULT hr = impl_->EnsureStarted();
  if (Failed(hr)) return hr;

  const std::string folder = EventFolder(event->path());
  Impl::FolderWatch& watch = impl_->folders[folder];
  if (watch.users == 0) {
    watch.descriptor = AddEventFolderWatch(impl_->inotify_fd, folder);
    if (watch.descriptor < 0) {
      hr = LastErrorHresult();
      impl_->folders.erase(folder);
      return hr;
    }
  }
  ++watch.users;

  const WaitId new_id = impl_->next_id++;
  impl_->waits[new_id] = Impl::Wait{event, folder, std::move(callback)};
  // The watcher re-reads the event once the watch is armed: an event set before
  // this point fires at once, one set afterwards wakes the watcher through inotify.
  impl_->Wake();
  *id = new_id;
  return S_OK;
}

HRESULT EventRegistry::Unregister(WaitId id) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->waits.find(id);
  if (it == impl_->waits.end()) return S_FALSE;
  impl_->ReleaseFolder(it->second.folder);
  impl_->waits.erase(it);
  return S_OK;
}

}  // namespace tobric::platform
