#include "base/platform/work_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "base/platform/error.h"

namespace tobric::platform {
namespace {

constexpr auto kLimit = std::chrono::seconds(30);

// ThreadSanitizer makes every thread start cost milliseconds; there the test of
// thousands of blocked threads uses hundreds, which still dwarfs the default set.
#if defined(__SANITIZE_THREAD__)
constexpr int kManyBlocked = 300;
#else
constexpr int kManyBlocked = 2000;
#endif

// A count that tests can wait on, with a time limit.
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

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

// A gate that items wait at until the test opens it. Passing is bounded too, so a
// failing test cannot hang, but by twice the limit: no item may slip through
// while the test still waits for all of them to start.
class Gate {
 public:
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
  bool open_ = false;
};

struct BlockedItem {
  Gate* gate;
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

void SetFlag(void* context) { static_cast<std::atomic<bool>*>(context)->store(true); }

// Thousands of blocked HTTP workers are long-running items; a scheduling pass
// queued as a default item must still run at once, and every long item must have
// its own thread rather than wait in a queue.
TEST(WorkPoolTest, BlockedLongItemsDoNotStarveDefaultItems) {
  constexpr int kBlocked = kManyBlocked;
  WorkPool pool(WorkPool::Options{2, 4000, 256 * 1024, 30000});
  Gate gate;
  Counter started;
  Counter finished;
  BlockedItem blocked{&gate, &started, &finished};
  for (int i = 0; i < kBlocked; ++i) {
    ASSERT_EQ(pool.Queue(&RunBlocked, &blocked, kWorkLongRunning), S_OK) << "item " << i;
  }
  ASSERT_TRUE(started.WaitFor(kBlocked));
  EXPECT_GE(pool.ThreadCount(), kBlocked);

  Counter scheduled;
  ASSERT_EQ(pool.Queue(&Count, &scheduled, kWorkDefault), S_OK);
  EXPECT_TRUE(scheduled.WaitFor(1));

  gate.Open();
  EXPECT_TRUE(finished.WaitFor(kBlocked));
}

struct Numbered {
  std::mutex* mutex;
  std::vector<int>* order;
  Counter* ran;
  int number;
};

void RecordNumber(void* context) {
  auto* item = static_cast<Numbered*>(context);
  {
    std::lock_guard lock(*item->mutex);
    item->order->push_back(item->number);
  }
  item->ran->Add();
}

// At the cap a long item is not refused: it waits, in order, for the first
// long-running thread that becomes free, and no thread beyond the cap is made.
TEST(WorkPoolTest, LongItemsAtTheCapWaitForTheFirstFreeThread) {
  Gate first_gate;
  Gate second_gate;
  Counter started;
  Counter finished;
  BlockedItem first{&first_gate, &started, &finished};
  BlockedItem second{&second_gate, &started, &finished};
  std::mutex mutex;
  std::vector<int> order;
  Counter ran;
  Numbered waiting[] = {{&mutex, &order, &ran, 1}, {&mutex, &order, &ran, 2}};
  {
    WorkPool pool(WorkPool::Options{1, 2, 256 * 1024, 30000});
    // Opens both gates before the pool's end waits for the blocked items, also
    // when an assertion leaves early.
    struct OpenAtExit {
      Gate* gates[2];
      ~OpenAtExit() {
        for (Gate* gate : gates) gate->Open();
      }
    } open_at_exit{{&first_gate, &second_gate}};
    ASSERT_EQ(pool.Queue(&RunBlocked, &first, kWorkLongRunning), S_OK);
    ASSERT_EQ(pool.Queue(&RunBlocked, &second, kWorkLongRunning), S_OK);
    for (Numbered& item : waiting) {
      ASSERT_EQ(pool.Queue(&RecordNumber, &item, kWorkLongRunning), S_OK);
    }
    EXPECT_EQ(pool.QueuedItems(), 2);
    EXPECT_EQ(pool.ThreadCount(), 2);
    ASSERT_TRUE(started.WaitFor(2));
    EXPECT_EQ(ran.value(), 0);

    first_gate.Open();
    ASSERT_TRUE(ran.WaitFor(2));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(finished.value(), 1);  // the second still holds its thread
    EXPECT_EQ(pool.ThreadCount(), 2);
  }
  EXPECT_EQ(finished.value(), 2);
}

// Without any long-running thread to be had, the item is refused and never runs.
TEST(WorkPoolTest, LongItemsAreRefusedWhenNoThreadCanBeMade) {
  std::atomic<bool> refused_ran{false};
  {
    WorkPool pool(WorkPool::Options{1, 0, 256 * 1024, 30000});
    EXPECT_EQ(pool.Queue(&SetFlag, &refused_ran, kWorkLongRunning),
              HresultFromWin32(kErrorNotEnoughMemory));
  }
  EXPECT_FALSE(refused_ran.load());
}

TEST(WorkPoolTest, IdleLongThreadIsReusedThenRetires) {
  WorkPool pool(WorkPool::Options{1, 1, 256 * 1024, 200});
  Counter ran;
  ASSERT_EQ(pool.Queue(&Count, &ran, kWorkLongRunning), S_OK);
  // With a cap of one, the second runs on the same thread, once it is free.
  ASSERT_EQ(pool.Queue(&Count, &ran, kWorkLongRunning), S_OK);
  ASSERT_TRUE(ran.WaitFor(2));
  EXPECT_EQ(pool.ThreadCount(), 1);

  // No default item was ever queued, so the idle long thread is the last one.
  for (auto deadline = std::chrono::steady_clock::now() + kLimit;
       pool.ThreadCount() != 0 && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(pool.ThreadCount(), 0);

  // A retired pool still takes work.
  ASSERT_EQ(pool.Queue(&Count, &ran, kWorkLongRunning), S_OK);
  EXPECT_TRUE(ran.WaitFor(3));
}

struct Fanout {
  WorkPool* pool;
  Gate* gate;
  Counter* ran;
};

void QueueMore(void* context) {
  auto* fanout = static_cast<Fanout*>(context);
  fanout->gate->Pass();
  // Queued while the pool is being destroyed, from one of its own threads; with
  // a cap of one long-running thread, all but the first long item wait for it.
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(fanout->pool->Queue(&Count, fanout->ran, kWorkDefault), S_OK);
    EXPECT_EQ(fanout->pool->Queue(&Count, fanout->ran, kWorkLongRunning), S_OK);
  }
  fanout->ran->Add();
}

TEST(WorkPoolTest, DestructorRunsQueuedWorkAndWhatItQueues) {
  Gate gate;
  Counter ran;
  auto pool = std::make_unique<WorkPool>(WorkPool::Options{1, 1, 256 * 1024, 30000});
  Fanout fanout{pool.get(), &gate, &ran};
  ASSERT_EQ(pool->Queue(&QueueMore, &fanout, kWorkDefault), S_OK);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(pool->Queue(&Count, &ran, kWorkDefault), S_OK);
  // The first item holds the only default thread, so the rest wait in the queue.
  EXPECT_GE(pool->QueuedItems(), 100);
  // Opened a moment later so that the fan-out most likely happens while the
  // destructor already runs; the counts hold either way.
  std::thread opener([&gate] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gate.Open();
  });
  pool.reset();
  opener.join();
  EXPECT_EQ(ran.value(), 100 + 1 + 10 + 10);
}

TEST(WorkPoolTest, DefaultItemsRunInQueueOrderOnOneThread) {
  std::mutex mutex;
  std::vector<int> order;
  struct Step {
    std::mutex* mutex;
    std::vector<int>* order;
    int number;
  };
  std::vector<Step> steps;
  for (int i = 0; i < 50; ++i) steps.push_back(Step{&mutex, &order, i});
  {
    WorkPool pool(WorkPool::Options{1, 1, 256 * 1024, 30000});
    for (Step& step : steps) {
      ASSERT_EQ(pool.Queue(
                    [](void* context) {
                      auto* s = static_cast<Step*>(context);
                      std::lock_guard lock(*s->mutex);
                      s->order->push_back(s->number);
                    },
                    &step, kWorkDefault),
                S_OK);
    }
  }
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(WorkPoolTest, DefaultPoolIsOneObjectAndRunsWork) {
  WorkPool* pool = WorkPool::Default();
  Counter ran;
  ASSERT_EQ(pool->Queue(&Count, &ran, kWorkDefault), S_OK);
  ASSERT_EQ(pool->Queue(&Count, &ran, kWorkLongRunning), S_OK);
  EXPECT_TRUE(ran.WaitFor(2));
  EXPECT_EQ(pool->Queue(nullptr, nullptr, kWorkDefault), E_INVALIDARG);
}

}  // namespace
}  // namespace tobric::platform
