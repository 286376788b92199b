// The process-wide pool of worker threads that runs work items.
//
// Default items (flags 0) run in order of queuing on a fixed set of threads.
// Long-running items (kWorkLongRunning, e.g. blocking HTTP workers) get a thread
// of their own from a second set that grows on demand up to a cap of some
// thousands and whose idle threads retire, so thousands of blocked workers never
// starve the short scheduling passes queued as default items. Threads get small
// stacks (256 KiB) and leave asynchronous signals to the thread that waits for
// them (native_thread.h).
#ifndef BASE_PLATFORM_WORK_POOL_H_
#define BASE_PLATFORM_WORK_POOL_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/result_codes.h"

namespace tobric::platform {

inline constexpr uint32_t kWorkDefault = 0;
inline constexpr uint32_t kWorkLongRunning = 16;

class WorkPool {
 public:
  struct Options {
    int default_threads = 0;  // 0: max(4, 2 * cores)
    int max_long_running_threads = 4000;
    size_t stack_size = 256 * 1024;
    uint32_t idle_retire_ms = 30000;  // an idle long-running thread ends after this
  };

  using Function = void (*)(void* context);

  // The process's pool, made on first use and never destroyed.
  static WorkPool* Default();

  explicit WorkPool(const Options& options);
  // Runs what is queued (and what that queues), then joins every thread. Must
  // not run on one of the pool's own threads.
  ~WorkPool();
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  // Runs function(context) on a pool thread; any thread may call it, pool
  // threads included. Fails (and the function will never run) with the
  // platform error as an HRESULT when no thread can take the item: for a
  // long-running item the cap is reached (HRESULT_FROM_WIN32(8), as for a
  // thread the system refuses) or a thread cannot be made; for a default item
  // only when the pool has no thread at all and cannot make one.
  [[nodiscard]] HRESULT Queue(Function function, void* context, uint32_t flags);

  // Threads that exist now (both sets), for statistics and tests.
  [[nodiscard]] int ThreadCount() const;
  // Default items waiting for a thread, for statistics and tests.
  [[nodiscard]] int QueuedItems() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_WORK_POOL_H_
