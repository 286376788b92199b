#include "base/platform/timer_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "base/platform/work_pool.h"

namespace tobric::platform {
namespace {

constexpr auto kLimit = std::chrono::seconds(30);

// What a timer's callback sees and does, with bounded waits for the test.
struct Probe {
  std::mutex mutex;
  std::condition_variable changed;
  int calls = 0;
  int running = 0;
  int most_running = 0;
  bool release = false;  // while false, callbacks with `hold` set wait
  bool hold = false;
  TimerQueue* queue = nullptr;
  TimerQueue::TimerId id = 0;
  HRESULT delete_result = S_FALSE;
  bool delete_own_timer = false;
  bool destroy_queue = false;

  bool WaitCalls(int count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kLimit, [&] { return calls >= count; });
  }
  bool WaitRunning(int count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kLimit, [&] { return running >= count; });
  }
  bool WaitNoneRunning() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kLimit, [&] { return running == 0; });
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
  probe->most_running = std::max(probe->most_running, probe->running);
  probe->changed.notify_all();
  if (probe->hold) probe->changed.wait_for(lock, kLimit, [&] { return probe->release; });
  if (probe->delete_own_timer) {
    probe->delete_own_timer = false;
    probe->delete_result = probe->queue->DeleteTimer(probe->id, true);
  }
  if (probe->destroy_queue) {
    probe->destroy_queue = false;
    TimerQueue* queue = probe->queue;
    lock.unlock();
    delete queue;
    lock.lock();
  }
  --probe->running;
  probe->changed.notify_all();
}

// `threads` default threads, and as many threads for ticks.
WorkPool::Options SmallPool(int threads) {
  return WorkPool::Options{threads, 16, 256 * 1024, 30000, threads};
}

// Starts a timer due at once whose callbacks hold until `probe` is released,
// and waits until the first one runs.
void StartHeldTimer(TimerQueue* queue, Probe* probe, uint32_t period_ms, TimerQueue::TimerId* id) {
  probe->hold = true;
  ASSERT_EQ(queue->CreateTimer(&ProbeCallback, probe, 0, period_ms, 0, id), S_OK);
  ASSERT_TRUE(probe->WaitRunning(1));
}

// Destroying the pool runs every queued callback, so counting calls afterwards
// shows exactly what a deleted timer still did.
TEST(TimerQueueTest, PeriodicTimerTicksUntilDeletedAndNotAfter) {
  Probe probe;
  int calls_at_delete;
  {
    WorkPool pool(SmallPool(2));
    TimerQueue queue(&pool);
    TimerQueue::TimerId id = 0;
    ASSERT_EQ(queue.CreateTimer(&ProbeCallback, &probe, 0, 2, 0, &id), S_OK);
    ASSERT_TRUE(probe.WaitCalls(3));
    ASSERT_EQ(queue.DeleteTimer(id, true), S_OK);
    calls_at_delete = probe.Calls();
    EXPECT_EQ(queue.DeleteTimer(id, true), E_INVALIDARG);
    EXPECT_EQ(queue.CreateTimer(nullptr, nullptr, 0, 0, 0, &id), E_INVALIDARG);
  }
  EXPECT_EQ(probe.Calls(), calls_at_delete);
}

TEST(TimerQueueTest, OneShotFiresOnceAndStaysUntilDeleted) {
  Probe once_by_period;
  Probe once_by_flag;
  {
    WorkPool pool(SmallPool(2));
    TimerQueue queue(&pool);
    TimerQueue::TimerId by_period = 0;
    TimerQueue::TimerId by_flag = 0;
    ASSERT_EQ(queue.CreateTimer(&ProbeCallback, &once_by_period, 1, 0, 0, &by_period), S_OK);
    ASSERT_EQ(
        queue.CreateTimer(&ProbeCallback, &once_by_flag, 1, 1, kTimerExecuteOnlyOnce, &by_flag),
        S_OK);
    ASSERT_TRUE(once_by_period.WaitCalls(1));
    ASSERT_TRUE(once_by_flag.WaitCalls(1));
    // A periodic timer would have ticked again by the time this one of 20 ms
    // fires; the two above must not have.
    Probe later;
    TimerQueue::TimerId later_id = 0;
    ASSERT_EQ(queue.CreateTimer(&ProbeCallback, &later, 20, 0, 0, &later_id), S_OK);
    ASSERT_TRUE(later.WaitCalls(1));
    EXPECT_EQ(queue.DeleteTimer(by_period, false), S_OK);
    EXPECT_EQ(queue.DeleteTimer(by_flag, true), S_OK);
    EXPECT_EQ(queue.DeleteTimer(by_flag, true), E_INVALIDARG);
  }
  EXPECT_EQ(once_by_period.Calls(), 1);
  EXPECT_EQ(once_by_flag.Calls(), 1);
}

