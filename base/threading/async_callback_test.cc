#include "base/threading/async_callback.h"

#include <gtest/gtest.h>

#include <memory>

namespace tobric {
namespace {

struct Result {
  int value = 0;
};

class Receiver {
 public:
  void Done(std::shared_ptr<Result> result) {
    seen_use_count = result.use_count();
    kept = result;
  }
  long seen_use_count = 0;
  std::shared_ptr<Result> kept;
};

int g_last = 0;
void Record(int value) { g_last = value; }

TEST(AsyncCallbackTest, MethodCallbackGivesTheCalleeItsOwnReferenceAndLetsGo) {
  Receiver receiver;
  std::unique_ptr<AsyncCallback<std::shared_ptr<Result>>> callback =
      std::make_unique<MethodAsyncCallback<Receiver, std::shared_ptr<Result>>>(&receiver,
                                                                               &Receiver::Done);
  auto result = std::make_shared<Result>();
  std::weak_ptr<Result> watch = result;
  callback->Invoke(std::move(result));
  // The callee held its own copy besides Invoke's.
  EXPECT_EQ(receiver.seen_use_count, 2);
  // After Invoke only what the callee kept is left.
  EXPECT_EQ(receiver.kept.use_count(), 1);
  receiver.kept.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(AsyncCallbackTest, NullTargetsDoNothing) {
  MethodAsyncCallback<Receiver, std::shared_ptr<Result>> no_method(nullptr, nullptr);
  auto result = std::make_shared<Result>();
  no_method.Invoke(result);
  EXPECT_EQ(result.use_count(), 1);  // released in either case

  StdAsyncCallback<int> no_function(nullptr);
  no_function.Invoke(7);
  StdAsyncCallback<int> function(&Record);
  function.Invoke(42);
  EXPECT_EQ(g_last, 42);
}

}  // namespace
}  // namespace tobric
