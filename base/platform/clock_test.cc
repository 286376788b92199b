#include "base/platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace tobric::platform {
namespace {


TEST(Clock, FileTimeNowMatchesTheSystemClock) {
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 as a FILETIME

  // std::time reads the kernel's coarse clock, which can lag the precise one
  // by a tick; the reference is therefore the same precise clock, in FILETIME
  // ticks.
  const auto ticks = [] {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpoch + static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100);
  };
  const uint64_t before = ticks();
  const uint64_t now = FileTimeNow();
  const uint64_t after = ticks();
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

TEST(Clock, MonotonicClocksAgree) {
  const uint64_t ms = MonotonicMs();
  const uint32_t ticks = TickCount();
  EXPECT_LE(static_cast<uint32_t>(ticks - static_cast<uint32_t>(ms)), 1000u);
  SleepMs(20);
  EXPECT_GE(MonotonicMs() - ms, 20u);
  EXPECT_GE(static_cast<uint32_t>(TickCount() - ticks), 20u);
}

TEST(Clock, LocalTimeNowInUtcMatchesTheCalendar) {
  setenv("TZ", "UTC0", 1);
  tzset();
  // Retried when the second turns between the two readings.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const auto reference =
        std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const LocalTime now = LocalTimeNow();
    const auto day = std::chrono::floor<std::chrono::days>(reference);
    const std::chrono::year_month_day date(day);
    const std::chrono::hh_mm_ss time(reference - day);
    if (now.second != static_cast<int>(time.seconds().count())) continue;
    EXPECT_EQ(now.year, static_cast<int>(date.year()));
    EXPECT_EQ(now.month, static_cast<int>(static_cast<unsigned>(date.month())));
    EXPECT_EQ(now.day, static_cast<int>(static_cast<unsigned>(date.day())));
    EXPECT_EQ(now.hour, static_cast<int>(time.hours().count()));
    EXPECT_EQ(now.minute, static_cast<int>(time.minutes().count()));
    EXPECT_GE(now.millisecond, 0);
    EXPECT_LE(now.millisecond, 999);
    return;
  }
  FAIL() << "the second kept turning";
}

}  // namespace
}  // namespace tobric::platform
