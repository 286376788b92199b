// An unnamed manual-reset event inside the process: once set it stays set, and
// every waiter is released, until Reset.
//
// The thread pool's stop event is one. It is held by shared_ptr, the pool and
// every work item it queued each holding a reference, so an item that outlives
// the pool's Drain (or the pool itself) can still test it safely.
//
// Thread-safe: any thread may call any method.
#ifndef BASE_THREADING_MANUAL_RESET_EVENT_H_
#define BASE_THREADING_MANUAL_RESET_EVENT_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tobric {

class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initially_set = false) : set_(initially_set) {}
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void Set();
  void Reset();
  [[nodiscard]] bool IsSet() const;
  // Waits up to timeout_ms (platform::kInfinite: no limit) for the event to be
  // set; true when it is set.
  [[nodiscard]] bool Wait(uint32_t timeout_ms) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool set_;  // guarded by mutex_
};

}  // namespace tobric

#endif  // BASE_THREADING_MANUAL_RESET_EVENT_H_
