#include "base/threading/thread_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

#include "base/platform/error.h"
#include "base/platform/work_pool.h"

namespace tobric {
namespace {

constexpr auto kLimit = std::chrono::seconds(30);
constexpr uint32_t kLimitMs = 30000;

// What the test learns about one item; outlives the item.
struct Trace {
  std::mutex mutex;
  std::condition_variable changed;
  int runs = 0;
  int deletions = 0;
  bool stop_seen = false;

  template <class Predicate>
  bool WaitUntil(Predicate predicate) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kLimit, predicate);
  }
  bool WaitDeleted() {
    return WaitUntil([&] { return deletions > 0; });
  }
};

class TracedItem : public UserWorkItem {
 public:
  // With a gate, Run waits (bounded) until the test opens it.
  explicit TracedItem(Trace* trace, ManualResetEvent* gate = nullptr)
      : trace_(trace), gate_(gate) {}
  ~TracedItem() override {
    std::lock_guard lock(trace_->mutex);
    ++trace_->deletions;
    trace_->changed.notify_all();
  }

  void Run() override {
    {
      std::lock_guard lock(trace_->mutex);
      ++trace_->runs;
      trace_->changed.notify_all();
    }
    if (gate_ != nullptr) {
      EXPECT_TRUE(gate_->Wait(kLimitMs));
    }
    std::lock_guard lock(trace_->mutex);
    trace_->stop_seen = StopRequested();
  }

 private:
  Trace* const trace_;
  ManualResetEvent* const gate_;
};

// Drain sets the stop event and waits for pending items; an item queued while
// it waits still runs and sees the event; Initialize makes the pool usable again.
TEST(ThreadPoolTest, DrainWaitsForPendingItemsAndLateOnesSeeTheStop) {
  ThreadPool pool;
  ASSERT_EQ(pool.Initialize(), S_OK);
  auto nothing_pending = std::async(std::launch::async, [&] { pool.Drain(); });
  EXPECT_EQ(nothing_pending.wait_for(kLimit), std::future_status::ready);
  ASSERT_EQ(pool.Initialize(), S_OK);

  Trace stuck, late, again;
  ManualResetEvent gate;
  auto* stuck_item = new TracedItem(&stuck, &gate);
  ASSERT_EQ(pool.Queue(stuck_item, platform::kWorkLongRunning), S_OK);
  ASSERT_TRUE(stuck.WaitUntil([&] { return stuck.runs > 0; }));
  EXPECT_EQ(pool.pending(), 1);
  // The item is held in Run, so it is safe to read; its event is the pool's.
  const std::shared_ptr<ManualResetEvent> stop = stuck_item->stop_event();
  ASSERT_TRUE(stop);
  auto drain = std::async(std::launch::async, [&] { pool.Drain(); });
  ASSERT_TRUE(stop->Wait(kLimitMs));  // Drain has begun
  ASSERT_EQ(pool.Queue(new TracedItem(&late), platform::kWorkDefault), S_OK);
  ASSERT_TRUE(late.WaitDeleted());
  EXPECT_EQ(drain.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  gate.Set();
  ASSERT_EQ(drain.wait_for(kLimit), std::future_status::ready);
  EXPECT_EQ(pool.pending(), 0);
  for (Trace* trace : {&stuck, &late}) {
    std::lock_guard lock(trace->mutex);
    EXPECT_TRUE(trace->stop_seen);
  }
  ASSERT_EQ(pool.Initialize(), S_OK);
  ASSERT_EQ(pool.Queue(new TracedItem(&again), platform::kWorkDefault), S_OK);
  ASSERT_TRUE(again.WaitDeleted());
  std::lock_guard lock(again.mutex);
  EXPECT_FALSE(again.stop_seen);
}

}  // namespace
}  // namespace tobric
