#include "base/threading/lock.h"

#include <gtest/gtest.h>

#include <chrono>
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

TEST(LLockTest, TryLockIsRecursiveForTheOwnerAndWaitsItsLimitElsewhere) {
  LLock lock;
  ASSERT_TRUE(lock.Lock());
  EXPECT_TRUE(lock.TryLock(0));
  EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(20); }));
  EXPECT_TRUE(lock.Unlock());
  EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(0); })) << "still held once";
  // A waiter within its limit gets the lock once the owner lets go.
  auto taker = std::async(std::launch::async, [&] {
    const bool taken = lock.TryLock(30000);
    if (taken) lock.Unlock();
    return taken;
  });
  EXPECT_TRUE(lock.Unlock());
  ASSERT_EQ(taker.wait_for(kLimit), std::future_status::ready);
  EXPECT_TRUE(taker.get());
}

// The in-process behaviour of the named mutex underneath is pinned by its own
// tests; these are the cases only a second process shows.
class GLockTest : public ::testing::Test {
 protected:
  platform::IsolatedEnv env_;
};

TEST_F(GLockTest, HeldByAnotherProcessUntilItReleasesOrDies) {
  GLock lock;
  EXPECT_FALSE(lock.TryLock(0)) << "an uninitialized lock cannot be taken";
  ASSERT_EQ(lock.Initialize("cross-process"), S_OK);
  for (const bool dies_holding : {false, true}) {
    SCOPED_TRACE(dies_holding ? "dies holding it" : "releases it");
    platform::ChildProcess child;
    ASSERT_TRUE(child.Start([dies_holding](platform::ChildProcess& self) {
      GLock mine;
      if (Failed(mine.Initialize("cross-process")) || !mine.TryLock(0)) return 2;
      self.Send('L');
      char go = 0;
      if (!self.Receive(&go)) return 3;
      return dies_holding || mine.Unlock() ? 0 : 4;
    }));
    char byte = 0;
    ASSERT_TRUE(child.Receive(&byte));
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
}

}  // namespace
}  // namespace tobric
