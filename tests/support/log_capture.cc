#include "tests/support/log_capture.h"

#include <algorithm>
#include <chrono>

namespace lorvane::testing {

tobric::LoggingOptions TestLoggingOptions(const std::string& folder) {
  tobric::LoggingOptions options;
  if (!folder.empty()) options.settings_path = folder + "/tester.ini";
  options.module_folder = folder;
  options.module_name = "tester";
  options.default_log_file = "tester.log";
  options.lock_retry_sleep_ms = 1;
  return options;
}

void RecordingWriter::OutputMessage(const tobric::LogEntry& entry) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    texts_.emplace_back(entry.text);
    changed_.notify_all();
  }
  if (on_output_) on_output_();
}

std::vector<std::string> RecordingWriter::texts() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return texts_;
}

size_t RecordingWriter::Count(std::string_view text) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return CountLocked(text);
}

bool RecordingWriter::Contains(std::string_view line) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return std::find(texts_.begin(), texts_.end(), line) != texts_.end();
}

void RecordingWriter::Clear() {
  std::lock_guard<std::mutex> hold(mutex_);
  texts_.clear();
}

bool RecordingWriter::WaitFor(std::string_view text, size_t count, uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                           [&] { return CountLocked(text) >= count; });
}

size_t RecordingWriter::CountLocked(std::string_view text) const {
  return static_cast<size_t>(std::count_if(texts_.begin(), texts_.end(), [&](const auto& line) {
    return line.find(text) != std::string::npos;
  }));
}

LogCapture::LogCapture(const std::string& folder)
    : RecordingWriter([](int32_t, int32_t) { return true; }), logger_([&] {
        tobric::LoggingOptions options = TestLoggingOptions(folder);
        options.system_output = [](std::string_view) {};
        return options;
      }()) {
  set_wants_all(true);
  previous_ = tobric::Logging::SetCurrentForTesting(&logger_);
  logger_.AddLogWriter(this);
}

LogCapture::~LogCapture() {
  tobric::Logging::SetCurrentForTesting(previous_);
  logger_.RemoveLogWriter(this);
}

}  // namespace lorvane::testing
