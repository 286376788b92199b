// For engine tests: a logger of the test's own, installed as the one TLOG writes
// to, whose only writer records every line and lets the test wait for one.
// Header-only, so that test programs of any engine folder can use it.
//
// Declare it before anything that logs from other threads (work pools, timers)
// and let those go first: it uninstalls the logger when it ends.
#ifndef DOWNLOAD_LOG_CAPTURE_TESTUTIL_H_
#define DOWNLOAD_LOG_CAPTURE_TESTUTIL_H_

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/logging/log_writer.h"
#include "base/logging/logging.h"

namespace lorvane::testing {

class LogCapture : public tobric::LogWriter {
 public:
  // `folder` holds the logger's (absent) settings file; none when empty.
  explicit LogCapture(const std::string& folder = "") : logger_(MakeOptions(folder)) {
    previous_ = tobric::Logging::SetCurrentForTesting(&logger_);
    logger_.AddLogWriter(this);
  }
  ~LogCapture() override {
    tobric::Logging::SetCurrentForTesting(previous_);
    logger_.RemoveLogWriter(this);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool WantsAllMessages() override { return true; }
  bool IsCatLevelEnabled(int32_t, int32_t) override { return true; }
  void OutputMessage(const tobric::LogEntry& entry) override {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      lines_.emplace_back(entry.text);
    }
    changed_.notify_all();
  }

  [[nodiscard]] std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }

  // Lines that contain `text`.
  [[nodiscard]] size_t Count(std::string_view text) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return CountLocked(text);
  }
  // Whether a line is exactly `line`.
  [[nodiscard]] bool Contains(std::string_view line) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.clear();
  }

  // Waits until `count` lines contain `text`; false when timeout_ms passed first.
  [[nodiscard]] bool WaitFor(std::string_view text, size_t count, uint32_t timeout_ms) const {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                             [&] { return CountLocked(text) >= count; });
  }

 private:
  static tobric::LoggingOptions MakeOptions(const std::string& folder) {
    tobric::LoggingOptions options;
    if (!folder.empty()) options.settings_path = folder + "/log-capture.ini";
    options.module_folder = folder;
    options.module_name = "tester";
    options.default_log_file = "log-capture.log";
    options.lock_retry_sleep_ms = 1;
    options.system_output = [](std::string_view) {};
    return options;
  }

  [[nodiscard]] size_t CountLocked(std::string_view text) const {
    size_t count = 0;
    for (const std::string& line : lines_) {
      if (line.find(text) != std::string::npos) ++count;
    }
    return count;
  }

  tobric::Logging logger_;
  tobric::Logging* previous_ = nullptr;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;  // guarded by mutex_
};

}  // namespace lorvane::testing

#endif  // DOWNLOAD_LOG_CAPTURE_TESTUTIL_H_
