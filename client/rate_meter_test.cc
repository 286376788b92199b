#include "client/rate_meter.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace lorvane {
namespace {

constexpr uint64_t kBlock = 4 << 20;
constexpr int32_t kAbsurd = 2'097'152'000;  // what the service shows for workers in step

// Five workers capped at 2 MiB/s each end their blocks within milliseconds of
// each other every two seconds; a display polling four times a second sees
// each burst in one or two polls. It shows their 10 MiB/s, not the service's
// figure, from the first burst on.
TEST(RateMeterTest, WorkersInStepShowTheirSumNotTheServicesBurst) {
  RateMeter meter;
  uint64_t downloaded = 0;
  EXPECT_EQ(meter.Update(0, downloaded, 0), 0);
  for (uint64_t ms = 250; ms <= 20'000; ms += 250) {
    // Three blocks are seen in the poll at the burst, two in the next one.
    if (ms % 2'000 == 0) downloaded += 3 * kBlock;
    if (ms % 2'000 == 250) downloaded += 2 * kBlock;
    const int32_t shown = meter.Update(ms, downloaded, kAbsurd);
    if (ms < 2'250) continue;
    SCOPED_TRACE(ms);
    EXPECT_GE(shown, 4 << 20);
    EXPECT_LE(shown, 11 << 20);
    if (ms % 2'000 == 250) {
      EXPECT_NEAR(shown, 10 << 20, 1 << 20);
    }
  }
}

// No figure is shown before there is one to measure; the service's 0 (no
// data for seconds, or not running) is shown as it is; a download laid out
// anew is measured afresh.
TEST(RateMeterTest, IdleAndStartingOverFollowTheService) {
  RateMeter meter;
  EXPECT_EQ(meter.Update(0, 0, kAbsurd), RateMeter::kUnmeasured);
  EXPECT_EQ(meter.Update(2'000, 2 * kBlock, kAbsurd), static_cast<int32_t>(kBlock));
  EXPECT_EQ(meter.Update(9'000, 2 * kBlock, 0), 0);
  EXPECT_EQ(meter.Update(10'000, kBlock, 300), RateMeter::kUnmeasured);
  EXPECT_EQ(meter.Update(10'500, 2 * kBlock, 300), RateMeter::kUnmeasured);
  EXPECT_EQ(meter.Update(11'500, 3 * kBlock, 300), static_cast<int32_t>(kBlock));
}

}  // namespace
}  // namespace lorvane
