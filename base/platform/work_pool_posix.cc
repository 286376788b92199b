#include "base/platform/work_pool.h"

#include <algorithm>
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

// Two sets of threads share one lock.
//
// Default threads serve a FIFO queue and never retire; there are at most
// default_target of them, made on demand so that an idle pool costs nothing.
//
// A long-running item never waits in a queue: it is handed to an idle
// long-running thread (the most recently idle one, so the others age and
// retire) or gets a new thread. That way a blocked item only ever blocks its
// own thread, and the default queue keeps moving however many HTTP workers
// are stuck in a connect.
//
// A retiring thread cannot join itself, so it moves its handle to `retired`,
// where the next Queue or the destructor joins it.
struct WorkPool::Impl {
  struct Item {
    Function function = nullptr;
    void* context = nullptr;
  };

  struct LongThread {
    NativeThread thread;
    std::condition_variable wake;
    bool has_item = false;  // an item was handed over and not yet taken
    Item item;
  };

  explicit Impl(const Options& opts) : options(opts) {
    default_target = options.default_threads;
    if (default_target <= 0) {
      const int cores = static_cast<int>(std::thread::hardware_concurrency());
      default_target = std::max(4, 2 * cores);
    }
  }

  void DefaultLoop();
  void LongLoop(LongThread* self);
  HRESULT QueueDefault(const Item& item);
  HRESULT QueueLongRunning(const Item& item);
  void JoinRetired();

  const Options options;
  int default_target = 0;

  mutable std::mutex mutex;
  // Everything below is guarded by mutex.
  std::condition_variable default_wake;  // default threads wait here
  std::condition_variable long_exited;   // a long-running thread left long_threads
  std::deque<Item> queue;
  std::vector<NativeThread> default_threads;
  int idle_default = 0;
  std::list<LongThread> long_threads;  // stable addresses: threads point at their entry
  std::vector<LongThread*> idle_long;  // the most recently idle last
  std::vector<NativeThread> retired;
  int running_long = 0;  // long-running items handed over and not yet finished
  bool stopping = false;
};

void WorkPool::Impl::DefaultLoop() {
  std::unique_lock lock(mutex);
  for (;;) {
    // While stopping, default threads stay until no long-running item is left
    // that could still queue default work.
    while (queue.empty() && !(stopping && running_long == 0)) {
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

void WorkPool::Impl::LongLoop(LongThread* self) {
  std::unique_lock lock(mutex);
  for (;;) {
    if (self->has_item) {
      const Item item = self->item;
      self->has_item = false;
      lock.unlock();
      item.function(item.context);
      lock.lock();
      --running_long;
      if (stopping) default_wake.notify_all();
    }
    if (stopping) break;
    idle_long.push_back(self);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.idle_retire_ms);
    while (!self->has_item && !stopping) {
      if (self->wake.wait_until(lock, deadline) == std::cv_status::timeout) break;
    }
    if (!self->has_item) {
      // Retiring (or stopping): whoever hands out items must no longer see us.
      idle_long.erase(std::find(idle_long.begin(), idle_long.end(), self));
      break;
    }
  }
  retired.push_back(std::move(self->thread));
  for (auto it = long_threads.begin(); it != long_threads.end(); ++it) {
    if (&*it == self) {
      long_threads.erase(it);
      break;
    }
  }
  long_exited.notify_all();
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

HRESULT WorkPool::Impl::QueueLongRunning(const Item& item) {
  std::lock_guard lock(mutex);
  if (!idle_long.empty()) {
    LongThread* thread = idle_long.back();
    idle_long.pop_back();
    thread->item = item;
    thread->has_item = true;
    ++running_long;
    thread->wake.notify_one();
    return S_OK;
  }
  if (static_cast<int>(long_threads.size()) >= options.max_long_running_threads) {
    // The same answer a refused thread creation gives: a resource limit.
    return HresultFromWin32(kErrorNotEnoughMemory);
  }
  LongThread& thread = long_threads.emplace_back();
  thread.item = item;
  thread.has_item = true;
  LongThread* self = &thread;
  // Started under the lock: the new thread's first act is to take the lock, so
  // it cannot retire (and erase its entry) before its handle is stored.
  const HRESULT hr = thread.thread.Start([this, self] { LongLoop(self); }, options.stack_size);
  if (Failed(hr)) {
    long_threads.pop_back();
    return hr;
  }
  ++running_long;
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

WorkPool* WorkPool::Default() {
  // Leaked on purpose: work may still be queued from static destructors and
  // atexit handlers, and pool threads must not run into a destroyed pool.
  static WorkPool* const pool = new WorkPool(Options{});
  return pool;
}

WorkPool::WorkPool(const Options& options) : impl_(std::make_unique<Impl>(options)) {}

WorkPool::~WorkPool() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    impl_->default_wake.notify_all();
    for (Impl::LongThread* idle : impl_->idle_long) idle->wake.notify_one();
  }
  // Items that are still running may queue more work, even make new threads,
  // so join until a round finds no thread left.
  for (;;) {
    std::vector<NativeThread> to_join;
    {
      std::unique_lock lock(impl_->mutex);
      impl_->long_exited.wait(lock, [this] { return impl_->long_threads.empty(); });
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
  if ((flags & kWorkLongRunning) == 0) return impl_->QueueDefault(item);
  impl_->JoinRetired();
  return impl_->QueueLongRunning(item);
}

int WorkPool::QueuedItems() const {
  std::lock_guard lock(impl_->mutex);
  return static_cast<int>(impl_->queue.size());
}

int WorkPool::ThreadCount() const {
  std::lock_guard lock(impl_->mutex);
  return static_cast<int>(impl_->default_threads.size() + impl_->long_threads.size());
}

}  // namespace tobric::platform
