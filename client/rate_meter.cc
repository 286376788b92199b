#include "client/rate_meter.h"

#include <algorithm>
#include <limits>

namespace lorvane {

namespace {

// The shortest span a speed is measured over: the blocks that workers in step
// end within one burst are counted together.
constexpr uint64_t kMinSpanMs = 1'000;
// Changes older than this are forgotten (one at least a second old is kept).
constexpr uint64_t kWindowMs = 60'000;

}  // namespace

int32_t RateMeter::Update(uint64_t now_ms, uint64_t downloaded, int32_t service_speed) {
  // Fewer bytes than before: the download was laid out anew.
  if (!changes_.empty() && downloaded < changes_.back().bytes) changes_.clear();
  if (changes_.empty() || downloaded > changes_.back().bytes) {
    changes_.push_back(Sample{now_ms, downloaded});
  }
  const Sample& latest = changes_.back();
  while (changes_.size() > 2 && changes_[1].ms + kWindowMs <= latest.ms) changes_.pop_front();
  if (service_speed <= 0) return service_speed;

  for (auto earlier = changes_.rbegin() + 1; earlier < changes_.rend(); ++earlier) {
    const uint64_t span = latest.ms - earlier->ms;
    if (span < kMinSpanMs) continue;
    const uint64_t speed = (latest.bytes - earlier->bytes) * 1000 / span;
    return static_cast<int32_t>(
        std::min<uint64_t>(speed, static_cast<uint64_t>(std::numeric_limits<int32_t>::max())));
  }
  return kUnmeasured;
}

}  // namespace lorvane
