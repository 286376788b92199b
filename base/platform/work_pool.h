// The process-wide pool of worker threads that runs work items.
//
// Three sets of threads, chosen by the item's flags:
// - Default items (flags 0) run in order of queuing on a fixed set of threads.
// - Long-running items (kWorkLongRunning, e.g. blocking HTTP workers) get a
//   thread of their own from a second set that grows on demand up to a cap of
//   some thousands, so thousands of blocked workers never starve the short
//   scheduling passes queued as default items. At the cap an item waits its
//   turn and runs on the first long-running thread that becomes free.
// - Timer ticks and fired event waits (kWorkTimerOrWait) get a thread of their
//   own from a third set that grows the same way. A default item that blocks (a
//   save waiting on a disk flush, a lock) or a long-running set full of stuck
//   HTTP workers holds up no tick, and the shutdown callback, which waits for
//   the running downloads, occupies no default thread.
// Idle threads of the growing sets retire. Threads get small stacks (256 KiB)
// and leave asynchronous signals to the thread that waits for them
// (native_thread.h).
#ifndef BASE_PLATFORM_WORK_POOL_H_
#define BASE_PLATFORM_WORK_POOL_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/result_codes.h"

namespace tobric::platform {

inline constexpr uint32_t kWorkDefault = 0;
inline constexpr uint32_t kWorkLongRunning = 16;
// Timer-queue ticks and event-registry callbacks. Takes precedence over
// kWorkLongRunning when both are given.
inline constexpr uint32_t kWorkTimerOrWait = 32;

class WorkPool {
 public:
  struct Options {
    int default_threads = 0;  // 0: max(4, 2 * cores)
    // 0: no long-running thread may be made, so long-running items are refused.
    int max_long_running_threads = 4000;
    size_t stack_size = 256 * 1024;
    uint32_t idle_retire_ms = 30000;  // an idle thread of a growing set ends after this
    // Ticks and waits run at once, each on a thread of its own; beyond this
    // many they wait their turn. 0: refused, as for long-running items.
    int max_timer_or_wait_threads = 256;
  };

  using Function = void (*)(void* context);

  // The process's pool, made on first use and never destroyed (or the pool a
  // test put in its place).
  static WorkPool* Default();
  // Makes Default() return `pool` (nullptr: the process's own again), so a test
  // can fill the pool that code given no pool would use. Objects that already
  // took Default() keep what they took.
  static void SetDefaultForTesting(WorkPool* pool);

  explicit WorkPool(const Options& options);
  // Runs what is queued (and what that queues), then joins every thread. Must
  // not run on one of the pool's own threads.
  ~WorkPool();
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  // Runs function(context) on a pool thread; any thread may call it, pool
  // threads included. An item that finds every thread of its set busy and the
  // set at its cap waits, in order of queuing, for the first thread of the set
  // that becomes free. Fails (and the function will never run) with the
  // platform error as an HRESULT only when its set has no thread at all and
  // cannot make one (a cap of 0 gives HRESULT_FROM_WIN32(8), as for a thread the
  // system refuses).
  [[nodiscard]] HRESULT Queue(Function function, void* context, uint32_t flags);

  // Threads that exist now (all sets), for statistics and tests.
  [[nodiscard]] int ThreadCount() const;
  // Items waiting for a thread (all sets), for statistics and tests.
  [[nodiscard]] int QueuedItems() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_WORK_POOL_H_
