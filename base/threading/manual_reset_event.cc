#include "base/threading/manual_reset_event.h"

#include <chrono>

#include "base/platform/named_mutex.h"

namespace tobric {

void ManualResetEvent::Set() {
  std::lock_guard lock(mutex_);
  set_ = true;
  changed_.notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool ManualResetEvent::IsSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

bool ManualResetEvent::Wait(uint32_t timeout_ms) const {
  std::unique_lock lock(mutex_);
  if (timeout_ms == platform::kInfinite) {
    changed_.wait(lock, [this] { return set_; });
    return true;
  }
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return set_; });
}

}  // namespace tobric
