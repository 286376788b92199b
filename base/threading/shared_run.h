// One action run for many callers at once: the group commit of flushes.
#ifndef BASE_THREADING_SHARED_RUN_H_
#define BASE_THREADING_SHARED_RUN_H_

#include <condition_variable>
#include <cstdint>
#include <functional>

#include "base/result_codes.h"
#include "base/threading/lock.h"

namespace tobric {

// A caller that comes while the action runs waits for that run to end; then
// one of those who waited runs it once more for all of them. Every caller
// returns after a run that began after its call, with that run's result. Made
// for flushes: a flush that begins after a change carries it, so the changes
// of a hundred callers at once cost a few flushes instead of a hundred.
//
// No lock is held while the action runs or while a caller waits; the action
// must not call Run of the same object.
class SharedRun {
 public:
  SharedRun() = default;
  SharedRun(const SharedRun&) = delete;
  SharedRun& operator=(const SharedRun&) = delete;

  // *carried (may be null) tells whether another caller's run served this one.
  [[nodiscard]] HRESULT Run(const std::function<HRESULT()>& action, bool* carried = nullptr);
  // Calls so far, the running and waiting ones included.
  [[nodiscard]] uint64_t calls() const;

 private:
  mutable Mutex mutex_;
  std::condition_variable_any changed_;
  // Calls counted, and the newest call a finished run began after.
  uint64_t calls_ GUARDED_BY(mutex_) = 0;
  uint64_t served_ GUARDED_BY(mutex_) = 0;
  bool running_ GUARDED_BY(mutex_) = false;
  HRESULT result_ GUARDED_BY(mutex_) = S_OK;
};

}  // namespace tobric

#endif  // BASE_THREADING_SHARED_RUN_H_
