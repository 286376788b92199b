#include "base/threading/async_callback.h"

#include <gtest/gtest.h>

#include <memory>

namespace tobric {
namespace {

struct Receiver {
  void Done(std::shared_ptr<int> result) { kept = result; }
  std::shared_ptr<int> kept;
};

TEST(AsyncCallbackTest, MethodCallbackLetsGoOfWhatTheCalleeDidNotKeep) {
  Receiver receiver;
  MethodAsyncCallback<Receiver, std::shared_ptr<int>> callback(&receiver, &Receiver::Done);
  auto result = std::make_shared<int>(7);
  std::weak_ptr<int> watch = result;
  callback.Invoke(std::move(result));
  EXPECT_EQ(receiver.kept.use_count(), 1);
  receiver.kept.reset();
  EXPECT_TRUE(watch.expired());

  MethodAsyncCallback<Receiver, std::shared_ptr<int>> no_method(nullptr, nullptr);
  result = std::make_shared<int>(8);
  no_method.Invoke(result);
  EXPECT_EQ(result.use_count(), 1);
  StdAsyncCallback<int>(nullptr).Invoke(7);  // a null function does nothing
}

}  // namespace
}  // namespace tobric
