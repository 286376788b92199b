#include "base/platform/named_event.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <iterator>

#include "base/platform/named_mutex.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_env.h"

namespace tobric::platform {
namespace {

constexpr auto kLimit = std::chrono::seconds(30);

class NamedEventTest : public ::testing::Test {
 protected:
  std::unique_ptr<NamedEvent> OpenEvent(const std::string& name, bool* existed = nullptr) {
    std::unique_ptr<NamedEvent> event;
    EXPECT_EQ(NamedEvent::Open(name, ObjectScope::kUser, &event, existed), S_OK);
    return event;
  }

  IsolatedEnv env_;
};

TEST_F(NamedEventTest, SetAndResetAreSeenThroughEveryObjectOfTheName) {
  bool existed = true;
  auto first = OpenEvent("state", &existed);
  ASSERT_TRUE(first);
  EXPECT_FALSE(existed);
  EXPECT_FALSE(first->IsSet());
  auto second = OpenEvent("state", &existed);
  EXPECT_TRUE(existed);

  ASSERT_EQ(first->Set(), S_OK);
  ASSERT_EQ(first->Set(), S_OK);  // setting a set event changes nothing
  EXPECT_TRUE(second->IsSet());
  ASSERT_EQ(second->Reset(), S_OK);
  EXPECT_FALSE(first->IsSet());

  // Opening an existing event keeps its state; only a new one starts reset.
  ASSERT_EQ(first->Set(), S_OK);
  auto third = OpenEvent("state");
  EXPECT_TRUE(third->IsSet());

  // The replace-by-rename leaves no temporary files behind.
  const auto folder = std::filesystem::path(first->path()).parent_path();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
}

TEST_F(NamedEventTest, WaitEndsWhenSetOrAtItsLimit) {
  auto event = OpenEvent("wait");
  EXPECT_FALSE(event->Wait(0));
  EXPECT_FALSE(event->Wait(30));

  auto other = OpenEvent("wait");
  auto waiter = std::async(std::launch::async, [&] { return event->Wait(kInfinite); });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  ASSERT_EQ(other->Set(), S_OK);
  ASSERT_EQ(waiter.wait_for(kLimit), std::future_status::ready);
  EXPECT_TRUE(waiter.get());
  EXPECT_TRUE(event->Wait(0));
}

TEST_F(NamedEventTest, ASecondProcessSeesTheEventSet) {
  auto event = OpenEvent("{0C3063A8-EBCE-431E-B076-B27C9669EDEC}");
  ChildProcess child;
  ASSERT_TRUE(child.Start([](ChildProcess& self) {
    std::unique_ptr<NamedEvent> mine;
    if (Failed(NamedEvent::Open("{0C3063A8-EBCE-431E-B076-B27C9669EDEC}", ObjectScope::kUser, &mine,
                                nullptr))) {
      return 2;
    }
    if (mine->IsSet()) return 3;
    self.Send('w');
    return mine->Wait(15000) ? 0 : 1;
  }));
  char byte = 0;
  ASSERT_TRUE(child.Receive(&byte));
  ASSERT_EQ(event->Set(), S_OK);
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(NamedEventTest, MachineWideEventStaysOpenToEveryoneAfterSet) {
  const mode_t old_mask = umask(077);
  std::unique_ptr<NamedEvent> event;
  HRESULT hr = NamedEvent::Open("machine-event", ObjectScope::kMachine, &event, nullptr);
  if (Succeeded(hr)) hr = event->Set();
  umask(old_mask);
  ASSERT_EQ(hr, S_OK);
  struct stat info {};
  ASSERT_EQ(stat(event->path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0666u);
  EXPECT_TRUE(event->IsSet());
}

}  // namespace
}  // namespace tobric::platform
