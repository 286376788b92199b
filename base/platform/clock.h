// Clocks: FILETIME from the system clock, a monotonic tick count, local time.
#ifndef BASE_PLATFORM_CLOCK_H_
#define BASE_PLATFORM_CLOCK_H_

#include <cstdint>

namespace tobric::platform {

// 100-ns intervals since 1601-01-01 UTC, from the system (wall) clock.
[[nodiscard]] uint64_t FileTimeNow();

// FileTimeNow's units in a millisecond and in a second.
inline constexpr uint64_t kFileTimeUnitsPerMs = 10000;
inline constexpr uint64_t kFileTimeUnitsPerSecond = 10000000;

// Milliseconds of a monotonic clock, wrapping at 2^32 like a tick count: compare
// two readings by unsigned subtraction.
[[nodiscard]] uint32_t TickCount();

// Milliseconds of a monotonic clock, not wrapping.
[[nodiscard]] uint64_t MonotonicMs();

struct LocalTime {
  int year;  // full year, e.g. 2026
  int month;  // 1..12
  int day;  // 1..31
  int hour;
  int minute;
  int second;
  int millisecond;
};

// Local time now, from the system clock and the time zone of the process.
[[nodiscard]] LocalTime LocalTimeNow();

void SleepMs(uint32_t ms);
// Gives up the rest of the time slice (Sleep(0)).
void YieldThread();

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_CLOCK_H_
