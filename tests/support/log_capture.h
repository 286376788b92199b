// For tests: a log writer that records the text of every message it gets and
// lets the test wait for one, and LogCapture, a logger of the test's own,
// installed as the one TLOG writes to, whose only writer is such a recorder.
//
// Declare a LogCapture before anything that logs from other threads (work
// pools, timers) and let those go first: it uninstalls the logger when it ends.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/logging/log_writer.h"
#include "base/logging/logging.h"

namespace lorvane::testing {

// Options of a logger whose files are in `folder`, its program "tester" with
// "tester.ini" and "tester.log" (no settings file when `folder` is empty), 1 ms
// between lock attempts.
[[nodiscard]] tobric::LoggingOptions TestLoggingOptions(const std::string& folder);

// Records every message; its own filter and WantsAllMessages answer as set.
class RecordingWriter : public tobric::LogWriter {
 public:
  RecordingWriter() = default;
  explicit RecordingWriter(std::function<bool(int32_t, int32_t)> filter)
      : filter_(std::move(filter)) {}

  bool WantsAllMessages() override { return wants_all_; }
  bool IsCatLevelEnabled(int32_t category, int32_t level) override {
    return filter_ && filter_(category, level);
  }
  void OutputMessage(const tobric::LogEntry& entry) override;

  void set_wants_all(bool wants_all) { wants_all_ = wants_all; }
  // Runs inside OutputMessage, after recording (a writer that logs, say).
  void set_on_output(std::function<void()> on_output) { on_output_ = std::move(on_output); }

  [[nodiscard]] std::vector<std::string> texts() const;
  // Lines that contain `text`.
  [[nodiscard]] size_t Count(std::string_view text) const;
  // Whether a line is exactly `line`.
  [[nodiscard]] bool Contains(std::string_view line) const;
  void Clear();
  // Waits until `count` lines contain `text`; false when timeout_ms passed first.
  [[nodiscard]] bool WaitFor(std::string_view text, size_t count, uint32_t timeout_ms) const;

 private:
  [[nodiscard]] size_t CountLocked(std::string_view text) const;

  std::function<bool(int32_t, int32_t)> filter_;
  std::atomic<bool> wants_all_{false};
  std::function<void()> on_output_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> texts_;  // guarded by mutex_
};

class LogCapture : public RecordingWriter {
 public:
  // `folder` holds the logger's (absent) settings file; none when empty.
  explicit LogCapture(const std::string& folder = "");
  ~LogCapture() override;

  [[nodiscard]] std::vector<std::string> Lines() const { return texts(); }

 private:
  tobric::Logging logger_;
  tobric::Logging* previous_ = nullptr;
};

}  // namespace lorvane::testing

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
