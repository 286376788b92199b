#include "console/stat_command.h"

#include <array>
#include <vector>

#include "center/offline_center.h"
#include "console/console.h"
#include "package/package.h"

namespace lorvane {

StatCommand::StatCommand(Console* console, uint32_t period_ms)
    : SwitchCommand("stat"),
      console_(console),
      period_ms_(period_ms),
      start_time_(tobric::platform::LocalTimeNow()) {}

StatCommand::~StatCommand() {
  // The timer's ticks call back into this object: they must be over first.
  if (on()) static_cast<void>(TurnOff());
}

uint32_t StatCommand::timers_started() const {
  std::lock_guard<std::mutex> lock(timer_lock_);
  return timers_started_;
}

HRESULT StatCommand::TurnOn() {
  tobric::QueueTimer* timer;
  {
    std::lock_guard<std::mutex> lock(timer_lock_);
    timer_queue_ = std::make_unique<tobric::platform::TimerQueue>();
    timer_ = std::make_unique<tobric::QueueTimer>(timer_queue_.get(), this, &StatCommand::OnTick);
    timer = timer_.get();
    ++timers_started_;
  }
  // Started outside the lock: the timer's own lock is held around a tick,
  // which takes timer_lock_. Only this thread replaces the timer, so it
  // stays valid here.
  return timer->Start(period_ms_, period_ms_, 0);
}

HRESULT StatCommand::TurnOff() {
  std::unique_ptr<tobric::QueueTimer> timer;
  std::unique_ptr<tobric::platform::TimerQueue> timer_queue;
  {
    std::lock_guard<std::mutex> lock(timer_lock_);
    timer = std::move(timer_);
    timer_queue = std::move(timer_queue_);
    drawn_lines_ = 0;
  }
  // Outside the lock: a tick in progress takes it, and both destructors wait
  // for that tick.
  timer.reset();
  timer_queue.reset();
  return S_OK;
}

void StatCommand::OnTick(tobric::QueueTimer* timer) {
  static_cast<StatCommand*>(timer->owner())->Draw(timer);
}

void StatCommand::Draw(tobric::QueueTimer* timer) {
  uint16_t lines_up = 0;
  {
    std::lock_guard<std::mutex> lock(timer_lock_);
    // A tick of a timer that was switched off and replaced draws nothing.
    if (timer_.get() != timer) return;
    if (console_->ansi_output()) {
      lines_up = drawn_lines_;
      drawn_lines_ = kBlockLines;
    }
  }

  std::array<uint32_t, STATE_ERROR + 1> counts{};
  std::vector<Package*> packages;
  OfflineCenter* center = OfflineCenter::GetInstance();
  center->GetPackages(&packages);
  for (Package* package : packages) {
    int32_t state = package->state_number();
    if (state >= STATE_INIT && state <= STATE_ERROR) ++counts[static_cast<size_t>(state)];
  }
  const uint32_t speed = center->GetTotalDownloadSpeed();
  const tobric::platform::LocalTime now = tobric::platform::LocalTimeNow();

  // On a terminal each line also clears what an older, longer line left.
  const bool ansi = console_->ansi_output();
  const char* const end = ansi ? "\x1b[K\n" : "\n";
  if (lines_up > 0) console_->Print("\x1b[%uA\r", static_cast<unsigned>(lines_up));
  console_->Print("Service started at [%02u:%02u:%02u]%s", static_cast<unsigned>(start_time_.hour),
                  static_cast<unsigned>(start_time_.minute),
                  static_cast<unsigned>(start_time_.second), end);
  console_->Print("Statistics collected at [%02u:%02u:%02u]%s", static_cast<unsigned>(now.hour),
                  static_cast<unsigned>(now.minute), static_cast<unsigned>(now.second), end);
  for (int32_t state = STATE_INIT; state <= STATE_ERROR; ++state) {
    console_->Print("%-25s:%02u%s", StateName(state), counts[static_cast<size_t>(state)], end);
  }
  if (speed < 1024) {
    console_->Print("Current Download Speed:%u Byte      %s", speed, end);
  } else if (speed < 1048576) {
    console_->Print("Current Download Speed:%.2f KB      %s", speed / 1024.0, end);
  } else {
    console_->Print("Current Download Speed:%.2f MB      %s", speed / 1048576.0, end);
  }
}

}  // namespace lorvane
