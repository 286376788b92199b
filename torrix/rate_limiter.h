// The engine's bandwidth limit: a token bucket shared by every range request
// of every task.
#ifndef TORRIX_RATE_LIMITER_H_
#define TORRIX_RATE_LIMITER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>

#include "base/threading/lock.h"
#include "base/threading/thread_annotations.h"

namespace torrix {

// The arithmetic of the bucket, on times the caller gives (milliseconds of a
// monotonic clock), so that it can be checked without a clock. Tokens are
// bytes; the bucket holds a quarter of a second's worth (at least 16 KiB), so
// a burst after a quiet spell stays short. Bytes are taken after they arrived:
// the balance may go below zero, and the taker then waits until the rate has
// paid the debt back. Not thread-safe; RateLimiter guards it.
class TokenBucket {
 public:
  static constexpr int64_t kMinCapacity = 16 * 1024;

  // A rate of 0 or less is unlimited. A new limit starts with a full bucket;
  // a changed one keeps the balance (debt included) earned so far, cut to the
  // new capacity.
  void SetRate(int64_t bytes_per_second, uint64_t now_ms);
  // Takes `bytes`; the milliseconds until the balance is back at zero (0: go on).
  [[nodiscard]] uint64_t Take(uint64_t bytes, uint64_t now_ms);

  [[nodiscard]] int64_t rate() const { return rate_; }
  [[nodiscard]] int64_t capacity() const;
  // Whole bytes; negative while in debt.
  [[nodiscard]] int64_t balance() const { return milli_tokens_ / 1000; }

 private:
  void Refill(uint64_t now_ms);

  int64_t rate_ = 0;
  // Tokens in thousandths of a byte: a rate in bytes per second adds exactly
  // `rate` of them per millisecond.
  int64_t milli_tokens_ = 0;
  uint64_t last_ms_ = 0;
};

// The bucket with the waiting around it. Any thread. mutex_ guards the bucket;
// a taker in debt waits on changed_ (letting the mutex go), woken by a new
// rate or WakeAll, so a limit lifted or changed reaches running requests at
// once.
class RateLimiter {
 public:
  RateLimiter() = default;
  RateLimiter(const RateLimiter&) = delete;
  RateLimiter& operator=(const RateLimiter&) = delete;

  void SetRate(int64_t bytes_per_second);
  [[nodiscard]] int64_t rate() const;
  // Takes `bytes` and blocks while the bucket is in debt, or until `stop`
  // is true (checked whenever WakeAll or a rate change wakes the waiters).
  void Consume(uint64_t bytes, const std::atomic<bool>& stop);
  // Wakes every waiter to look at its stop flag.
  void WakeAll();

 private:
  mutable tobric::Mutex mutex_;
  std::condition_variable_any changed_;
  TokenBucket bucket_ GUARDED_BY(mutex_);
};

}  // namespace torrix

#endif  // TORRIX_RATE_LIMITER_H_
