#include "base/platform/named_mutex.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <thread>

#include "base/platform/error.h"
#include "tests/support/isolated_env.h"

namespace tobric::platform {
namespace {

constexpr auto kLimit = std::chrono::seconds(30);

class NamedMutexTest : public ::testing::Test {
 protected:
  std::unique_ptr<NamedMutex> OpenMutex(const std::string& name) {
    std::unique_ptr<NamedMutex> mutex;
    EXPECT_EQ(NamedMutex::Open(name, ObjectScope::kUser, &mutex, nullptr), S_OK);
    return mutex;
  }

  IsolatedEnv env_;
};

// Two objects of one name stand for two handles: flock is per open file, so
// they exclude each other even on one thread of one process.
TEST_F(NamedMutexTest, ObjectsOfOneNameExcludeEachOtherAndOwnersNest) {
  auto first = OpenMutex("pair");
  auto second = OpenMutex("pair");
  auto other = OpenMutex("other");
  ASSERT_TRUE(first && second && other);
  ASSERT_TRUE(first->Lock(0));
  EXPECT_FALSE(second->Lock(30));
  EXPECT_TRUE(other->Lock(0)) << "another name is another mutex";
  ASSERT_TRUE(first->Lock(kInfinite));  // recursive for its owner
  auto other_thread = std::async(std::launch::async,
                                 [&] { return std::make_pair(first->Lock(20), first->Unlock()); });
  ASSERT_EQ(other_thread.wait_for(kLimit), std::future_status::ready);
  EXPECT_EQ(other_thread.get(), std::make_pair(false, false));
  EXPECT_TRUE(first->Unlock());
  EXPECT_FALSE(second->Lock(0)) << "still held once";
  EXPECT_TRUE(first->Unlock());
  EXPECT_FALSE(first->Unlock());
  EXPECT_TRUE(second->Lock(0));
}

// A thread of this process waits on the object itself, not on the file lock's
// polling (the wait GLock's tests show across processes).
TEST_F(NamedMutexTest, WaitingThreadGetsItWhenReleased) {
  auto mutex = OpenMutex("handover");
  ASSERT_TRUE(mutex->Lock(0));
  auto waiter = std::async(std::launch::async, [&] {
    const bool locked = mutex->Lock(kInfinite);
    if (locked) mutex->Unlock();
    return locked;
  });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  EXPECT_TRUE(mutex->Unlock());
  ASSERT_EQ(waiter.wait_for(kLimit), std::future_status::ready);
  EXPECT_TRUE(waiter.get());
}

TEST_F(NamedMutexTest, MachineWideFilesAreOpenToEveryoneWhateverTheUmask) {
  const mode_t old_mask = umask(077);
  std::unique_ptr<NamedMutex> mutex;
  const HRESULT hr = NamedMutex::Open("shared-log", ObjectScope::kMachine, &mutex, nullptr);
  umask(old_mask);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(mutex->path().rfind(env_.machine_folder(), 0), 0u) << mutex->path();
  struct stat info {};
  ASSERT_EQ(stat(mutex->path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0666u);
  ASSERT_EQ(stat((mutex->path() + ".open").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0666u);

  std::unique_ptr<NamedMutex> user;
  ASSERT_EQ(NamedMutex::Open("private", ObjectScope::kUser, &user, nullptr), S_OK);
  ASSERT_EQ(stat(user->path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0077, 0u);
}

}  // namespace
}  // namespace tobric::platform
