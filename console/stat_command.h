// `stat on|off`: a statistics block redrawn in place once a second.
#ifndef CONSOLE_STAT_COMMAND_H_
#define CONSOLE_STAT_COMMAND_H_

#include <cstdint>
#include <memory>
#include <mutex>

#include "base/platform/clock.h"
#include "base/platform/timer_queue.h"
#include "base/threading/queue_timer.h"
#include "console/command.h"

namespace lorvane {

class Console;

// Draws, once per period while on, when the service started, when the
// figures were collected, how many packages are in each state and the total
// download speed. On a terminal the block is drawn over its previous copy
// (the cursor goes back up by the block's height); elsewhere each block
// follows the last.
//
// Owned by the CommandRegistry. TurnOn and TurnOff run on the command loop's
// thread; ticks run on pool threads of the command's own timer queue, one at
// a time (QueueTimer drops overlapping ticks). timer_lock_ guards the timer,
// the timer queue and drawn_lines_; it is not held while a tick draws, so
// that TurnOff can destroy the timer, which waits for a tick in progress.
class StatCommand : public SwitchCommand {
 public:
  static constexpr uint32_t kDefaultPeriodMs = 1000;
  // Lines of one block: two times, seven states, the speed.
  static constexpr uint16_t kBlockLines = 10;

  // console is not owned. period_ms is the due time and the period.
  explicit StatCommand(Console* console, uint32_t period_ms = kDefaultPeriodMs);
  ~StatCommand() override;

  // Timers started since the command was made, for statistics and tests.
  [[nodiscard]] uint32_t timers_started() const;

 protected:
  [[nodiscard]] HRESULT TurnOff() override;
  [[nodiscard]] HRESULT TurnOn() override;

 private:
  static void OnTick(tobric::QueueTimer* timer);
  void Draw(tobric::QueueTimer* timer);

  Console* const console_;
  const uint32_t period_ms_;
  const tobric::platform::LocalTime start_time_;

  mutable std::mutex timer_lock_;
  // Guarded by timer_lock_. The queue outlives its timer.
  std::unique_ptr<tobric::platform::TimerQueue> timer_queue_;
  std::unique_ptr<tobric::QueueTimer> timer_;
  // Lines the last block took on a terminal; 0: not drawn yet (not placed).
  uint16_t drawn_lines_ = 0;
  uint32_t timers_started_ = 0;
};

}  // namespace lorvane

#endif  // CONSOLE_STAT_COMMAND_H_
