// For the logging tests: an isolated folder with a settings file, a writer that
// records what it receives (log_capture.h), a captured LOG_SYSTEM output and a
// hand-moved clock.
#ifndef TESTS_SUPPORT_LOGGING_FIXTURE_H_
#define TESTS_SUPPORT_LOGGING_FIXTURE_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/logging/logging.h"
#include "tests/support/isolated_env.h"
#include "tests/support/log_capture.h"

namespace tobric::testing {

// A millisecond clock that moves only when told to.
class FakeTicks {
 public:
  static uint32_t Now() { return ticks_.load(); }
  static void Advance(uint32_t ms) { ticks_ += ms; }

 private:
  static std::atomic<uint32_t> ticks_;
};

// Collects texts handed to a SystemOutput.
class CapturedOutput {
 public:
  SystemOutput AsOutput();
  [[nodiscard]] std::vector<std::string> texts() const;
  [[nodiscard]] std::string joined() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
};

using lorvane::testing::RecordingWriter;

// A per-test folder and environment, with the program's stand-in files in
// folder(): "tester.ini", "tester.log".
class LoggingFixture {
 public:
  LoggingFixture();

  [[nodiscard]] const std::string& folder() const { return folder_; }
  [[nodiscard]] std::string settings_path() const { return folder_ + "/tester.ini"; }
  [[nodiscard]] std::string log_path() const { return folder_ + "/tester.log"; }
  void WriteSettings(const std::string& text) const;

  // Options pointing at folder(), the fake clock and the captured output, 1 ms
  // between lock attempts, no trace registration.
  [[nodiscard]] LoggingOptions Options();

  CapturedOutput& output() { return output_; }

 private:
  platform::IsolatedEnv env_;
  std::string folder_;
  CapturedOutput output_;
};

// Little-endian UTF-16 bytes of UTF-8 text.
[[nodiscard]] std::string Utf16LeBytes(const std::string& utf8);

}  // namespace tobric::testing

#endif  // TESTS_SUPPORT_LOGGING_FIXTURE_H_
