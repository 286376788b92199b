#include "base/threading/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

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
  bool deleted_after_run = false;
  std::thread::id run_thread;
  std::thread::id delete_thread;
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
    trace_->deleted_after_run = trace_->runs == 1;
    trace_->delete_thread = std::this_thread::get_id();
    trace_->changed.notify_all();
  }

  void Run() override {
    {
      std::lock_guard lock(trace_->mutex);
      ++trace_->runs;
      trace_->run_thread = std::this_thread::get_id();
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

TEST(ThreadPoolTest, ItemIsDeletedOnceRightAfterRunOnItsThread) {
  ThreadPool pool;
  ASSERT_EQ(pool.Initialize(), S_OK);
  Trace trace;
  ASSERT_EQ(pool.Queue(new TracedItem(&trace), platform::kWorkDefault), S_OK);
  ASSERT_TRUE(trace.WaitDeleted());
  std::lock_guard lock(trace.mutex);
  EXPECT_EQ(trace.runs, 1);
  EXPECT_EQ(trace.deletions, 1);
  EXPECT_TRUE(trace.deleted_after_run);
  EXPECT_EQ(trace.delete_thread, trace.run_thread);
  EXPECT_NE(trace.run_thread, std::this_thread::get_id());
  EXPECT_FALSE(trace.stop_seen);
}

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

// A Drain that gave up leaves the stuck item safe: later items are refused
// cleanly, and the item may end after the pool itself is gone.
TEST(ThreadPoolTest, DrainGivesUpAtItsLimitAndTheStuckItemOutlivesThePool) {
  Trace stuck, late;
  ManualResetEvent gate;
  {
    ThreadPool pool;
    ASSERT_EQ(pool.Initialize(), S_OK);
    ASSERT_EQ(pool.Queue(new TracedItem(&stuck, &gate), platform::kWorkLongRunning), S_OK);
    ASSERT_TRUE(stuck.WaitUntil([&] { return stuck.runs > 0; }));
    pool.set_drain_limit_ms(200);
    pool.Drain();
    EXPECT_EQ(pool.pending(), 1);
    auto* refused = new TracedItem(&late);
    EXPECT_EQ(pool.Queue(refused, platform::kWorkDefault), E_POOL_DRAINED);
    EXPECT_TRUE(refused->StopRequested());
    delete refused;
  }
  gate.Set();
  ASSERT_TRUE(stuck.WaitDeleted());
  std::lock_guard lock(stuck.mutex);
  EXPECT_TRUE(stuck.stop_seen);
  EXPECT_EQ(late.runs, 0);
}

TEST(ThreadPoolTest, RefusedItemStaysWithTheCaller) {
  Trace trace;
  TracedItem on_stack(&trace);
  EXPECT_EQ(ThreadPool().Queue(&on_stack, platform::kWorkDefault), E_UNEXPECTED);
  // A work pool that can make no long-running thread refuses every such item.
  platform::WorkPool work_pool(platform::WorkPool::Options{1, 0, 256 * 1024, 30000});
  ThreadPool pool(&work_pool);
  ASSERT_EQ(pool.Initialize(), S_OK);
  EXPECT_EQ(pool.Queue(nullptr, platform::kWorkDefault), E_INVALIDARG);
  auto* refused = new TracedItem(&trace);
  EXPECT_EQ(pool.Queue(refused, platform::kWorkLongRunning),
            platform::HresultFromWin32(platform::kErrorNotEnoughMemory));
  EXPECT_EQ(pool.pending(), 0);
  // Still the caller's and still usable.
  ASSERT_EQ(pool.Queue(refused, platform::kWorkDefault), S_OK);
  ASSERT_TRUE(trace.WaitUntil([&] { return trace.deletions == 1; }));
}

struct Target {
  int Two(int a, const std::string& b) {
    std::lock_guard lock(mutex);
    sum += a;
    text += b;
    done.Set();
    return 0;
  }
  std::mutex mutex;
  int sum = 0;
  std::string text;
  ManualResetEvent done;
};

TEST(ThreadPoolTest, DeferredCallsRunWithCopiesOfTheirArguments) {
  ThreadPool pool;
  Target target;
  // A refused deferred call is freed, and never runs.
  EXPECT_EQ(QueueDeferredFunctionCall2(&pool, &target, &Target::Two, 1, std::string("x"),
                                       platform::kWorkDefault),
            E_UNEXPECTED);
  ASSERT_EQ(pool.Initialize(), S_OK);
  std::string text = "ab";
  ASSERT_EQ(
      QueueDeferredFunctionCall2(&pool, &target, &Target::Two, 5, text, platform::kWorkLongRunning),
      S_OK);
  text = "changed";  // the item keeps its own copy
  ASSERT_TRUE(target.done.Wait(kLimitMs));
  pool.Drain();
  std::lock_guard lock(target.mutex);
  EXPECT_EQ(target.sum, 5);
  EXPECT_EQ(target.text, "ab");
}

}  // namespace
}  // namespace tobric
