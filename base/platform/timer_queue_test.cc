#include "base/platform/timer_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <utility>

#include "base/platform/testing/gate_testutil.h"
#include "base/platform/work_pool.h"

namespace tobric::platform {
namespace {

using testutil::Gate;

// Long enough for a call that does not wait to return, short enough to wait
// out in every run.
constexpr auto kNotReturned = std::chrono::milliseconds(50);

void GateCallback(void* gate, bool fired) {
  EXPECT_TRUE(fired);
  Gate::PassOn(gate);
}

// `threads` default threads, and as many threads for ticks.
WorkPool::Options SmallPool(int threads) {
  return WorkPool::Options{threads, 16, 256 * 1024, 30000, threads};
}

// Destroying the pool runs every queued callback, so counting calls afterwards
// shows exactly what a deleted timer still did.
TEST(TimerQueueTest, PeriodicTicksUntilDeletedAndOneShotsOnce) {
  Gate periodic, once_by_period, once_by_flag;
  int calls_at_delete = 0;
  {
    WorkPool pool(SmallPool(2));
    TimerQueue queue(&pool);
    TimerQueue::TimerId id = 0, by_period = 0, by_flag = 0;
    ASSERT_EQ(queue.CreateTimer(&GateCallback, &periodic, 0, 2, 0, &id), S_OK);
    ASSERT_EQ(queue.CreateTimer(&GateCallback, &once_by_period, 1, 0, 0, &by_period), S_OK);
    ASSERT_EQ(
        queue.CreateTimer(&GateCallback, &once_by_flag, 1, 1, kTimerExecuteOnlyOnce, &by_flag),
        S_OK);
    // By the tenth tick of 2 ms, a one-shot that ticked again would show.
    ASSERT_TRUE(periodic.WaitArrived(10));
    ASSERT_EQ(queue.DeleteTimer(id, true), S_OK);
    calls_at_delete = periodic.arrived();
    EXPECT_EQ(queue.DeleteTimer(id, true), E_INVALIDARG);
    EXPECT_EQ(queue.CreateTimer(nullptr, nullptr, 0, 0, 0, &id), E_INVALIDARG);
    // A one-shot stays until deleted.
    EXPECT_EQ(queue.DeleteTimer(by_period, false), S_OK);
    EXPECT_EQ(queue.DeleteTimer(by_flag, true), S_OK);
  }
  EXPECT_EQ(periodic.arrived(), calls_at_delete);
  EXPECT_EQ(once_by_period.arrived(), 1);
  EXPECT_EQ(once_by_flag.arrived(), 1);
}

// A waiting delete and the queue's end wait for a running callback (its owner
// frees itself next); a delete without wait never blocks.
TEST(TimerQueueTest, WaitingDeleteAndDestructorWaitForTheRunningCallback) {
  Gate held(false), waited(false), ended(false);
  WorkPool pool(SmallPool(3));
  auto queue = std::make_unique<TimerQueue>(&pool);
  TimerQueue::TimerId held_id = 0, waited_id = 0, ended_id = 0;
  for (auto [gate, id] : {std::pair{&held, &held_id}, {&waited, &waited_id}, {&ended, &ended_id}}) {
    ASSERT_EQ(queue->CreateTimer(&GateCallback, gate, 0, 0, 0, id), S_OK);
    ASSERT_TRUE(gate->WaitArrived(1));
  }
  EXPECT_EQ(queue->DeleteTimer(held_id, false), S_OK);
  held.Open();

  auto deleted =
      std::async(std::launch::async, [&] { return queue->DeleteTimer(waited_id, true); });
  EXPECT_EQ(deleted.wait_for(kNotReturned), std::future_status::timeout);
  waited.Open();
  EXPECT_EQ(deleted.get(), S_OK);

  auto destroyed = std::async(std::launch::async, [&] { queue.reset(); });
  EXPECT_EQ(destroyed.wait_for(kNotReturned), std::future_status::timeout);
  ended.Open();
  destroyed.get();
  for (Gate* gate : {&held, &waited, &ended}) EXPECT_TRUE(gate->WaitLeft(1));
}

// A default item that blocks (a save waiting on a disk flush) and a long-running
// set full of stuck workers must not hold up the ticks of the process.
TEST(TimerQueueTest, TicksRunWhileEveryDefaultAndLongRunningThreadIsBlocked) {
  Gate ticks, blocker(false);
  WorkPool pool(WorkPool::Options{1, 1, 256 * 1024, 30000, 4});
  ASSERT_EQ(pool.Queue(&Gate::PassOn, &blocker, kWorkDefault), S_OK);
  ASSERT_EQ(pool.Queue(&Gate::PassOn, &blocker, kWorkLongRunning), S_OK);
  ASSERT_TRUE(blocker.WaitArrived(2));
  {
    TimerQueue queue(&pool);
    TimerQueue::TimerId id = 0;
    ASSERT_EQ(queue.CreateTimer(&GateCallback, &ticks, 0, 1, 0, &id), S_OK);
    EXPECT_TRUE(ticks.WaitArrived(2));
  }
  blocker.Open();
}

}  // namespace
}  // namespace tobric::platform
