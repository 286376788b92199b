#include "base/threading/lock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/isolated_env.h"

namespace tobric {
namespace {

constexpr auto kLimit = std::chrono::seconds(30);

// Runs f on another thread and returns its result, waiting a bounded time.
template <class F>
auto OnOtherThread(F f) {
  auto result = std::async(std::launch::async, f);
  EXPECT_EQ(result.wait_for(kLimit), std::future_status::ready);
  return result.get();
}

TEST(LLockTest, TryLockIsRecursiveForTheOwnerAndFailsElsewhere) {
  LLock lock;
  ASSERT_TRUE(lock.Lock());
  EXPECT_TRUE(lock.TryLock(0));
  EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(0); }));
  EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(20); }));
  EXPECT_TRUE(lock.Unlock());
  // Still held once.
  EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(0); }));
  EXPECT_TRUE(lock.Unlock());
  {
    AutoLock guard(lock);
    AutoLock nested(&lock);
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(0); }));
  }
  EXPECT_TRUE(OnOtherThread([&] {
    const bool taken = lock.TryLock(0);
    if (taken) lock.Unlock();
    return taken;
  }));
}

TEST(LLockTest, TryLockGetsALockReleasedWithinItsLimit) {
  LLock lock;
  std::promise<void> locked;
  std::promise<void> release;
  std::thread holder([&] {
    lock.Lock();
    locked.set_value();
    release.get_future().wait_for(kLimit);
    lock.Unlock();
  });
  ASSERT_EQ(locked.get_future().wait_for(kLimit), std::future_status::ready);
  auto taker = std::async(std::launch::async, [&] {
    const bool taken = lock.TryLock(30000);
    if (taken) lock.Unlock();
    return taken;
  });
  release.set_value();
  ASSERT_EQ(taker.wait_for(kLimit), std::future_status::ready);
  EXPECT_TRUE(taker.get());
  holder.join();
}

class GLockTest : public ::testing::Test {
 protected:
  platform::IsolatedEnv env_;
};

TEST_F(GLockTest, TwoLocksOfOneNameExcludeEachOther) {
  GLock first;
  GLock second;
  ASSERT_EQ(first.Initialize("{C9C4FDE4-819E-4BEA-B326-8F9C8397938A}"), S_OK);
  ASSERT_EQ(second.Initialize("{C9C4FDE4-819E-4BEA-B326-8F9C8397938A}"), S_OK);
  ASSERT_TRUE(first.TryLock(0));
  EXPECT_TRUE(first.TryLock(0));  // recursive for its owner
  EXPECT_FALSE(second.TryLock(0));
  EXPECT_FALSE(OnOtherThread([&] { return second.TryLock(20); }));
  EXPECT_FALSE(OnOtherThread([&] { return first.TryLock(0); }));
  EXPECT_FALSE(OnOtherThread([&] { return first.Unlock(); }));  // not the owner
  EXPECT_TRUE(first.Unlock());
  EXPECT_FALSE(second.TryLock(0));
  EXPECT_TRUE(first.Unlock());
  {
    AutoLock guard(second);
    EXPECT_FALSE(first.TryLock(0));
  }
  EXPECT_TRUE(first.Lock());
  EXPECT_TRUE(first.Unlock());
  EXPECT_FALSE(first.Unlock());
}

TEST_F(GLockTest, UninitializedLockIsNeverHeld) {
  GLock lock;
  EXPECT_FALSE(lock.Lock());
  EXPECT_FALSE(lock.TryLock(0));
  EXPECT_FALSE(lock.Unlock());
}

TEST_F(GLockTest, HeldByAnotherProcessUntilItReleases) {
  GLock lock;
  ASSERT_EQ(lock.Initialize("cross-process"), S_OK);
  platform::ChildProcess child;
  ASSERT_TRUE(child.Start([](platform::ChildProcess& self) {
    GLock mine;
    if (Failed(mine.Initialize("cross-process")) || !mine.TryLock(0)) return 2;
    self.Send('L');
    char go = 0;
    if (!self.Receive(&go)) return 3;
    return mine.Unlock() ? 0 : 4;
  }));
  char byte = 0;
  ASSERT_TRUE(child.Receive(&byte));
  EXPECT_FALSE(lock.TryLock(0));
  EXPECT_FALSE(lock.TryLock(30));
  auto waiter = std::async(std::launch::async, [&] {
    const bool taken = lock.TryLock(30000);
    if (taken) lock.Unlock();
    return taken;
  });
  ASSERT_TRUE(child.Send('U'));
  ASSERT_EQ(waiter.wait_for(kLimit), std::future_status::ready);
  EXPECT_TRUE(waiter.get());
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(GLockTest, AbandonedByADeadProcessCountsAsAcquired) {
  GLock lock;
  ASSERT_EQ(lock.Initialize("abandoned"), S_OK);
  platform::ChildProcess child;
  ASSERT_TRUE(child.Start([](platform::ChildProcess& self) {
    GLock mine;
    if (Failed(mine.Initialize("abandoned")) || !mine.TryLock(0)) return 2;
    self.Send('L');
    char go = 0;
    self.Receive(&go);
    return 0;  // ends holding the lock
  }));
  char byte = 0;
  ASSERT_TRUE(child.Receive(&byte));
  EXPECT_FALSE(lock.TryLock(0));
  ASSERT_TRUE(child.Send('X'));
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_TRUE(lock.TryLock(0));
  EXPECT_TRUE(lock.Unlock());
}

TEST_F(GLockTest, MachineWideNamesLiveInTheSharedFolder) {
  GLock::SetMachineWideNames(true);
  GLock machine;
  const HRESULT hr = machine.Initialize("machine-lock");
  GLock::SetMachineWideNames(false);
  ASSERT_EQ(hr, S_OK);
  GLock user;
  ASSERT_EQ(user.Initialize("machine-lock"), S_OK);
  // Same name, different scope: two different mutexes.
  ASSERT_TRUE(machine.TryLock(0));
  EXPECT_TRUE(user.TryLock(0));
  EXPECT_TRUE(user.Unlock());
  EXPECT_TRUE(machine.Unlock());
  EXPECT_TRUE(std::filesystem::exists(env_.machine_folder() + "/machine-lock"));
}

}  // namespace
}  // namespace tobric
