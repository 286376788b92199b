// One isolated user environment per test program of the engine: the engine's
// network state, made on first use, keeps the locations it found then, so the
// environment must outlive every test of the program.
#ifndef TORRIX_ENGINE_ENVIRONMENT_TESTUTIL_H_
#define TORRIX_ENGINE_ENVIRONMENT_TESTUTIL_H_

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/isolated_env.h"

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

}  // namespace torrix::testutil

#endif  // TORRIX_ENGINE_ENVIRONMENT_TESTUTIL_H_
