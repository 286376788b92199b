// For the engine's tests through its C API: one isolated user environment per
// test program (the engine's network state, made on first use, keeps the
// locations it found then, so the environment must outlive every test of the
// program), task creation, a task's record, and waits for what a task reports.
#ifndef TORRIX_ENGINE_ENVIRONMENT_TESTUTIL_H_
#define TORRIX_ENGINE_ENVIRONMENT_TESTUTIL_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/isolated_env.h"
#include "torrix/torrix.h"

namespace torrix::testutil {

class EngineEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { env_ = std::make_unique<tobric::platform::IsolatedEnv>(); }
  void TearDown() override { env_.reset(); }
  static std::string Root() { return env_->root(); }

 private:
  static inline std::unique_ptr<tobric::platform::IsolatedEnv> env_;
};

// Registers the environment; a test file's namespace-scope constant calls it.
inline const ::testing::Environment* AddEngineEnvironment() {
  return ::testing::AddGlobalTestEnvironment(new EngineEnvironment);
}

// The record of task `handle`; a failed call fails the test.
inline TorrixTaskInfo TaskInfo(uint32_t handle) {
  TorrixTaskInfo info{};
  EXPECT_EQ(Torrix_GetTaskInfoBatch(&handle, 1, &info), TORRIX_OK);
  return info;
}

// Polls every 10 ms until `done` holds; false after `limit`.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline bool WaitForState(uint32_t handle, int32_t state, std::chrono::milliseconds limit) {
  return WaitUntil([&] { return TaskInfo(handle).state == state; }, limit);
}

// A task of `link` downloading into `folder`, named `name` when it is not empty.
inline int32_t CreateTask(const std::string& link, const std::string& folder,
                          const std::string& name, uint32_t* handle) {
  TorrixCreateParams params{};
  std::copy(link.begin(), link.end(), params.uri);
  std::copy(name.begin(), name.end(), params.file_name);
  std::copy(folder.begin(), folder.end(), params.folder);
  return Torrix_CreateP2SPTask(handle, &params);
}

// Creates and starts such a task; its handle.
inline uint32_t StartTask(const std::string& link, const std::string& folder,
                          const std::string& name = "") {
  uint32_t handle = 0;
  EXPECT_EQ(CreateTask(link, folder, name, &handle), TORRIX_OK);
  EXPECT_EQ(Torrix_StartTask(handle), TORRIX_OK);
  return handle;
}

}  // namespace torrix::testutil

#endif  // TORRIX_ENGINE_ENVIRONMENT_TESTUTIL_H_
