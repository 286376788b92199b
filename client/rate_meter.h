// The speed a live display of the client shows, measured from the progress it
// sees rather than taken from the service.
//
// The service's figure is one block's length over the time since the previous
// block of the download ended. That is right while the workers end their
// blocks one after another, and absurd when several end within milliseconds
// of each other, as they do behind a server that caps every connection at the
// same rate: the workers then stay in step, and the download shows gigabytes
// a second and a second left. Progress itself advances a whole block at a
// time, so the meter measures over changes of the downloaded size at least a
// second apart.
#ifndef CLIENT_RATE_METER_H_
#define CLIENT_RATE_METER_H_

#include <cstdint>
#include <deque>

namespace lorvane {

class RateMeter {
 public:
  // What Update returns before the size has changed over a second: the
  // display shows no figure rather than the service's, which may be absurd.
  static constexpr int32_t kUnmeasured = -1;

  // The downloaded size `downloaded` seen at `now_ms` (a monotonic clock), with
  // the service's speed `service_speed`; returns the bytes per second to show.
  // A download the service shows at 0 (idle for seconds, or not running) is
  // shown at 0.
  [[nodiscard]] int32_t Update(uint64_t now_ms, uint64_t downloaded, int32_t service_speed);

 private:
  struct Sample {
    uint64_t ms = 0;
    uint64_t bytes = 0;
  };
  // The first sample and every change of the size since, of the last minute.
  std::deque<Sample> changes_;
};

}  // namespace lorvane

#endif  // CLIENT_RATE_METER_H_
