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

LoggingFixture::LoggingFixture() : folder_(env_.root() + "/program") {
  std::filesystem::create_directories(folder_);
}

void LoggingFixture::WriteSettings(const std::string& text) const {
  corvane::testsupport::WriteFile(settings_path(), text);
}

LoggingOptions LoggingFixture::Options() {
  LoggingOptions options = lorvane::testing::TestLoggingOptions(folder_);
  options.tick_count = &FakeTicks::Now;
  options.system_output = output_.AsOutput();
  return options;
}

std::string Utf16LeBytes(const std::string& utf8) {
  // The log window's message without its u32 length.
  return lorvane::testing::PipeMessage(Utf8ToUtf16(utf8)).substr(4);
}

}  // namespace tobric::testing