TEST(TimerQueueTest, DeleteWithWaitReturnsOnlyAfterTheRunningCallback) {
  WorkPool pool(SmallPool(2));
  TimerQueue queue(&pool);
  Probe probe;
  TimerQueue::TimerId id = 0;
  ASSERT_NO_FATAL_FAILURE(StartHeldTimer(&queue, &probe, 0, &id));

  std::promise<void> deleting;
  std::atomic<int> running_when_deleted{-1};
  std::thread deleter([&] {
    deleting.set_value();
    EXPECT_EQ(queue.DeleteTimer(id, true), S_OK);
    std::lock_guard lock(probe.mutex);
    running_when_deleted = probe.running;
  });
  ASSERT_EQ(deleting.get_future().wait_for(kLimit), std::future_status::ready);
  // Gives the deleter time to be inside DeleteTimer before the callback ends; a
  // delete that did not wait would then see the callback still running.
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  probe.Release();
  deleter.join();
  EXPECT_EQ(running_when_deleted.load(), 0);
}

TEST(TimerQueueTest, DeleteWithoutWaitNeverBlocks) {
  WorkPool pool(SmallPool(2));
  TimerQueue queue(&pool);
  Probe probe;
  TimerQueue::TimerId id = 0;
  ASSERT_NO_FATAL_FAILURE(StartHeldTimer(&queue, &probe, 0, &id));
  // The callback is held until after this returns; a waiting delete would hang.
  EXPECT_EQ(queue.DeleteTimer(id, false), S_OK);
  probe.Release();
  EXPECT_TRUE(probe.WaitNoneRunning());
}

TEST(TimerQueueTest, WaitingDeleteFromItsOwnCallbackIsRefusedButStillDeletes) {
  Probe probe;
  {
    // One thread for ticks: later ticks of the 1 ms timer can only queue up
    // behind the first callback, and must all be skipped once it has deleted the
    // timer.
    WorkPool pool(SmallPool(1));
    TimerQueue queue(&pool);
    probe.queue = &queue;
    probe.delete_own_timer = true;
    {
      std::lock_guard lock(probe.mutex);
      ASSERT_EQ(queue.CreateTimer(&ProbeCallback, &probe, 0, 1, 0, &probe.id), S_OK);
    }
    ASSERT_TRUE(probe.WaitCalls(1));
    ASSERT_TRUE(probe.WaitNoneRunning());
    EXPECT_EQ(probe.delete_result, E_UNEXPECTED);
  }
  EXPECT_EQ(probe.Calls(), 1);
}

