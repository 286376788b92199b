#include "base/platform/work_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/platform/error.h"

namespace tobric::platform {
namespace {

constexpr auto kLimit = std::chrono::seconds(30);

// A count that tests can wait on, and a gate that items wait at until the test
// opens it (bounded by twice the limit: no item slips through while the test
// still waits for all of them to start).
class Counter {
 public:
  void Add() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  [[nodiscard]] bool WaitFor(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLimit, [&] { return count_ >= count; });
  }
  [[nodiscard]] int value() {
    std::lock_guard lock(mutex_);
    return count_;
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void Pass() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 2 * kLimit, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  bool open_ = false;
};

struct BlockedItem {
  Counter* gate;
  Counter* started;
  Counter* finished;
};

void RunBlocked(void* context) {
  auto* item = static_cast<BlockedItem*>(context);
  item->started->Add();
  item->gate->Pass();
  item->finished->Add();
}

void Count(void* context) { static_cast<Counter*>(context)->Add(); }

// Blocked HTTP workers are long-running items, far more of them than the
// default threads; a scheduling pass queued as a default item must still run
// at once, and every long item must have its own thread rather than wait.
TEST(WorkPoolTest, BlockedLongItemsDoNotStarveDefaultItems) {
  constexpr int kBlocked = 16;
  WorkPool pool(WorkPool::Options{2, 4000, 256 * 1024, 30000});
  Counter gate, started, finished, scheduled;
  BlockedItem blocked{&gate, &started, &finished};
  for (int i = 0; i < kBlocked; ++i) {
    ASSERT_EQ(pool.Queue(&RunBlocked, &blocked, kWorkLongRunning), S_OK) << "item " << i;
  }
  ASSERT_TRUE(started.WaitFor(kBlocked));
  EXPECT_GE(pool.ThreadCount(), kBlocked);
  ASSERT_EQ(pool.Queue(&Count, &scheduled, kWorkDefault), S_OK);
  EXPECT_TRUE(scheduled.WaitFor(1));
  gate.Open();
  EXPECT_TRUE(finished.WaitFor(kBlocked));
}

struct Fanout {
  WorkPool* pool;
  Counter* gate;
  Counter* ran;
};

// The pool's end runs everything queued, also what its own threads queue while
// it ends.
TEST(WorkPoolTest, DestructorRunsQueuedWorkAndWhatItQueues) {
  Counter gate, ran;
  auto pool = std::make_unique<WorkPool>(WorkPool::Options{1, 1, 256 * 1024, 30000});
  Fanout fanout{pool.get(), &gate, &ran};
  const WorkPool::Function queue_more = [](void* context) {
    auto* fanout = static_cast<Fanout*>(context);
    fanout->gate->Pass();
    // With a cap of one long-running thread, all but the first long item wait.
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(fanout->pool->Queue(&Count, fanout->ran, kWorkDefault), S_OK);
      EXPECT_EQ(fanout->pool->Queue(&Count, fanout->ran, kWorkLongRunning), S_OK);
    }
  };
  ASSERT_EQ(pool->Queue(queue_more, &fanout, kWorkDefault), S_OK);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(pool->Queue(&Count, &ran, kWorkDefault), S_OK);
  // The first item holds the only default thread, so the rest wait in the queue.
  EXPECT_GE(pool->QueuedItems(), 100);
  gate.Open();
  pool.reset();
  EXPECT_EQ(ran.value(), 100 + 10 + 10);
}

}  // namespace
}  // namespace tobric::platform
