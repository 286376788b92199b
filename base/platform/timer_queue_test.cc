#include "base/platform/timer_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

#include "base/platform/work_pool.h"

namespace tobric::platform {
namespace {

constexpr auto kLimit = std::chrono::seconds(30);
// Long enough for a call that does not wait to return, short enough to wait
// out in every run.
constexpr auto kNotReturned = std::chrono::milliseconds(50);

// What a timer's callback sees and does, with bounded waits for the test.
struct Probe {
  std::mutex mutex;
  std::condition_variable changed;
  int calls = 0;
  int running = 0;
  bool hold = false;  // callbacks wait until release
  bool release = false;
  TimerQueue::TimerId id = 0;

  template <class Predicate>
  bool WaitUntil(Predicate predicate) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kLimit, predicate);
  }
  void Release() {
    std::lock_guard lock(mutex);
    release = true;
    changed.notify_all();
  }
  int Calls() {
    std::lock_guard lock(mutex);
    return calls;
  }
};

void ProbeCallback(void* parameter, bool fired) {
  auto* probe = static_cast<Probe*>(parameter);
  EXPECT_TRUE(fired);
  std::unique_lock lock(probe->mutex);
  ++probe->calls;
  ++probe->running;
  probe->changed.notify_all();
  if (probe->hold) probe->changed.wait_for(lock, kLimit, [&] { return probe->release; });
  --probe->running;
  probe->changed.notify_all();
}

// `threads` default threads, and as many threads for ticks.
WorkPool::Options SmallPool(int threads) {
  return WorkPool::Options{threads, 16, 256 * 1024, 30000, threads};
}

// Destroying the pool runs every queued callback, so counting calls afterwards
// shows exactly what a deleted timer still did.
TEST(TimerQueueTest, PeriodicTicksUntilDeletedAndOneShotsOnce) {
  Probe periodic, once_by_period, once_by_flag;
  int calls_at_delete = 0;
  {
    WorkPool pool(SmallPool(2));
    TimerQueue queue(&pool);
    TimerQueue::TimerId id = 0, by_period = 0, by_flag = 0;
    ASSERT_EQ(queue.CreateTimer(&ProbeCallback, &periodic, 0, 2, 0, &id), S_OK);
    ASSERT_EQ(queue.CreateTimer(&ProbeCallback, &once_by_period, 1, 0, 0, &by_period), S_OK);
    ASSERT_EQ(
        queue.CreateTimer(&ProbeCallback, &once_by_flag, 1, 1, kTimerExecuteOnlyOnce, &by_flag),
        S_OK);
    // By the tenth tick of 2 ms, a one-shot that ticked again would show.
    ASSERT_TRUE(periodic.WaitUntil([&] { return periodic.calls >= 10; }));
    ASSERT_EQ(queue.DeleteTimer(id, true), S_OK);
    calls_at_delete = periodic.Calls();
    EXPECT_EQ(queue.DeleteTimer(id, true), E_INVALIDARG);
    EXPECT_EQ(queue.CreateTimer(nullptr, nullptr, 0, 0, 0, &id), E_INVALIDARG);
    // A one-shot stays until deleted.
    EXPECT_EQ(queue.DeleteTimer(by_period, false), S_OK);
    EXPECT_EQ(queue.DeleteTimer(by_flag, true), S_OK);
  }
  EXPECT_EQ(periodic.Calls(), calls_at_delete);
  EXPECT_EQ(once_by_period.Calls(), 1);
  EXPECT_EQ(once_by_flag.Calls(), 1);
}

// A waiting delete and the queue's end wait for a running callback (its owner
// frees itself next); a delete without wait never blocks.
TEST(TimerQueueTest, WaitingDeleteAndDestructorWaitForTheRunningCallback) {
  WorkPool pool(SmallPool(3));
  auto queue = std::make_unique<TimerQueue>(&pool);
  Probe held, waited, ended;
  for (Probe* probe : {&held, &waited, &ended}) {
    probe->hold = true;
    ASSERT_EQ(queue->CreateTimer(&ProbeCallback, probe, 0, 0, 0, &probe->id), S_OK);
    ASSERT_TRUE(probe->WaitUntil([&] { return probe->running == 1; }));
  }
  EXPECT_EQ(queue->DeleteTimer(held.id, false), S_OK);
  held.Release();

  auto deleted =
      std::async(std::launch::async, [&] { return queue->DeleteTimer(waited.id, true); });
  EXPECT_EQ(deleted.wait_for(kNotReturned), std::future_status::timeout);
  waited.Release();
  EXPECT_EQ(deleted.get(), S_OK);

  auto destroyed = std::async(std::launch::async, [&] { queue.reset(); });
  EXPECT_EQ(destroyed.wait_for(kNotReturned), std::future_status::timeout);
  ended.Release();
  destroyed.get();
  for (Probe* probe : {&held, &waited, &ended}) {
    EXPECT_TRUE(probe->WaitUntil([&] { return probe->running == 0; }));
  }
}

// A default item that blocks (a save waiting on a disk flush) and a long-running
// set full of stuck workers must not hold up the ticks of the process.
TEST(TimerQueueTest, TicksRunWhileEveryDefaultAndLongRunningThreadIsBlocked) {
  Probe probe, blocker;
  blocker.hold = true;
  WorkPool pool(WorkPool::Options{1, 1, 256 * 1024, 30000, 4});
  const WorkPool::Function block = [](void* context) { ProbeCallback(context, true); };
  ASSERT_EQ(pool.Queue(block, &blocker, kWorkDefault), S_OK);
  ASSERT_EQ(pool.Queue(block, &blocker, kWorkLongRunning), S_OK);
  ASSERT_TRUE(blocker.WaitUntil([&] { return blocker.running == 2; }));
  {
    TimerQueue queue(&pool);
    TimerQueue::TimerId id = 0;
    ASSERT_EQ(queue.CreateTimer(&ProbeCallback, &probe, 0, 1, 0, &id), S_OK);
    EXPECT_TRUE(probe.WaitUntil([&] { return probe.calls >= 2; }));
  }
  blocker.Release();
}

}  // namespace
}  // namespace tobric::platform
