#include "base/threading/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

#include "base/platform/error.h"
#include "base/platform/testing/gate_testutil.h"
#include "base/platform/work_pool.h"

namespace tobric {
namespace {

using platform::testutil::Gate;

constexpr auto kLimit = std::chrono::seconds(30);

// What the test learns about one item; outlives the item. While `ran` is
// shut, the item waits in Run until the test opens it.
struct Trace {
  explicit Trace(bool open = true) : ran(open) {}
  Gate ran, deleted;
  std::atomic<bool> stop_seen{false};
};

class TracedItem : public UserWorkItem {
 public:
  explicit TracedItem(Trace* trace) : trace_(trace) {}
  ~TracedItem() override { trace_->deleted.Pass(); }
  void Run() override {
    trace_->ran.Pass();
    trace_->stop_seen = StopRequested();
  }

 private:
  Trace* const trace_;
};

// Drain sets the stop event and waits for pending items; an item queued while
// it waits still runs and sees the event; Initialize makes the pool usable again.
TEST(ThreadPoolTest, DrainWaitsForPendingItemsAndLateOnesSeeTheStop) {
  Trace stuck(/*open=*/false), late, again;
  ThreadPool pool;
  ASSERT_EQ(pool.Initialize(), S_OK);
  auto nothing_pending = std::async(std::launch::async, [&] { pool.Drain(); });
  EXPECT_EQ(nothing_pending.wait_for(kLimit), std::future_status::ready);
  ASSERT_EQ(pool.Initialize(), S_OK);

  auto* stuck_item = new TracedItem(&stuck);
  ASSERT_EQ(pool.Queue(stuck_item, platform::kWorkLongRunning), S_OK);
  ASSERT_TRUE(stuck.ran.WaitArrived(1));
  EXPECT_EQ(pool.pending(), 1);
  // The item is held in Run, so it is safe to read; its event is the pool's.
  const std::shared_ptr<ManualResetEvent> stop = stuck_item->stop_event();
  ASSERT_TRUE(stop);
  auto drain = std::async(std::launch::async, [&] { pool.Drain(); });
  ASSERT_TRUE(stop->Wait(30000));  // Drain has begun
  ASSERT_EQ(pool.Queue(new TracedItem(&late), platform::kWorkDefault), S_OK);
  ASSERT_TRUE(late.deleted.WaitArrived(1));
  EXPECT_EQ(drain.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  stuck.ran.Open();
  ASSERT_EQ(drain.wait_for(kLimit), std::future_status::ready);
  EXPECT_EQ(pool.pending(), 0);
  EXPECT_TRUE(stuck.stop_seen);
  EXPECT_TRUE(late.stop_seen);
  ASSERT_EQ(pool.Initialize(), S_OK);
  ASSERT_EQ(pool.Queue(new TracedItem(&again), platform::kWorkDefault), S_OK);
  ASSERT_TRUE(again.deleted.WaitArrived(1));
  EXPECT_FALSE(again.stop_seen);
}

}  // namespace
}  // namespace tobric
