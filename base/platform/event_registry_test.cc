#include "base/platform/event_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

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

  IsolatedEnv env_;
  // Destroyed last: destroying it runs what is still queued, so counts read after
  // the registry and the pool are gone are final.
  std::unique_ptr<WorkPool> pool_ =
      std::make_unique<WorkPool>(WorkPool::Options{2, 8, 256 * 1024, 30000});
};

TEST_F(EventRegistryTest, FiresOnceOnAPoolThread) {
  auto event = OpenEvent("shutdown");
  Fired fired;
  {
    EventRegistry registry(pool_.get());
    EventRegistry::WaitId id = 0;
    ASSERT_EQ(registry.RegisterWaitOnce(
                  event.get(), [&] { fired.Add(); }, &id),
              S_OK);
    ASSERT_EQ(event->Set(), S_OK);
    ASSERT_TRUE(fired.WaitFor(1));
    EXPECT_NE(fired.thread, std::this_thread::get_id());
    EXPECT_EQ(registry.Unregister(id), S_FALSE);  // it fired; nothing to cancel

    // Setting it again, even after a reset, fires nothing more.
    ASSERT_EQ(event->Reset(), S_OK);
    ASSERT_EQ(event->Set(), S_OK);
    // A second wait on the same event proves the watcher has seen the new set.
    Fired second;
    EventRegistry::WaitId second_id = 0;
    ASSERT_EQ(registry.RegisterWaitOnce(
                  event.get(), [&] { second.Add(); }, &second_id),
              S_OK);
    ASSERT_TRUE(second.WaitFor(1));
  }
  pool_.reset();
  EXPECT_EQ(fired.Count(), 1);
}

TEST_F(EventRegistryTest, EventAlreadySetFiresAtOnce) {
  auto event = OpenEvent("already");
  ASSERT_EQ(event->Set(), S_OK);
  EventRegistry registry(pool_.get());
  Fired fired;
  EventRegistry::WaitId id = 0;
  ASSERT_EQ(registry.RegisterWaitOnce(
                event.get(), [&] { fired.Add(); }, &id),
            S_OK);
  EXPECT_TRUE(fired.WaitFor(1));
}

TEST_F(EventRegistryTest, UnregisteredWaitNeverFires) {
  auto cancelled_event = OpenEvent("cancelled");
  auto witness_event = OpenEvent("witness");
  Fired cancelled;
  Fired witness;
  {
    EventRegistry registry(pool_.get());
    EventRegistry::WaitId cancelled_id = 0;
    EventRegistry::WaitId witness_id = 0;
    ASSERT_EQ(registry.RegisterWaitOnce(
                  cancelled_event.get(), [&] { cancelled.Add(); }, &cancelled_id),
              S_OK);
    EXPECT_EQ(registry.Unregister(cancelled_id), S_OK);
    EXPECT_EQ(registry.Unregister(cancelled_id), S_FALSE);
    // The folder's watch went with the last wait; a new wait must arm it again.
    ASSERT_EQ(registry.RegisterWaitOnce(
                  witness_event.get(), [&] { witness.Add(); }, &witness_id),
              S_OK);
    ASSERT_EQ(cancelled_event->Set(), S_OK);
    ASSERT_EQ(witness_event->Set(), S_OK);
    ASSERT_TRUE(witness.WaitFor(1));
  }
  pool_.reset();
  EXPECT_EQ(cancelled.Count(), 0);
}

TEST_F(EventRegistryTest, DestructorCancelsUnfiredWaits) {
  auto event = OpenEvent("never-set");
  Fired fired;
  {
    EventRegistry registry(pool_.get());
    EventRegistry::WaitId id = 0;
    ASSERT_EQ(registry.RegisterWaitOnce(
                  event.get(), [&] { fired.Add(); }, &id),
              S_OK);
  }
  ASSERT_EQ(event->Set(), S_OK);
  pool_.reset();
  EXPECT_EQ(fired.Count(), 0);
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
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;
  bool finished = false;
  auto registry = std::make_unique<EventRegistry>(pool_.get());
  EventRegistry::WaitId id = 0;
  ASSERT_EQ(registry->RegisterWaitOnce(
                event.get(),
                [&] {
                  {
                    std::lock_guard lock(mutex);
                    started = true;
                    changed.notify_all();
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
                  std::lock_guard lock(mutex);
                  finished = true;
                },
                &id),
            S_OK);
  ASSERT_EQ(event->Set(), S_OK);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kLimit, [&] { return started; }));
  }
  registry.reset();
  std::lock_guard lock(mutex);
  EXPECT_TRUE(finished);
}

TEST_F(EventRegistryTest, ManyWaitsInOneFolderEachFireOnce) {
  constexpr int kWaits = 20;
  std::vector<std::unique_ptr<NamedEvent>> events;
  for (int i = 0; i < kWaits; ++i) events.push_back(OpenEvent("many-" + std::to_string(i)));
  Fired fired;
  {
    EventRegistry registry(pool_.get());
    for (auto& event : events) {
      EventRegistry::WaitId id = 0;
      ASSERT_EQ(registry.RegisterWaitOnce(
                    event.get(), [&] { fired.Add(); }, &id),
                S_OK);
      ASSERT_EQ(registry.RegisterWaitOnce(
                    event.get(), [&] { fired.Add(); }, &id),
                S_OK);
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
