#include "base/platform/event_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/platform/isolated_env_testutil.h"
#include "base/platform/named_event.h"
#include "base/platform/work_pool.h"

namespace tobric::platform {
namespace {

constexpr auto kLimit = std::chrono::seconds(30);

struct Fired {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
  std::thread::id thread;

  void Add() {
    std::lock_guard lock(mutex);
    ++count;
    thread = std::this_thread::get_id();
    changed.notify_all();
  }
  bool WaitFor(int expected) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kLimit, [&] { return count >= expected; });
  }
  int Count() {
    std::lock_guard lock(mutex);
    return count;
  }
};

class EventRegistryTest : public ::testing::Test {
 protected:
  std::unique_ptr<NamedEvent> OpenEvent(const std::string& name) {
    std::unique_ptr<NamedEvent> event;
    EXPECT_EQ(NamedEvent::Open(name, ObjectScope::kUser, &event, nullptr), S_OK);
    return event;
  }
  // A wait that counts in `fired`; its id.
  static EventRegistry::WaitId Watch(EventRegistry& registry, NamedEvent* event, Fired* fired) {
    EventRegistry::WaitId id = 0;
    EXPECT_EQ(registry.RegisterWaitOnce(
                  event, [fired] { fired->Add(); }, &id),
              S_OK);
    return id;
  }

  IsolatedEnv env_;
  // Destroyed last: destroying it runs what is still queued, so counts read after
  // the registry and the pool are gone are final.
  std::unique_ptr<WorkPool> pool_ =
      std::make_unique<WorkPool>(WorkPool::Options{2, 8, 256 * 1024, 30000});
};

TEST_F(EventRegistryTest, FiresOnceOnAPoolThread) {
  auto event = OpenEvent("shutdown");
  auto already = OpenEvent("already");
  ASSERT_EQ(already->Set(), S_OK);
  Fired fired;
  Fired at_once;
  {
    EventRegistry registry(pool_.get());
    const EventRegistry::WaitId id = Watch(registry, event.get(), &fired);
    Watch(registry, already.get(), &at_once);  // set before the wait: fires at once
    ASSERT_TRUE(at_once.WaitFor(1));
    ASSERT_EQ(event->Set(), S_OK);
    ASSERT_TRUE(fired.WaitFor(1));
    EXPECT_NE(fired.thread, std::this_thread::get_id());
    EXPECT_EQ(registry.Unregister(id), S_FALSE);  // it fired; nothing to cancel

    // Setting it again, even after a reset, fires nothing more. A second wait on
    // the same event proves the watcher has seen the new set.
    ASSERT_EQ(event->Reset(), S_OK);
    ASSERT_EQ(event->Set(), S_OK);
    Fired second;
    Watch(registry, event.get(), &second);
    ASSERT_TRUE(second.WaitFor(1));
  }
  pool_.reset();
  EXPECT_EQ(fired.Count(), 1);
}

TEST_F(EventRegistryTest, UnregisteredOrDestroyedWaitsNeverFire) {
  auto cancelled_event = OpenEvent("cancelled");
  auto witness_event = OpenEvent("witness");
  auto never_set = OpenEvent("never-set");
  Fired cancelled;
  Fired witness;
  Fired destroyed;
  {
    EventRegistry registry(pool_.get());
    const EventRegistry::WaitId id = Watch(registry, cancelled_event.get(), &cancelled);
    EXPECT_EQ(registry.Unregister(id), S_OK);
    EXPECT_EQ(registry.Unregister(id), S_FALSE);
    // The folder's watch went with the last wait; a new wait must arm it again.
    Watch(registry, witness_event.get(), &witness);
    ASSERT_EQ(cancelled_event->Set(), S_OK);
    ASSERT_EQ(witness_event->Set(), S_OK);
    ASSERT_TRUE(witness.WaitFor(1));
    Watch(registry, never_set.get(), &destroyed);
  }
  ASSERT_EQ(never_set->Set(), S_OK);
  pool_.reset();
  EXPECT_EQ(cancelled.Count(), 0);
  EXPECT_EQ(destroyed.Count(), 0);
}

