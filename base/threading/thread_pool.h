// The process's pool of work items on the platform work pool, with a stop event
// for long items and a bounded Drain for the application's stop.
#ifndef BASE_THREADING_THREAD_POOL_H_
#define BASE_THREADING_THREAD_POOL_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "base/platform/work_pool.h"
#include "base/result_codes.h"
#include "base/threading/manual_reset_event.h"
#include "base/threading/user_work_item.h"

namespace tobric {

// Queue's answer once Drain has finished: HRESULT_FROM_WIN32(1115), "a shutdown
// is in progress". The item has not run and is still the caller's.
inline constexpr HRESULT E_POOL_DRAINED = MakeHresult(0x8007045B);

// One per process, owned by the offline center, which initialises it at start
// and drains and deletes it at stop. Queue may be called from any thread,
// including the pool's own; Initialize, Drain and the setter from one thread at
// a time (the owner's).
//
// The pending count and its wake-up live in a block shared with every queued
// item, and the stop event is shared with the items too: an item still running
// after Drain gave up waiting, or after the pool was deleted, touches nothing
// that is gone.
//
// After Drain has begun, items still run and see the stop event set; once Drain
// has returned, Queue refuses with E_POOL_DRAINED (the item stays the caller's,
// with a stop event that is set), because whatever the item would call may
// already be torn down. Initialize makes the pool usable again.
class ThreadPool {
 public:
  static constexpr uint32_t kDefaultDrainLimitMs = 60000;

  explicit ThreadPool(platform::WorkPool* work_pool = nullptr);  // nullptr: WorkPool::Default()
  // Does not wait for items: Drain first.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Sets the drain limit to 60000 ms and makes a new stop event, not set.
  [[nodiscard]] HRESULT Initialize();

  // Hands the item to the work pool (flags: platform::kWorkDefault, or
  // platform::kWorkLongRunning for items that may block). On success the pool
  // owns the item: it runs once and is deleted right after, on the thread that
  // ran it. On failure it has not run, is not deleted and pending is unchanged:
  // the work pool's error, E_UNEXPECTED before Initialize, E_POOL_DRAINED after
  // Drain, E_OUTOFMEMORY when the queue record cannot be had.
  [[nodiscard]] HRESULT Queue(UserWorkItem* item, uint32_t flags);

  // Sets the stop event and waits until no item is pending, at most the drain
  // limit; then lets go of the stop event. Items still running are not waited
  // for beyond the limit.
  void Drain();

  // For tests, which cannot wait 60 s; call after Initialize, which resets it.
  void set_drain_limit_ms(uint32_t limit_ms) { drain_limit_ms_ = limit_ms; }
  [[nodiscard]] uint32_t drain_limit_ms() const { return drain_limit_ms_; }

  // Items queued and not yet finished.
  [[nodiscard]] int32_t pending() const { return counter_->pending.load(); }

 private:
  // Shared by the pool and every queued item's record.
  struct Counter {
    std::atomic<int32_t> pending{0};
    std::mutex mutex;  // only to pair the last decrement's wake-up with Drain's wait
    std::condition_variable idle;
  };
  struct Record {
    std::shared_ptr<Counter> counter;
    UserWorkItem* item;
  };

  static void Trampoline(void* context);

  platform::WorkPool* const work_pool_;
  const std::shared_ptr<Counter> counter_;
  std::atomic<uint32_t> drain_limit_ms_{kDefaultDrainLimitMs};

  std::mutex mutex_;
  // Guarded by mutex_.
  std::shared_ptr<ManualResetEvent> stop_event_;
  bool drained_ = false;
};

// Queues object->method(a1, a2) as a ThreadPoolCallBack2. On failure the item is
// freed and the code returned; the caller logs "[QueueDeferredFunctionCall2
// failed %d]" with it.
template <class T, class R, class A1, class A2, class P1, class P2>
[[nodiscard]] HRESULT QueueDeferredFunctionCall2(ThreadPool* pool, T* object,
                                                 R (T::*method)(A1, A2), P1&& a1, P2&& a2,
                                                 uint32_t flags) {
  auto* item = new (std::nothrow)
      ThreadPoolCallBack2<T, A1, A2, R>(object, method, std::forward<P1>(a1), std::forward<P2>(a2));
  if (item == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = pool->Queue(item, flags);
  if (Failed(hr)) delete item;
  return hr;
}

}  // namespace tobric

#endif  // BASE_THREADING_THREAD_POOL_H_
