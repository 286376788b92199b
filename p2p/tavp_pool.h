// The poller of the P2P tasks: the engine does not call back, so every started
// TavpTask is asked for its progress once a second.
#ifndef P2P_TAVP_POOL_H_
#define P2P_TAVP_POOL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/platform/timer_queue.h"
#include "base/result_codes.h"
#include "base/threading/lock.h"
#include "base/threading/queue_timer.h"

namespace lorvane {

class TavpTask;

struct TavpPoolOptions {
  // From the end of one poll cycle to the start of the next.
  uint32_t poll_interval_ms = 1000;
  // Runs at the end of every cycle, after the timer decision; tests wait on it.
  std::function<void()> after_cycle;
};

// TavpPool: the started P2P tasks, polled in the order they were added by a
// one-shot timer that is armed again only after a whole cycle, so cycles never
// overlap and a slow engine call delays the next cycle instead of piling ticks
// up. Polling stops when no task is left and resumes with the next Add.
//
// Ownership: the process has one, made on first use and never destroyed
// (GetInstance); tests make their own. The pool holds its tasks by shared_ptr
// until they finish; it owns its timer queue and timer.
//
// Threads: Add on the download manager's pool threads (a task's Start, under
// the package's lock); the cycle and Remove on the timer's thread.
// lock_ guards the task list and the timer flag only. It is never held while a
// task talks to the engine or touches its package, so a cycle never holds up
// a Start, and a slow engine never holds up the list.
class TavpPool {
 public:
  static TavpPool* GetInstance();

  explicit TavpPool(TavpPoolOptions options = TavpPoolOptions());
  // Waits for a cycle in progress (never from inside one).
  ~TavpPool();
  TavpPool(const TavpPool&) = delete;
  TavpPool& operator=(const TavpPool&) = delete;

  // Appends the task unless it is there already, and makes sure the timer runs.
  // Always S_OK: a timer that cannot be armed is logged and armed again by the
  // next Add.
  HRESULT Add(std::shared_ptr<TavpTask> task);
  // Takes the task out; the others keep their order.
  void Remove(const TavpTask* task);

  [[nodiscard]] size_t TaskCount();
  [[nodiscard]] bool timer_running();

 private:
  void EnsureTimerRunning() REQUIRES(lock_);
  static void OnTimer(tobric::QueueTimer* timer);
  void Cycle();

  const TavpPoolOptions options_;

  tobric::LLock lock_;
  std::vector<std::shared_ptr<TavpTask>> tasks_ GUARDED_BY(lock_);
  bool timer_running_ GUARDED_BY(lock_) = false;

  // The queue outlives the timer in it (members are destroyed in reverse).
  tobric::platform::TimerQueue timer_queue_;
  std::unique_ptr<tobric::QueueTimer> timer_;
};

}  // namespace lorvane

#endif  // P2P_TAVP_POOL_H_
