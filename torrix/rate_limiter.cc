#include "torrix/rate_limiter.h"

#include <algorithm>
#include <chrono>

#include "base/platform/clock.h"

namespace torrix {

namespace {

// A gap longer than this fills any bucket; capping it keeps rate × gap far
// from overflowing.
constexpr uint64_t kMaxRefillMs = 60'000;

}  // namespace

int64_t TokenBucket::capacity() const { return std::max(rate_ / 4, kMinCapacity); }

void TokenBucket::Refill(uint64_t now_ms) {
  if (now_ms <= last_ms_) return;
  const uint64_t gap = std::min(now_ms - last_ms_, kMaxRefillMs);
  last_ms_ = now_ms;
  milli_tokens_ = std::min(milli_tokens_ + rate_ * static_cast<int64_t>(gap), capacity() * 1000);
}

void TokenBucket::SetRate(int64_t bytes_per_second, uint64_t now_ms) {
  const int64_t rate = std::max<int64_t>(bytes_per_second, 0);
  if (rate_ > 0) Refill(now_ms);
  if (rate_ <= 0 || rate <= 0) {
    last_ms_ = now_ms;
    rate_ = rate;
    milli_tokens_ = rate > 0 ? capacity() * 1000 : 0;
    return;
  }
  rate_ = rate;
  milli_tokens_ = std::min(milli_tokens_, capacity() * 1000);
}

uint64_t TokenBucket::Take(uint64_t bytes, uint64_t now_ms) {
  if (rate_ <= 0) return 0;
  Refill(now_ms);
  milli_tokens_ -= static_cast<int64_t>(bytes) * 1000;
  if (milli_tokens_ >= 0) return 0;
  // Rounded up: waking a millisecond early would only wait again.
  return static_cast<uint64_t>((-milli_tokens_ + rate_ - 1) / rate_);
}

void RateLimiter::SetRate(int64_t bytes_per_second) {
  {
    tobric::MutexLock hold(mutex_);
    bucket_.SetRate(bytes_per_second, tobric::platform::MonotonicMs());
  }
  changed_.notify_all();
}

int64_t RateLimiter::rate() const {
  tobric::MutexLock hold(mutex_);
  return bucket_.rate();
}

void RateLimiter::Consume(uint64_t bytes, const std::atomic<bool>& stop) {
  tobric::MutexLock hold(mutex_);
  uint64_t wait_ms = bucket_.Take(bytes, tobric::platform::MonotonicMs());
  while (wait_ms > 0 && !stop.load()) {
    changed_.wait_for(hold, std::chrono::milliseconds(wait_ms));
    wait_ms = bucket_.Take(0, tobric::platform::MonotonicMs());
  }
}

void RateLimiter::WakeAll() {
  // Taking the mutex orders the wake after a waiter's look at its flag.
  { tobric::MutexLock hold(mutex_); }
  changed_.notify_all();
}

}  // namespace torrix
