#include "base/threading/queue_timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "base/platform/timer_queue.h"
#include "base/platform/work_pool.h"

namespace tobric {
namespace {

constexpr auto kLimit = std::chrono::seconds(30);

// The object that owns a timer, as the HTTP task or the persister would.
struct Owner {
  std::mutex mutex;
  std::condition_variable changed;
  int ticks = 0;
  int running = 0;
  int most_running = 0;
  bool hold = false;  // the first tick waits until released
  bool released = false;
  int rearm_until = 0;  // a one-shot tick starts the timer again while ticks < this
  std::vector<HRESULT> rearm_results;

  template <class Predicate>
  bool WaitUntil(Predicate predicate) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kLimit, predicate);
  }
  void Release() {
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  }
};

void OnTick(QueueTimer* timer) {
  auto* owner = static_cast<Owner*>(timer->owner());
  std::unique_lock lock(owner->mutex);
  ++owner->ticks;
  ++owner->running;
  owner->most_running = std::max(owner->most_running, owner->running);
  owner->changed.notify_all();
  if (owner->hold && owner->ticks == 1) {
    owner->changed.wait_for(lock, kLimit, [owner] { return owner->released; });
  }
  if (owner->ticks < owner->rearm_until) {
    owner->rearm_results.push_back(timer->Start(1, 0, platform::kTimerExecuteOnlyOnce));
  }
  --owner->running;
  owner->changed.notify_all();
}

class QueueTimerTest : public ::testing::Test {
 protected:
  // Declared first, destroyed last: its destructor runs every tick still queued.
  platform::WorkPool pool_{platform::WorkPool::Options{4, 16, 256 * 1024, 30000}};
  platform::TimerQueue queue_{&pool_};
};

TEST_F(QueueTimerTest, OneShotIsArmedAgainFromItsOwnTick) {
  Owner owner;
  owner.rearm_until = 3;
  QueueTimer timer(&queue_, &owner, &OnTick);
  ASSERT_EQ(timer.Start(1, 0, platform::kTimerExecuteOnlyOnce), S_OK);
  ASSERT_TRUE(owner.WaitUntil([&] { return owner.ticks >= 3 && owner.running == 0; }));
  EXPECT_FALSE(timer.armed());  // the third tick did not arm it again
  std::lock_guard lock(owner.mutex);
  EXPECT_EQ(owner.rearm_results, std::vector<HRESULT>({S_OK, S_OK}));
  EXPECT_EQ(owner.ticks, 3);
}

TEST_F(QueueTimerTest, SlowCallbackDropsTicksInsteadOfQueueingThem) {
  Owner owner;
  owner.hold = true;
  QueueTimer timer(&queue_, &owner, &OnTick);
  ASSERT_EQ(timer.Start(0, 1, 0), S_OK);
  ASSERT_TRUE(owner.WaitUntil([&] { return owner.running == 1; }));
  // Ticks keep arriving on the other pool threads while the first one is held;
  // each is dropped at once rather than waiting for its turn.
  for (auto deadline = std::chrono::steady_clock::now() + kLimit;
       timer.dropped_ticks() < 5 && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GE(timer.dropped_ticks(), 5u);
  {
    std::lock_guard lock(owner.mutex);
    EXPECT_EQ(owner.ticks, 1);
  }
  owner.Release();
  EXPECT_TRUE(owner.WaitUntil([&] { return owner.ticks >= 2; }));
  std::lock_guard lock(owner.mutex);
  EXPECT_EQ(owner.most_running, 1);
}

TEST_F(QueueTimerTest, DestroyWaitsForTheTickInProgress) {
  Owner owner;
  owner.hold = true;
  auto* timer = new QueueTimer(&queue_, &owner, &OnTick);
  ASSERT_EQ(timer->Start(0, 1, 0), S_OK);
  ASSERT_TRUE(owner.WaitUntil([&] { return owner.running == 1; }));
  auto destroyed = std::async(std::launch::async, [&] {
    delete timer;
    std::lock_guard lock(owner.mutex);
    return owner.running;
  });
  EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  owner.Release();
  EXPECT_EQ(destroyed.get(), 0);
}

}  // namespace
}  // namespace tobric
