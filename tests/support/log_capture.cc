#include "tests/support/log_capture.h"

#include <algorithm>
#include <chrono>

namespace lorvane::testing {

namespace {

tobric::LoggingOptions CaptureOptions(const std::string& folder) {
  tobric::LoggingOptions options;
  if (!folder.empty()) options.settings_path = folder + "/log-capture.ini";
  options.module_folder = folder;
  options.module_name = "tester";
  options.default_log_file = "log-capture.log";
  options.lock_retry_sleep_ms = 1;
  options.system_output = [](std::string_view) {};
  return options;
}

}  // namespace

LogCapture::LogCapture(const std::string& folder) : logger_(CaptureOptions(folder)) {
  previous_ = tobric::Logging::SetCurrentForTesting(&logger_);
  logger_.AddLogWriter(this);
}

LogCapture::~LogCapture() {
  tobric::Logging::SetCurrentForTesting(previous_);
  logger_.RemoveLogWriter(this);
}

void LogCapture::OutputMessage(const tobric::LogEntry& entry) {
  std::lock_guard<std::mutex> hold(mutex_);
  lines_.emplace_back(entry.text);
  changed_.notify_all();
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lines_;
}

size_t LogCapture::Count(std::string_view text) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return CountLocked(text);
}

bool LogCapture::Contains(std::string_view line) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> hold(mutex_);
  lines_.clear();
}

bool LogCapture::WaitFor(std::string_view text, size_t count, uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                           [&] { return CountLocked(text) >= count; });
}

size_t LogCapture::CountLocked(std::string_view text) const {
  return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const auto& line) {
    return line.find(text) != std::string::npos;
  }));
}

}  // namespace lorvane::testing
