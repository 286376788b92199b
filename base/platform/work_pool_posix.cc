#include "base/platform/work_pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "base/platform/error.h"
#include "base/platform/native_thread.h"

namespace tobric::platform {

// Three sets of threads share one lock.
//
// Default threads serve a FIFO queue and never retire; there are at most
// default_target of them, made on demand so that an idle pool costs nothing.
//
// The long-running set and the timer-and-wait set are growing sets: an item is
// handed to an idle thread of its set (the most recently idle one, so the
// others age and retire) or gets a new thread. That way a blocked item only
// ever blocks its own thread. Only at the set's cap does an item wait, in the
// set's own backlog, and a thread of the set that finishes an item takes the
// oldest waiting one before it turns idle. So the backlog is only ever filled
// while every thread of the set is busy, and a thread only retires while the
// backlog is empty: nothing waits for a thread that will not come.
//
// The two growing sets are separate so that thousands of HTTP workers at the
// long-running cap never hold up a timer tick or the shutdown callback.
//
// A retiring thread cannot join itself, so it moves its handle to `retired`,
// where the next Queue or the destructor joins it.
struct WorkPool::Impl {
  struct Item {
    Function function = nullptr;
    void* context = nullptr;
  };

  struct SetThread {
    NativeThread thread;
    std::condition_variable wake;
    bool has_item = false;  // an item was handed over and not yet taken
    Item item;
  };

  struct GrowingSet {
    explicit GrowingSet(int max_threads) : cap(max_threads) {}
    const int cap;
    std::list<SetThread> threads;  // stable addresses: threads point at their entry
    std::vector<SetThread*> idle;  // the most recently idle last
    std::deque<Item> backlog;      // items that met the cap, oldest first
    int running = 0;               // items handed to a thread and not yet finished
  };

  explicit Impl(const Options& opts)
      : options(opts),
        long_running(opts.max_long_running_threads),
        timer_or_wait(opts.max_timer_or_wait_threads) {
    default_target = options.default_threads;
    if (default_target <= 0) {
      const int cores = static_cast<int>(std::thread::hardware_concurrency());
      default_target = std::max(4, 2 * cores);
    }
  }

  void DefaultLoop();
  void SetLoop(GrowingSet* set, SetThread* self);
  HRESULT QueueDefault(const Item& item);
  HRESULT QueueToSet(GrowingSet* set, const Item& item);
  void JoinRetired();
  // REQUIRES: mutex held.
  bool SetsBusy() const { return long_running.running != 0 || timer_or_wait.running != 0; }

  const Options options;
  int default_target = 0;

  mutable std::mutex mutex;
  // Everything below is guarded by mutex.
  std::condition_variable default_wake;  // default threads wait here
  std::condition_variable set_exited;    // a thread left its growing set
  std::deque<Item> queue;
  std::vector<NativeThread> default_threads;
  int idle_default = 0;
  GrowingSet long_running;
  GrowingSet timer_or_wait;
  std::vector<NativeThread> retired;
  bool stopping = false;
};

void WorkPool::Impl::DefaultLoop() {
  std::unique_lock lock(mutex);
  for (;;) {
    // While stopping, default threads stay until no item of a growing set is
    // left that could still queue default work.
    while (queue.empty() && !(stopping && !SetsBusy())) {
      ++idle_default;
      default_wake.wait(lock);
      --idle_default;
    }
    if (queue.empty()) return;
    const Item item = queue.front();
    queue.pop_front();
    lock.unlock();
    item.function(item.context);
    lock.lock();
  }
}

void WorkPool::Impl::SetLoop(GrowingSet* set, SetThread* self) {
  std::unique_lock lock(mutex);
  for (;;) {
    if (self->has_item) {
      const Item item = self->item;
      self->has_item = false;
      lock.unlock();
      item.function(item.context);
      lock.lock();
      if (!set->backlog.empty()) {
        // Still counted as running: the item passes straight to this thread.
        self->item = set->backlog.front();
        self->has_item = true;
        set->backlog.pop_front();
        continue;
      }
      --set->running;
      if (stopping) default_wake.notify_all();
    }
    if (stopping) break;
    set->idle.push_back(self);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.idle_retire_ms);
    while (!self->has_item && !stopping) {
      if (self->wake.wait_until(lock, deadline) == std::cv_status::timeout) break;
    }
    if (!self->has_item) {
      // Retiring (or stopping): whoever hands out items must no longer see us.
      set->idle.erase(std::find(set->idle.begin(), set->idle.end(), self));
      break;
    }
  }
  retired.push_back(std::move(self->thread));
  for (auto it = set->threads.begin(); it != set->threads.end(); ++it) {
    if (&*it == self) {
      set->threads.erase(it);
      break;
    }
  }
  set_exited.notify_all();
}

