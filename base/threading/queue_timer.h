// A timer in a timer queue that calls its owner back, with ticks of one timer
// never overlapping and a destroy that excludes ticks.
#ifndef BASE_THREADING_QUEUE_TIMER_H_
#define BASE_THREADING_QUEUE_TIMER_H_

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/platform/timer_queue.h"
#include "base/result_codes.h"

namespace tobric {

// Owned by the object it calls back (the owner), which also owns the timer
// queue and destroys this timer before the queue. Start may be called from any
// thread, including from inside the callback (a one-shot timer re-arms itself
// that way). Ticks run on the work pool's timer-and-wait threads.
//
// Two locks:
// - callback_lock_ is held for the whole delivery of a tick. A tick only tries
//   it: when it is taken (another tick still running, or the destructor), the
//   tick is dropped, never queued, so a slow callback skips ticks of a periodic
//   timer. A one-shot timer's only tick is not lost that way: it is armed again
//   for a few milliseconds later (not while the destructor runs).
// - state_lock_ guards the fields (armed_, timer_id_, due/period/flags) against
//   a concurrent Start. Never held while the callback runs: the callback takes
//   its owner's locks, and the owner calls Start while holding them.
// Lock order: callback_lock_ before state_lock_, in the tick and the destructor.
//
// The destructor waits for a tick being delivered and must therefore never run
// inside this timer's own callback.
class QueueTimer {
 public:
  using Callback = void (*)(QueueTimer* timer);

  // timer_queue and owner are not owned.
  QueueTimer(platform::TimerQueue* timer_queue, void* owner, Callback callback);
  // Waits for a tick in progress, then deletes the timer and waits for every
  // callback of it still running (those are dropped ticks and return at once).
  ~QueueTimer();
  QueueTimer(const QueueTimer&) = delete;
  QueueTimer& operator=(const QueueTimer&) = delete;

  // Arms the timer: the first tick after due_time_ms, then every period_ms
  // (0: once). flags are the timer queue's (0 or platform::kTimerExecuteOnlyOnce).
  // E_UNEXPECTED when it is armed already, and the armed timer goes on
  // unchanged; a one-shot timer is no longer armed once its tick has begun.
  [[nodiscard]] HRESULT Start(uint32_t due_time_ms, uint32_t period_ms, uint32_t flags);

  [[nodiscard]] void* owner() const { return owner_; }
  [[nodiscard]] bool armed() const;
  [[nodiscard]] uint32_t due_time() const;
  [[nodiscard]] uint32_t period() const;
  [[nodiscard]] uint32_t flags() const;
  // Ticks that arrived while another tick or the destructor held the callback
  // lock, for statistics and tests.
  [[nodiscard]] uint32_t dropped_ticks() const { return dropped_ticks_.load(); }

 private:
  static void Tick(void* parameter, bool fired);
  // For a tick that found the callback lock taken: a one-shot timer's tick is
  // delivered again a little later instead of being lost.
  void DeferOneShot();

  std::mutex callback_lock_;
  mutable std::recursive_mutex state_lock_;

  // Constant after construction.
  void* const owner_;
  platform::TimerQueue* const timer_queue_;
  const Callback callback_;

  // Guarded by state_lock_. The values describe the armed timer: a refused
  // Start does not change them, so a tick of a periodic timer never reads the
  // period of a Start that did not happen.
  uint32_t due_time_ = 0;
  uint32_t period_ = 0;
  uint32_t flags_ = 0;
  bool armed_ = false;
  platform::TimerQueue::TimerId timer_id_ = 0;

  std::atomic<uint32_t> dropped_ticks_{0};
  std::atomic<bool> closing_{false};
};

}  // namespace tobric

#endif  // BASE_THREADING_QUEUE_TIMER_H_
