// For tests of code that calls back on threads of its own (pools, timers,
// event waits, the logger): a count of the callbacks that came and went, and a
// gate that holds them until the test opens it. Every wait is bounded, so a
// fault fails the test instead of hanging it; a held callback waits twice as
// long as the test does, so none slips through while the test still waits for
// the others to arrive.
#ifndef BASE_PLATFORM_TESTING_GATE_TESTUTIL_H_
#define BASE_PLATFORM_TESTING_GATE_TESTUTIL_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tobric::platform::testutil {

class Gate {
 public:
  static constexpr std::chrono::seconds kLimit{30};

  explicit Gate(bool open = true) : open_(open) {}

  // A callback's visit: counted in, held while the gate is shut, counted out.
  void Pass() {
    std::unique_lock lock(mutex_);
    ++arrived_;
    changed_.notify_all();
    changed_.wait_for(lock, 2 * kLimit, [&] { return open_; });
    ++left_;
    changed_.notify_all();
  }
  // Pass() for a callback that takes the gate as its context.
  static void PassOn(void* gate) { static_cast<Gate*>(gate)->Pass(); }

  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  [[nodiscard]] bool WaitArrived(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLimit, [&] { return arrived_ >= count; });
  }
  [[nodiscard]] bool WaitLeft(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLimit, [&] { return left_ >= count; });
  }
  [[nodiscard]] int arrived() {
    std::lock_guard lock(mutex_);
    return arrived_;
  }
  [[nodiscard]] int left() {
    std::lock_guard lock(mutex_);
    return left_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_;
  int arrived_ = 0;
  int left_ = 0;
};

}  // namespace tobric::platform::testutil

#endif  // BASE_PLATFORM_TESTING_GATE_TESTUTIL_H_
