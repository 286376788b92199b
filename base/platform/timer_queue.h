// A timer queue: timers with a due time and an optional period whose callbacks
// run on the work pool's timer-and-wait threads, which blocked default or
// long-running items cannot hold up. Each queue has its own timing thread,
// started with the first timer.
//
// Owned by the object whose timers it holds; any thread may create and delete
// timers, callbacks included. A periodic timer's tick is handed to the pool even
// while its previous callback still runs (owners that want no overlap drop such
// ticks, as QueueTimer does). Due times advance by whole periods, without drift;
// after a stall longer than a period the missed ticks are skipped.
#ifndef BASE_PLATFORM_TIMER_QUEUE_H_
#define BASE_PLATFORM_TIMER_QUEUE_H_

#include <cstdint>
#include <memory>

#include "base/result_codes.h"

namespace tobric::platform {

class WorkPool;

// Timer flags: the callback runs once; the timer then stays until deleted.
inline constexpr uint32_t kTimerExecuteOnlyOnce = 8;

class TimerQueue {
 public:
  using Callback = void (*)(void* parameter, bool fired);
  using TimerId = uint64_t;

  explicit TimerQueue(WorkPool* pool = nullptr);  // nullptr: WorkPool::Default()
  // Deletes every timer and waits for running callbacks, except those of the
  // calling thread when it runs inside one of this queue's callbacks.
  ~TimerQueue();
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  // First call after due_ms, then every period_ms (0: once).
  [[nodiscard]] HRESULT CreateTimer(Callback callback, void* parameter, uint32_t due_ms,
                                    uint32_t period_ms, uint32_t flags, TimerId* id);

  // Deletes the timer; no callback of it starts afterwards, not even one already
  // handed to the pool. With wait, returns only when its running callbacks have
  // returned; calling that from one of its own callbacks deletes the timer but
  // returns E_UNEXPECTED instead of dead-locking. E_INVALIDARG for an unknown or
  // already deleted timer. A one-shot timer stays until deleted.
  [[nodiscard]] HRESULT DeleteTimer(TimerId id, bool wait);

 private:
  struct Impl;
  // Shared with the callbacks handed to the pool, which may outlive the queue.
  std::shared_ptr<Impl> impl_;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_TIMER_QUEUE_H_