// The case owners rely on when they free themselves right after a delete: a
// tick already handed to the pool, not yet started, must not call them.
TEST(TimerQueueTest, TickQueuedBeforeDeleteDoesNotRun) {
  Probe blocker;
  Probe victim;
  {
    WorkPool pool(SmallPool(1));
    TimerQueue queue(&pool);
    TimerQueue::TimerId blocker_id = 0;
    TimerQueue::TimerId victim_id = 0;
    // The pool's only thread for ticks is busy from here on.
    ASSERT_NO_FATAL_FAILURE(StartHeldTimer(&queue, &blocker, 0, &blocker_id));
    ASSERT_EQ(queue.CreateTimer(&ProbeCallback, &victim, 0, 0, 0, &victim_id), S_OK);
    for (auto deadline = std::chrono::steady_clock::now() + kLimit;
         pool.QueuedItems() == 0 && std::chrono::steady_clock::now() < deadline;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(pool.QueuedItems(), 1);
    EXPECT_EQ(queue.DeleteTimer(victim_id, false), S_OK);
    blocker.Release();
  }
  EXPECT_EQ(victim.Calls(), 0);
}

struct Blocker {
  std::mutex mutex;
  std::condition_variable changed;
  int started = 0;
  bool release = false;
};

void Block(void* context) {
  auto* blocker = static_cast<Blocker*>(context);
  std::unique_lock lock(blocker->mutex);
  ++blocker->started;
  blocker->changed.notify_all();
  blocker->changed.wait_for(lock, 2 * kLimit, [&] { return blocker->release; });
}

// A default item that blocks (a save waiting on a disk flush) and a long-running
// set full of stuck workers must not hold up the ticks of the process.
TEST(TimerQueueTest, TicksRunWhileEveryDefaultAndLongRunningThreadIsBlocked) {
  Probe probe;
  Blocker blocker;
  WorkPool pool(WorkPool::Options{1, 1, 256 * 1024, 30000, 4});
  ASSERT_EQ(pool.Queue(&Block, &blocker, kWorkDefault), S_OK);
  ASSERT_EQ(pool.Queue(&Block, &blocker, kWorkLongRunning), S_OK);
  {
    std::unique_lock lock(blocker.mutex);
    ASSERT_TRUE(blocker.changed.wait_for(lock, kLimit, [&] { return blocker.started == 2; }));
  }
  {
    TimerQueue queue(&pool);
    TimerQueue::TimerId id = 0;
    ASSERT_EQ(queue.CreateTimer(&ProbeCallback, &probe, 0, 1, 0, &id), S_OK);
    EXPECT_TRUE(probe.WaitCalls(2));
  }
  std::lock_guard lock(blocker.mutex);
  blocker.release = true;
  blocker.changed.notify_all();
}

// Overlapping ticks are the owner's business: the queue delivers them anyway.
TEST(TimerQueueTest, PeriodicTickIsQueuedWhileThePreviousOneRuns) {
  WorkPool pool(SmallPool(3));
  TimerQueue queue(&pool);
  Probe probe;
  probe.hold = true;
  TimerQueue::TimerId id = 0;
  ASSERT_EQ(queue.CreateTimer(&ProbeCallback, &probe, 0, 1, 0, &id), S_OK);
  EXPECT_TRUE(probe.WaitRunning(2));
  probe.Release();
  EXPECT_EQ(queue.DeleteTimer(id, true), S_OK);
  EXPECT_GE(probe.most_running, 2);
}

TEST(TimerQueueTest, CallbackMayDestroyItsQueue) {
  WorkPool pool(SmallPool(2));
  Probe probe;
  Probe other;
  auto* queue = new TimerQueue(&pool);
  probe.queue = queue;
  probe.destroy_queue = true;
  TimerQueue::TimerId other_id = 0;
  TimerQueue::TimerId id = 0;
  // Another timer of the queue keeps ticking until the queue goes.
  ASSERT_EQ(queue->CreateTimer(&ProbeCallback, &other, 0, 1, 0, &other_id), S_OK);
  ASSERT_TRUE(other.WaitCalls(1));
  ASSERT_EQ(queue->CreateTimer(&ProbeCallback, &probe, 0, 0, 0, &id), S_OK);
  ASSERT_TRUE(probe.WaitCalls(1));
  EXPECT_TRUE(probe.WaitNoneRunning());
  EXPECT_FALSE(probe.destroy_queue);
}

TEST(TimerQueueTest, DestructorWaitsForRunningCallbacks) {
  WorkPool pool(SmallPool(2));
  Probe probe;
  auto queue = std::make_unique<TimerQueue>(&pool);
  TimerQueue::TimerId id = 0;
  ASSERT_NO_FATAL_FAILURE(StartHeldTimer(queue.get(), &probe, 5, &id));
  std::thread releaser([&probe] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    probe.Release();
  });
  queue.reset();
  std::lock_guard lock(probe.mutex);
  EXPECT_EQ(probe.running, 0);
  releaser.join();
}

}  // namespace
}  // namespace tobric::platform
