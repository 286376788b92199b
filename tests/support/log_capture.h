// For tests: a logger of the test's own, installed as the one TLOG writes to,
// whose only writer records every line and lets the test wait for one.
//
// Declare it before anything that logs from other threads (work pools, timers)
// and let those go first: it uninstalls the logger when it ends.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

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
  explicit LogCapture(const std::string& folder = "");
  ~LogCapture() override;

  bool WantsAllMessages() override { return true; }
  bool IsCatLevelEnabled(int32_t, int32_t) override { return true; }
  void OutputMessage(const tobric::LogEntry& entry) override;

  [[nodiscard]] std::vector<std::string> Lines() const;
  // Lines that contain `text`.
  [[nodiscard]] size_t Count(std::string_view text) const;
  // Whether a line is exactly `line`.
  [[nodiscard]] bool Contains(std::string_view line) const;
  void Clear();
  // Waits until `count` lines contain `text`; false when timeout_ms passed first.
  [[nodiscard]] bool WaitFor(std::string_view text, size_t count, uint32_t timeout_ms) const;

 private:
  [[nodiscard]] size_t CountLocked(std::string_view text) const;

  tobric::Logging logger_;
  tobric::Logging* previous_ = nullptr;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;  // guarded by mutex_
};

}  // namespace lorvane::testing

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
