#include "base/platform/event_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include "base/platform/named_event.h"
#include "base/platform/testing/gate_testutil.h"
#include "base/platform/work_pool.h"
#include "tests/support/isolated_env.h"

namespace tobric::platform {
namespace {

using testutil::Gate;

class EventRegistryTest : public ::testing::Test {
 protected:
  std::unique_ptr<NamedEvent> OpenEvent(const std::string& name) {
    std::unique_ptr<NamedEvent> event;
    EXPECT_EQ(NamedEvent::Open(name, ObjectScope::kUser, &event, nullptr), S_OK);
    return event;
  }
  // A wait that passes `gate` when the event is set; its id.
  static EventRegistry::WaitId Watch(EventRegistry& registry, NamedEvent* event, Gate* gate) {
    EventRegistry::WaitId id = 0;
    EXPECT_EQ(registry.RegisterWaitOnce(
                  event, [gate] { gate->Pass(); }, &id),
              S_OK);
    return id;
  }

  IsolatedEnv env_;
  // Destroyed last: destroying it runs what is still queued, so counts read after
  // the registry and the pool are gone are final.
  std::unique_ptr<WorkPool> pool_ =
      std::make_unique<WorkPool>(WorkPool::Options{2, 8, 256 * 1024, 30000});
};

TEST_F(EventRegistryTest, FiresOnceAndNeverWhenUnregistered) {
  auto event = OpenEvent("shutdown");
  auto already = OpenEvent("already");
  auto cancelled_event = OpenEvent("cancelled");
  auto never_set = OpenEvent("never-set");
  ASSERT_EQ(already->Set(), S_OK);
  Gate fired, at_once, cancelled, destroyed, second;
  {
    EventRegistry registry(pool_.get());
    const EventRegistry::WaitId cancelled_id = Watch(registry, cancelled_event.get(), &cancelled);
    EXPECT_EQ(registry.Unregister(cancelled_id), S_OK);
    EXPECT_EQ(registry.Unregister(cancelled_id), S_FALSE);
    // The folder's watch went with the last wait; a new wait must arm it again.
    const EventRegistry::WaitId id = Watch(registry, event.get(), &fired);
    Watch(registry, already.get(), &at_once);  // set before the wait: fires at once
    ASSERT_TRUE(at_once.WaitArrived(1));
    ASSERT_EQ(cancelled_event->Set(), S_OK);
    ASSERT_EQ(event->Set(), S_OK);
    ASSERT_TRUE(fired.WaitArrived(1));
    EXPECT_EQ(registry.Unregister(id), S_FALSE);  // it fired; nothing to cancel

    // Setting it again, even after a reset, fires nothing more. A second wait on
    // the same event proves the watcher has seen the new set.
    ASSERT_EQ(event->Reset(), S_OK);
    ASSERT_EQ(event->Set(), S_OK);
    Watch(registry, event.get(), &second);
    ASSERT_TRUE(second.WaitArrived(1));
    Watch(registry, never_set.get(), &destroyed);
  }
  ASSERT_EQ(never_set->Set(), S_OK);
  pool_.reset();
  EXPECT_EQ(fired.arrived(), 1);
  EXPECT_EQ(cancelled.arrived(), 0);
  EXPECT_EQ(destroyed.arrived(), 0);
}

// The service ends its registry while the shutdown callback may still run.
TEST_F(EventRegistryTest, DestructorWaitsForTheRunningCallback) {
  auto slow_event = OpenEvent("slow");
  auto slow = std::make_unique<EventRegistry>(pool_.get());
  Gate running(/*open=*/false);
  Watch(*slow, slow_event.get(), &running);
  ASSERT_EQ(slow_event->Set(), S_OK);
  ASSERT_TRUE(running.WaitArrived(1));
  auto destroyed = std::async(std::launch::async, [&] { slow.reset(); });
  EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  running.Open();
  destroyed.get();
}

// The shutdown callback waits long for the downloads to stop: it must get a
// thread while a blocked default item and stuck long-running workers hold all
// others, and it must not take a default thread itself.
TEST_F(EventRegistryTest, FiresWhileEveryDefaultAndLongRunningThreadIsBlocked) {
  pool_ = std::make_unique<WorkPool>(WorkPool::Options{1, 1, 256 * 1024, 30000});
  Gate blocked(/*open=*/false);
  // No early return below: the blocked items use `blocked` until released.
  EXPECT_EQ(pool_->Queue(&Gate::PassOn, &blocked, kWorkDefault), S_OK);
  EXPECT_EQ(pool_->Queue(&Gate::PassOn, &blocked, kWorkLongRunning), S_OK);
  EXPECT_TRUE(blocked.WaitArrived(2));
  auto event = OpenEvent("blocked-pool");
  Gate fired;
  {
    EventRegistry registry(pool_.get());
    Watch(registry, event.get(), &fired);
    EXPECT_EQ(event->Set(), S_OK);
    EXPECT_TRUE(fired.WaitArrived(1));
  }
  blocked.Open();
  pool_.reset();
}

}  // namespace
}  // namespace tobric::platform
