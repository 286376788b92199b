// For tests: a fresh folder per test that stands in for every per-user location
// (HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_RUNTIME_DIR, TMPDIR) and for the
// machine-wide object and settings folders, so that named objects and settings
// of tests running in parallel never meet; no locale variables, so that
// messages are English. Removed with everything in it when the object ends, and
// the variables get their old values back. The environment is process-wide:
// make these before any thread that reads it.
#ifndef TESTS_SUPPORT_ISOLATED_ENV_H_
#define TESTS_SUPPORT_ISOLATED_ENV_H_

#include <deque>
#include <optional>
#include <string>

namespace corvane::testsupport {

// Sets (a value) or removes (nullopt) an environment variable for its scope.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace corvane::testsupport

namespace tobric::platform {

class IsolatedEnv {
 public:
  IsolatedEnv();
  ~IsolatedEnv();
  IsolatedEnv(const IsolatedEnv&) = delete;
  IsolatedEnv& operator=(const IsolatedEnv&) = delete;

  [[nodiscard]] const std::string& root() const { return root_; }
  [[nodiscard]] std::string machine_folder() const { return root_ + "/machine"; }

 private:
  std::string root_;
  std::deque<corvane::testsupport::ScopedEnv> variables_;
};

}  // namespace tobric::platform

#endif  // TESTS_SUPPORT_ISOLATED_ENV_H_
