#include "base/platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>

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

}  // namespace
}  // namespace tobric::platform
