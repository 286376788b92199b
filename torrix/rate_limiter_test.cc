#include "torrix/rate_limiter.h"

#include <gtest/gtest.h>

namespace torrix {
namespace {

constexpr uint64_t kPiece = 16 * 1024;

TEST(TokenBucketTest, HoldsAGreedyTakerBetweenTheRateAndTheRatePlusOneBurst) {
  constexpr int64_t kRate = 100'000;
  TokenBucket bucket;
  bucket.SetRate(kRate, 0);
  uint64_t now = 0;
  uint64_t granted = 0;
  // Takes a piece whenever the bucket lets it, for ten seconds of its time.
  while (now < 10'000) {
    granted += kPiece;
    now += bucket.Take(kPiece, now);
  }
  const uint64_t paid = static_cast<uint64_t>(kRate) * now / 1000;
  EXPECT_LE(granted, paid + static_cast<uint64_t>(bucket.capacity()) + kPiece);
  EXPECT_GE(granted, paid);
}

TEST(TokenBucketTest, ANewRateKeepsTheDebtAndUnlimitedDropsIt) {
  TokenBucket bucket;
  bucket.SetRate(1000, 0);
  EXPECT_EQ(bucket.Take(TokenBucket::kMinCapacity + 1000, 0), 1000u);
  // Half paid back at 500 ms; the other 500 bytes at twice the rate.
  bucket.SetRate(2000, 500);
  EXPECT_EQ(bucket.Take(0, 500), 250u);
  bucket.SetRate(-1, 600);
  EXPECT_EQ(bucket.Take(uint64_t{1} << 30, 600), 0u);
}

}  // namespace
}  // namespace torrix
