#include "tests/support/logging_fixture.h"

#include <filesystem>

#include "base/utf.h"
#include "tests/support/console_pipes.h"
#include "tests/support/files.h"

namespace tobric::testing {

std::atomic<uint32_t> FakeTicks::ticks_{1000};

SystemOutput CapturedOutput::AsOutput() {
  return [this](std::string_view text) {
    std::lock_guard<std::mutex> hold(mutex_);
    texts_.emplace_back(text);
  };
}

std::vector<std::string> CapturedOutput::texts() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return texts_;
}

std::string CapturedOutput::joined() const {
  std::string all;
  for (const std::string& text : texts()) all += text;
  return all;
}

void RecordingWriter::OutputMessage(const LogEntry& entry) {
  std::unique_lock<std::mutex> hold(mutex_);
  entries_.push_back(RecordedEntry{entry.category, entry.level, std::string(entry.prefix),
                                   std::string(entry.text)});
  hold.unlock();
  if (on_output_) on_output_();
}

std::vector<RecordedEntry> RecordingWriter::entries() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return entries_;
}

std::vector<std::string> RecordingWriter::texts() const {
  std::vector<std::string> texts;
  for (const RecordedEntry& entry : entries()) texts.push_back(entry.text);
  return texts;
}

LoggingFixture::LoggingFixture() : folder_(env_.root() + "/program") {
  std::filesystem::create_directories(folder_);
}

void LoggingFixture::WriteSettings(const std::string& text) const {
  corvane::testsupport::WriteFile(settings_path(), text);
}

LoggingOptions LoggingFixture::Options() {
  LoggingOptions options;
  options.settings_path = settings_path();
  options.module_folder = folder_;
  options.module_name = "tester";
  options.default_log_file = "tester.log";
  options.lock_retry_sleep_ms = 1;
  options.tick_count = &FakeTicks::Now;
  options.system_output = output_.AsOutput();
  return options;
}

std::string Utf16LeBytes(const std::string& utf8) {
  // The log window's message without its u32 length.
  return lorvane::testing::PipeMessage(Utf8ToUtf16(utf8)).substr(4);
}

}  // namespace tobric::testing
