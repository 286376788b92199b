#include "base/platform/work_pool.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/platform/error.h"
#include "base/platform/testing/gate_testutil.h"

namespace tobric::platform {
namespace {

using testutil::Gate;

// Blocked HTTP workers are long-running items, far more of them than the
// default threads; a scheduling pass queued as a default item must still run
// at once, and every long item must have its own thread rather than wait.
TEST(WorkPoolTest, BlockedLongItemsDoNotStarveDefaultItems) {
  constexpr int kBlocked = 16;
  Gate blocked(/*open=*/false), scheduled;  // outlive the pool's threads
  WorkPool pool(WorkPool::Options{2, 4000, 256 * 1024, 30000});
  for (int i = 0; i < kBlocked; ++i) {
    ASSERT_EQ(pool.Queue(&Gate::PassOn, &blocked, kWorkLongRunning), S_OK) << "item " << i;
  }
  ASSERT_TRUE(blocked.WaitArrived(kBlocked));
  EXPECT_GE(pool.ThreadCount(), kBlocked);
  ASSERT_EQ(pool.Queue(&Gate::PassOn, &scheduled, kWorkDefault), S_OK);
  EXPECT_TRUE(scheduled.WaitArrived(1));
  blocked.Open();
  EXPECT_TRUE(blocked.WaitLeft(kBlocked));
}

struct Fanout {
  WorkPool* pool;
  Gate* gate;
  Gate* ran;
};

// The pool's end runs everything queued, also what its own threads queue while
// it ends.
TEST(WorkPoolTest, DestructorRunsQueuedWorkAndWhatItQueues) {
  Gate gate(/*open=*/false), ran;
  auto pool = std::make_unique<WorkPool>(WorkPool::Options{1, 1, 256 * 1024, 30000});
  Fanout fanout{pool.get(), &gate, &ran};
  const WorkPool::Function queue_more = [](void* context) {
    auto* fanout = static_cast<Fanout*>(context);
    fanout->gate->Pass();
    // With a cap of one long-running thread, all but the first long item wait.
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(fanout->pool->Queue(&Gate::PassOn, fanout->ran, kWorkDefault), S_OK);
      EXPECT_EQ(fanout->pool->Queue(&Gate::PassOn, fanout->ran, kWorkLongRunning), S_OK);
    }
  };
  ASSERT_EQ(pool->Queue(queue_more, &fanout, kWorkDefault), S_OK);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(pool->Queue(&Gate::PassOn, &ran, kWorkDefault), S_OK);
  // The first item holds the only default thread, so the rest wait in the queue.
  EXPECT_GE(pool->QueuedItems(), 100);
  gate.Open();
  pool.reset();
  EXPECT_EQ(ran.arrived(), 100 + 10 + 10);
}

}  // namespace
}  // namespace tobric::platform
