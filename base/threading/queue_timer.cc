#include "base/threading/queue_timer.h"

#include <thread>

namespace tobric {

QueueTimer::QueueTimer(platform::TimerQueue* timer_queue, void* owner, Callback callback)
    : owner_(owner), timer_queue_(timer_queue), callback_(callback) {}

namespace {

// How soon a one-shot tick that found an earlier tick still running comes again.
constexpr uint32_t kDeferredTickMs = 10;

}  // namespace

QueueTimer::~QueueTimer() {
  // Seen by a deferring tick before it waits for the state lock, which this
  // destructor holds while it waits for that very tick.
  closing_.store(true);
  // A tick that gets its platform callback while this lock is held fails its
  // try-lock and returns at once, so the waiting delete below always ends.
  std::lock_guard callback_lock(callback_lock_);
  std::lock_guard state_lock(state_lock_);
  if (armed_) {
    // The only failure is being called from this timer's own callback, which the
    // callback lock already rules out.
    [[maybe_unused]] const HRESULT hr = timer_queue_->DeleteTimer(timer_id_, true);
    armed_ = false;
  }
}

HRESULT QueueTimer::Start(uint32_t due_time_ms, uint32_t period_ms, uint32_t flags) {
  std::lock_guard state_lock(state_lock_);
  if (armed_) return E_UNEXPECTED;
  platform::TimerQueue::TimerId id = 0;
  const HRESULT hr =
      timer_queue_->CreateTimer(&QueueTimer::Tick, this, due_time_ms, period_ms, flags, &id);
  if (Failed(hr)) return hr;
  due_time_ = due_time_ms;
  period_ = period_ms;
  flags_ = flags;
  timer_id_ = id;
  armed_ = true;
  return S_OK;
}

void QueueTimer::Tick(void* parameter, bool /*fired*/) {
  auto* self = static_cast<QueueTimer*>(parameter);
  std::unique_lock callback_lock(self->callback_lock_, std::try_to_lock);
  if (!callback_lock.owns_lock()) {
    self->dropped_ticks_.fetch_add(1);
    self->DeferOneShot();
    return;
  }
  {
    std::lock_guard state_lock(self->state_lock_);
    if (self->armed_ && self->period_ == 0) {
      // Not waiting: this very callback is one of the timer's. Disarmed before
      // the callback runs so that the callback may Start the timer again.
      [[maybe_unused]] const HRESULT hr = self->timer_queue_->DeleteTimer(self->timer_id_, false);
      self->armed_ = false;
    }
  }
  // The callback runs without the state lock: it takes its owner's locks, and
  // the owner's other threads call Start while holding those same locks.
  if (self->callback_ != nullptr) self->callback_(self);
}

void QueueTimer::DeferOneShot() {
  // The state lock is only tried: the destructor holds it while it waits for
  // this tick to return.
  std::unique_lock state_lock(state_lock_, std::defer_lock);
  while (!state_lock.try_lock()) {
    if (closing_.load()) return;
    std::this_thread::yield();
  }
  if (closing_.load() || !armed_ || period_ != 0) return;
  // A periodic timer's next tick comes anyway, but this was the one-shot's only
  // tick: dropped, the owner's callback would never run and the timer would
  // stay armed for good, refusing every later Start. It comes again shortly,
  // when the tick in progress has likely ended.
  [[maybe_unused]] const HRESULT deleted = timer_queue_->DeleteTimer(timer_id_, false);
  platform::TimerQueue::TimerId id = 0;
  if (Failed(timer_queue_->CreateTimer(&QueueTimer::Tick, this, kDeferredTickMs, 0, flags_, &id))) {
    armed_ = false;
    return;
  }
  timer_id_ = id;
}

bool QueueTimer::armed() const {
  std::lock_guard state_lock(state_lock_);
  return armed_;
}

uint32_t QueueTimer::due_time() const {
  std::lock_guard state_lock(state_lock_);
  return due_time_;
}

uint32_t QueueTimer::period() const {
  std::lock_guard state_lock(state_lock_);
  return period_;
}

uint32_t QueueTimer::flags() const {
  std::lock_guard state_lock(state_lock_);
  return flags_;
}

}  // namespace tobric
