#include "tests/support/isolated_env.h"

#include <cstdlib>
#include <filesystem>

#include "base/platform/testing/process_testutil_posix.h"
#include "tests/support/files.h"

namespace corvane::testsupport {

using tobric::platform::testutil::SetEnvironmentVariable;

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str()); old != nullptr) old_ = old;
  SetEnvironmentVariable(name_, value);
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariable(name_, old_); }

}  // namespace corvane::testsupport

namespace tobric::platform {

IsolatedEnv::IsolatedEnv() : root_(corvane::testsupport::MakePrivateFolder("tobric-test-")) {
  // The object folder must be closed to others (mode 0700), as the product checks.
  for (const auto& [name, sub] : {std::pair{"HOME", "home"},
                                  {"XDG_DATA_HOME", "data"},
                                  {"XDG_CONFIG_HOME", "config"},
                                  {"XDG_RUNTIME_DIR", "run"},
                                  {"TMPDIR", "tmp"},
                                  {"TOBRIC_MACHINE_OBJECT_DIR", "machine"},
                                  {"TOBRIC_MACHINE_CONFIG_DIR", "machine-config"}}) {
    std::filesystem::create_directories(root_ + "/" + sub);
    variables_.emplace_back(name, root_ + "/" + sub);
  }
  std::filesystem::permissions(root_ + "/run", std::filesystem::perms::owner_all);
  // The language of the messages users read follows the locale; tests read
  // the same words whatever the locale of the machine running them.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    variables_.emplace_back(name, std::nullopt);
  }
}

IsolatedEnv::~IsolatedEnv() {
  variables_.clear();
  std::error_code ignored;
  if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

}  // namespace tobric::platform