TEST_F(EventRegistryTest, CallbackMayDestroyTheRegistry) {
  auto event = OpenEvent("self-destroy");
  auto* registry = new EventRegistry(pool_.get());
  Fired fired;
  EventRegistry::WaitId id = 0;
  ASSERT_EQ(registry->RegisterWaitOnce(
                event.get(),
                [&] {
                  delete registry;
                  fired.Add();
                },
                &id),
            S_OK);
  ASSERT_EQ(event->Set(), S_OK);
  EXPECT_TRUE(fired.WaitFor(1));
}

TEST_F(EventRegistryTest, DestructorWaitsForARunningCallback) {
  auto event = OpenEvent("slow");
  Fired started;
  std::atomic<bool> finished{false};
  auto registry = std::make_unique<EventRegistry>(pool_.get());
  EventRegistry::WaitId id = 0;
  ASSERT_EQ(registry->RegisterWaitOnce(
                event.get(),
                [&] {
                  started.Add();
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
                  finished = true;
                },
                &id),
            S_OK);
  ASSERT_EQ(event->Set(), S_OK);
  ASSERT_TRUE(started.WaitFor(1));
  registry.reset();
  EXPECT_TRUE(finished.load());
}

// The shutdown callback waits long for the downloads to stop: it must get a
// thread while a blocked default item and stuck long-running workers hold all
// others, and it must not take a default thread itself.
TEST_F(EventRegistryTest, FiresWhileEveryDefaultAndLongRunningThreadIsBlocked) {
  pool_ = std::make_unique<WorkPool>(WorkPool::Options{1, 1, 256 * 1024, 30000});
  struct Blocked {
    Fired started;
    std::mutex mutex;
    std::condition_variable changed;
    bool release = false;
  } blocked;
  const WorkPool::Function block = [](void* context) {
    auto* b = static_cast<Blocked*>(context);
    b->started.Add();
    std::unique_lock lock(b->mutex);
    // Longer than the test's own waits, so that the callback cannot merely come
    // after the blocked items gave up.
    b->changed.wait_for(lock, 2 * kLimit, [b] { return b->release; });
  };
  // No early return below: the blocked items use `blocked` until released.
  EXPECT_EQ(pool_->Queue(block, &blocked, kWorkDefault), S_OK);
  EXPECT_EQ(pool_->Queue(block, &blocked, kWorkLongRunning), S_OK);
  EXPECT_TRUE(blocked.started.WaitFor(2));
  auto event = OpenEvent("blocked-pool");
  Fired fired;
  {
    EventRegistry registry(pool_.get());
    Watch(registry, event.get(), &fired);
    EXPECT_EQ(event->Set(), S_OK);
    EXPECT_TRUE(fired.WaitFor(1));
  }
  {
    std::lock_guard lock(blocked.mutex);
    blocked.release = true;
    blocked.changed.notify_all();
  }
  pool_.reset();
}

TEST_F(EventRegistryTest, ManyWaitsInOneFolderEachFireOnce) {
  constexpr int kWaits = 20;
  std::vector<std::unique_ptr<NamedEvent>> events;
  for (int i = 0; i < kWaits; ++i) events.push_back(OpenEvent("many-" + std::to_string(i)));
  Fired fired;
  {
    EventRegistry registry(pool_.get());
    for (auto& event : events) {
      Watch(registry, event.get(), &fired);
      Watch(registry, event.get(), &fired);
    }
    std::thread setter([&] {
      for (auto& event : events) EXPECT_EQ(event->Set(), S_OK);
    });
    setter.join();
    ASSERT_TRUE(fired.WaitFor(2 * kWaits));
  }
  pool_.reset();
  EXPECT_EQ(fired.Count(), 2 * kWaits);
}

}  // namespace
}  // namespace tobric::platform