HRESULT WorkPool::Impl::QueueDefault(const Item& item) {
  std::lock_guard lock(mutex);
  queue.push_back(item);
  if (queue.size() > static_cast<size_t>(idle_default) &&
      static_cast<int>(default_threads.size()) < default_target) {
    NativeThread thread;
    const HRESULT hr = thread.Start([this] { DefaultLoop(); }, options.stack_size);
    if (Succeeded(hr)) {
      default_threads.push_back(std::move(thread));
    } else if (default_threads.empty()) {
      // Nobody would ever run it.
      queue.pop_back();
      return hr;
    }
  }
  default_wake.notify_one();
  return S_OK;
}

HRESULT WorkPool::Impl::QueueToSet(GrowingSet* set, const Item& item) {
  std::lock_guard lock(mutex);
  if (!set->idle.empty()) {
    SetThread* thread = set->idle.back();
    set->idle.pop_back();
    thread->item = item;
    thread->has_item = true;
    ++set->running;
    thread->wake.notify_one();
    return S_OK;
  }
  // The same answer a refused thread creation gives: a resource limit.
  HRESULT hr = HresultFromWin32(kErrorNotEnoughMemory);
  if (static_cast<int>(set->threads.size()) < set->cap) {
    SetThread& thread = set->threads.emplace_back();
    thread.item = item;
    thread.has_item = true;
    SetThread* self = &thread;
    // Started under the lock: the new thread's first act is to take the lock, so
    // it cannot retire (and erase its entry) before its handle is stored.
    hr = thread.thread.Start([this, set, self] { SetLoop(set, self); }, options.stack_size);
    if (Succeeded(hr)) {
      ++set->running;
      return S_OK;
    }
    set->threads.pop_back();
  }
  // Every thread of the set is busy (none is idle); the first to finish takes
  // the item. A set without any thread has nobody who ever would.
  if (set->threads.empty()) return hr;
  set->backlog.push_back(item);
  return S_OK;
}

void WorkPool::Impl::JoinRetired() {
  std::vector<NativeThread> to_join;
  {
    std::lock_guard lock(mutex);
    to_join.swap(retired);
  }
  for (NativeThread& thread : to_join) thread.Join();
}

namespace {

std::atomic<WorkPool*> default_for_testing{nullptr};

}  // namespace

WorkPool* WorkPool::Default() {
  if (WorkPool* replacement = default_for_testing.load()) return replacement;
  // Leaked on purpose: work may still be queued from static destructors and
  // atexit handlers, and pool threads must not run into a destroyed pool.
  static WorkPool* const pool = new WorkPool(Options{});
  return pool;
}

void WorkPool::SetDefaultForTesting(WorkPool* pool) { default_for_testing.store(pool); }

WorkPool::WorkPool(const Options& options) : impl_(std::make_unique<Impl>(options)) {}

WorkPool::~WorkPool() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    impl_->default_wake.notify_all();
    for (Impl::GrowingSet* set : {&impl_->long_running, &impl_->timer_or_wait}) {
      for (Impl::SetThread* idle : set->idle) idle->wake.notify_one();
    }
  }
  // Items that are still running may queue more work, even make new threads,
  // so join until a round finds no thread left.
  for (;;) {
    std::vector<NativeThread> to_join;
    {
      std::unique_lock lock(impl_->mutex);
      impl_->set_exited.wait(lock, [this] {
        return impl_->long_running.threads.empty() && impl_->timer_or_wait.threads.empty();
      });
      to_join.swap(impl_->retired);
      for (NativeThread& thread : impl_->default_threads) to_join.push_back(std::move(thread));
      impl_->default_threads.clear();
    }
    if (to_join.empty()) break;
    for (NativeThread& thread : to_join) thread.Join();
  }
}

HRESULT WorkPool::Queue(Function function, void* context, uint32_t flags) {
  if (function == nullptr) return E_INVALIDARG;
  const Impl::Item item{function, context};
  if ((flags & kWorkTimerOrWait) != 0) {
    impl_->JoinRetired();
    return impl_->QueueToSet(&impl_->timer_or_wait, item);
  }
  if ((flags & kWorkLongRunning) != 0) {
    impl_->JoinRetired();
    return impl_->QueueToSet(&impl_->long_running, item);
  }
  return impl_->QueueDefault(item);
}

int WorkPool::QueuedItems() const {
  std::lock_guard lock(impl_->mutex);
  return static_cast<int>(impl_->queue.size() + impl_->long_running.backlog.size() +
                          impl_->timer_or_wait.backlog.size());
}

int WorkPool::ThreadCount() const {
  std::lock_guard lock(impl_->mutex);
  return static_cast<int>(impl_->default_threads.size() + impl_->long_running.threads.size() +
                          impl_->timer_or_wait.threads.size());
}

}  // namespace tobric::platform
