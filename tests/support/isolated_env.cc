#include "tests/support/isolated_env.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

namespace corvane::testsupport {

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = getenv(name_.c_str()); old != nullptr) old_ = old;
  if (value.has_value()) {
    setenv(name_.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_.has_value()) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

}  // namespace corvane::testsupport

namespace tobric::platform {

IsolatedEnv::IsolatedEnv() {
  // mkdtemp replaces the six trailing characters.
  std::string pattern =
      std::filesystem::temp_directory_path().string() + "/tobric-test-" + std::string(6, 'X');
  if (mkdtemp(pattern.data()) != nullptr) root_ = pattern;
  for (const char* sub : {"home", "data", "config", "run", "tmp", "machine", "machine-config"}) {
    std::filesystem::create_directories(root_ + "/" + sub);
  }
  chmod((root_ + "/run").c_str(), 0700);
  for (const auto& [name, sub] : {std::pair{"HOME", "home"},
                                  {"XDG_DATA_HOME", "data"},
                                  {"XDG_CONFIG_HOME", "config"},
                                  {"XDG_RUNTIME_DIR", "run"},
                                  {"TMPDIR", "tmp"},
                                  {"TOBRIC_MACHINE_OBJECT_DIR", "machine"},
                                  {"TOBRIC_MACHINE_CONFIG_DIR", "machine-config"}}) {
    variables_.emplace_back(name, root_ + "/" + sub);
  }
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
