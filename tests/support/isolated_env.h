// For tests: a fresh folder per test that stands in for every per-user location
// (HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_RUNTIME_DIR, TMPDIR) and for the
// machine-wide object folder, so that named objects of tests running in
// parallel never meet. Removed with everything in it when the object ends, and
// the variables get their old values back.
// Header-only so that test programs of any folder can use it.
#ifndef BASE_PLATFORM_ISOLATED_ENV_TESTUTIL_H_
#define BASE_PLATFORM_ISOLATED_ENV_TESTUTIL_H_

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace tobric::platform {

class IsolatedEnv {
 public:
  IsolatedEnv() {
    for (const char* name : kVariables) {
      const char* value = getenv(name);
      saved_.emplace_back(value != nullptr, value != nullptr ? value : "");
    }
    // mkdtemp replaces the six trailing characters.
    std::string pattern =
        std::filesystem::temp_directory_path().string() + "/tobric-test-" + std::string(6, 'X');
    if (mkdtemp(pattern.data()) != nullptr) root_ = pattern;
    for (const char* sub : {"home", "data", "config", "run", "tmp", "machine"}) {
      std::filesystem::create_directories(root_ + "/" + sub);
    }
    chmod((root_ + "/run").c_str(), 0700);
    setenv("HOME", (root_ + "/home").c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
    setenv("TMPDIR", (root_ + "/tmp").c_str(), 1);
    setenv("TOBRIC_MACHINE_OBJECT_DIR", (root_ + "/machine").c_str(), 1);
  }
  ~IsolatedEnv() {
    for (size_t i = 0; i < std::size(kVariables); ++i) {
      if (saved_[i].first) {
        setenv(kVariables[i], saved_[i].second.c_str(), 1);
      } else {
        unsetenv(kVariables[i]);
      }
    }
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  IsolatedEnv(const IsolatedEnv&) = delete;
  IsolatedEnv& operator=(const IsolatedEnv&) = delete;

  [[nodiscard]] const std::string& root() const { return root_; }
  [[nodiscard]] std::string machine_folder() const { return root_ + "/machine"; }

 private:
  static constexpr const char* kVariables[] = {"HOME",
                                               "XDG_DATA_HOME",
                                               "XDG_CONFIG_HOME",
                                               "XDG_RUNTIME_DIR",
                                               "TMPDIR",
                                               "TOBRIC_MACHINE_OBJECT_DIR"};
  std::string root_;
  std::vector<std::pair<bool, std::string>> saved_;  // set?, value; restored at the end
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_ISOLATED_ENV_TESTUTIL_H_
