#include "base/platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace tobric::platform {
namespace {

TEST(Clock, FileTimeNowMatchesTheSystemClock) {
  // 1970-01-01 as a FILETIME, and the precise clock in FILETIME ticks.
  const auto ticks = [] {
    return 116444736000000000ull +
           static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count() /
                                 100);
  };
  const uint64_t before = ticks();
  const uint64_t now = FileTimeNow();
  EXPECT_GE(now, before);
  EXPECT_LE(now, ticks());
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
    EXPECT_EQ(now.hour * 60 + now.minute,
              static_cast<int>(time.hours().count() * 60 + time.minutes().count()));
    return;
  }
  FAIL() << "the second kept turning";
}

}  // namespace
}  // namespace tobric::platform
