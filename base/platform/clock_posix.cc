#include "base/platform/clock.h"

#include <errno.h>
#include <sched.h>
#include <time.h>

namespace tobric::platform {

namespace {

// FILETIME of 1970-01-01 00:00:00 UTC.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

uint64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

uint64_t FileTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return kUnixEpochAsFileTime + static_cast<uint64_t>(now.tv_sec) * 10000000ull +
         static_cast<uint64_t>(now.tv_nsec) / 100;
}

uint32_t TickCount() { return static_cast<uint32_t>(MonotonicMs()); }

uint64_t MonotonicMs() { return MonotonicNs() / 1000000; }

LocalTime LocalTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  localtime_r(&now.tv_sec, &parts);
  return LocalTime{parts.tm_year + 1900,
                   parts.tm_mon + 1,
                   parts.tm_mday,
                   parts.tm_hour,
                   parts.tm_min,
                   parts.tm_sec,
                   static_cast<int>(now.tv_nsec / 1000000)};
}

void SleepMs(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  // A signal handler interrupting the sleep must not shorten it.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void YieldThread() { sched_yield(); }

}  // namespace tobric::platform
