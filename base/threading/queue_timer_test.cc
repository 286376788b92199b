#include "base/threading/queue_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "base/platform/testing/gate_testutil.h"
#include "base/platform/timer_queue.h"
#include "base/platform/work_pool.h"

namespace tobric {
namespace {

using platform::testutil::Gate;

// The object that owns a timer, as the HTTP task or the persister would. Its
// ticks pass `gate`; while the ticks so far are fewer than `rearm_until`, a
// tick starts the timer again as a one-shot.
struct Owner {
  explicit Owner(bool open = true) : gate(open) {}
  Gate gate;
  int rearm_until = 0;
  std::vector<HRESULT> rearm_results;  // touched only by ticks, which never overlap
};

void OnTick(QueueTimer* timer) {
  auto* owner = static_cast<Owner*>(timer->owner());
  owner->gate.Pass();
  if (owner->gate.arrived() < owner->rearm_until) {
    owner->rearm_results.push_back(timer->Start(1, 0, platform::kTimerExecuteOnlyOnce));
  }
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
  ASSERT_TRUE(owner.gate.WaitLeft(3));
  EXPECT_FALSE(timer.armed());  // the third tick did not arm it again
  EXPECT_EQ(owner.rearm_results, std::vector<HRESULT>({S_OK, S_OK}));
  EXPECT_EQ(owner.gate.arrived(), 3);
}

TEST_F(QueueTimerTest, SlowCallbackDropsTicksInsteadOfQueueingThem) {
  Owner owner(/*open=*/false);
  QueueTimer timer(&queue_, &owner, &OnTick);
  ASSERT_EQ(timer.Start(0, 1, 0), S_OK);
  ASSERT_TRUE(owner.gate.WaitArrived(1));
  // Ticks keep arriving on the other pool threads while the first one is held;
  // each is dropped at once rather than waiting for its turn (or running beside it).
  for (auto deadline = std::chrono::steady_clock::now() + Gate::kLimit;
       timer.dropped_ticks() < 5 && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GE(timer.dropped_ticks(), 5u);
  EXPECT_EQ(owner.gate.arrived(), 1);
  owner.gate.Open();
  EXPECT_TRUE(owner.gate.WaitArrived(2));
}

TEST_F(QueueTimerTest, DestroyWaitsForTheTickInProgress) {
  Owner owner(/*open=*/false);
  auto* timer = new QueueTimer(&queue_, &owner, &OnTick);
  ASSERT_EQ(timer->Start(0, 1, 0), S_OK);
  ASSERT_TRUE(owner.gate.WaitArrived(1));
  auto destroyed = std::async(std::launch::async, [&] {
    delete timer;
    return owner.gate.arrived() - owner.gate.left();  // ticks still inside
  });
  EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  owner.gate.Open();
  EXPECT_EQ(destroyed.get(), 0);
}

}  // namespace
}  // namespace tobric
