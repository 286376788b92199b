#include "base/threading/shared_run.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <utility>
#include <vector>

namespace tobric {
namespace {

constexpr auto kLimit = std::chrono::seconds(30);

// Four callers come while a run is held: they wait for it, and then one run,
// which began after all of them, serves them all with its result.
TEST(SharedRunTest, CallersDuringARunShareTheNextOneAndItsResult) {
  SharedRun shared;
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> runs{0};
  auto action = [&] {
    if (runs.fetch_add(1) != 0) return E_FAIL;
    entered.set_value();
    released.wait();
    return S_OK;
  };
  std::future<HRESULT> first = std::async(std::launch::async, [&] { return shared.Run(action); });
  ASSERT_EQ(entered.get_future().wait_for(kLimit), std::future_status::ready);
  std::vector<std::future<std::pair<HRESULT, bool>>> callers;
  for (int i = 0; i < 4; ++i) {
    callers.push_back(std::async(std::launch::async, [&] {
      bool carried = false;
      const HRESULT hr = shared.Run(action, &carried);
      return std::make_pair(hr, carried);
    }));
  }
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (shared.calls() < 5 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(shared.calls(), 5u);
  release.set_value();
  EXPECT_EQ(first.get(), S_OK);
  int carried = 0;
  for (auto& caller : callers) {
    const auto [hr, was_carried] = caller.get();
    EXPECT_EQ(hr, E_FAIL);
    carried += was_carried ? 1 : 0;
  }
  EXPECT_EQ(runs.load(), 2);
  EXPECT_EQ(carried, 3);
}

}  // namespace
}  // namespace tobric
