// For the storage tests: a logger that records every line TLOG is given, a
// per-test folder for every per-user location, and small file helpers.
// Header-only so that any storage test program can use it.
#ifndef STORAGE_STORAGE_TESTUTIL_H_
#define STORAGE_STORAGE_TESTUTIL_H_

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/logging/log_writer.h"
#include "base/logging/logging.h"
#include "base/platform/isolated_env_testutil.h"

namespace lorvane::testing {

// Installs a logger of its own as the one TLOG writes to and records the text
// of every line; the previous logger comes back when it ends.
class RecordedLog {
 public:
  RecordedLog() : logging_(Options()) {
    logging_.AddLogWriter(&writer_);
    previous_ = tobric::Logging::SetCurrentForTesting(&logging_);
  }
  ~RecordedLog() {
    tobric::Logging::SetCurrentForTesting(previous_);
    logging_.RemoveLogWriter(&writer_);
  }
  RecordedLog(const RecordedLog&) = delete;
  RecordedLog& operator=(const RecordedLog&) = delete;

  [[nodiscard]] std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> hold(writer_.mutex);
    return writer_.lines;
  }
  // How many lines contain part.
  [[nodiscard]] size_t Count(std::string_view part) const {
    const std::vector<std::string> lines = Lines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find(part) != std::string::npos;
    }));
  }

 private:
  struct Writer : public tobric::LogWriter {
    bool WantsAllMessages() override { return true; }
    bool IsCatLevelEnabled(int32_t, int32_t) override { return true; }
    void OutputMessage(const tobric::LogEntry& entry) override {
      std::lock_guard<std::mutex> hold(mutex);
      lines.emplace_back(entry.text);
    }
    mutable std::mutex mutex;
    std::vector<std::string> lines;
  };

  static tobric::LoggingOptions Options() {
    tobric::LoggingOptions options;
    options.module_name = "tester";
    options.default_log_file = "tester.log";
    options.lock_retry_sleep_ms = 1;
    options.system_output = [](std::string_view) {};
    return options;
  }

  Writer writer_;
  tobric::Logging logging_;
  tobric::Logging* previous_ = nullptr;
};

inline void WriteFile(const std::string& path, std::string_view contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// storage/testdata/<name>, found from this header's own place in the tree.
inline std::string TestDataPath(const std::string& name) {
  return (std::filesystem::path(__FILE__).parent_path() / "testdata" / name).string();
}

}  // namespace lorvane::testing

#endif  // STORAGE_STORAGE_TESTUTIL_H_
