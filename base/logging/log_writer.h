// Destinations of log lines: the LogWriter interface every writer implements,
// the entry it receives, and the standard-error writer.
#ifndef BASE_LOGGING_LOG_WRITER_H_
#define BASE_LOGGING_LOG_WRITER_H_

#include <cstdint>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tobric {

// Where the logger's own "LOG_SYSTEM:" texts and the standard-error writer's
// lines go: standard error, unless a test captures them.
using SystemOutput = std::function<void(std::string_view text)>;

// Writes text to standard error, unbuffered and whole.
void WriteToStandardError(std::string_view text);

// Longest LOG_SYSTEM text, in bytes: longer ones are cut, as the fixed buffers the
// texts were first formatted into cut them.
inline constexpr size_t kMaxSystemTextLength = 1026;

// printf into a string of at most kMaxSystemTextLength bytes.
[[nodiscard]] std::string FormatSystemText(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// One message as writers receive it. The views live for the OutputMessage call.
struct LogEntry {
  int32_t category;
  int32_t level;
  std::string_view prefix;
  std::string_view text;
};

// A destination of log lines. The logger calls OutputMessage under its lock, so a
// writer is called by one thread at a time for output; WantsAllMessages and
// IsCatLevelEnabled may be asked by any thread at any time and must be cheap and
// thread-safe. In this base every operation does nothing or answers false.
class LogWriter {
 public:
  // Closes what the writer holds.
  virtual void Cleanup() {}
  virtual ~LogWriter() = default;
  // The writer still wants messages while the EnableLogging setting is off.
  virtual bool WantsAllMessages() { return false; }
  // Bit c set: the writer's own filter may accept some message of category c.
  // The logger asks IsCatLevelEnabled only about those categories, so that a
  // statement nobody wants touches no writer. Every category unless a writer
  // says otherwise. The answer must not change while the writer is added to a
  // logger, unless the logger is told of each change (as it is by the trace
  // writer it makes).
  virtual uint32_t CategoriesAsked() { return 0xFFFFFFFF; }
  // The writer's own filter, asked when the category table does not pass a message.
  virtual bool IsCatLevelEnabled(int32_t category, int32_t level) {
    static_cast<void>(category);
    static_cast<void>(level);
    return false;
  }
  virtual void OutputMessage(const LogEntry& entry) { static_cast<void>(entry); }
};

// Writes "<prefix><text>\n" to standard error (or to the output it is given).
// Owned by the logger, which makes it when the LogToOutputDebug setting asks, and
// called under the logger's lock; it keeps no state of its own.
class StderrLogWriter : public LogWriter {
 public:
  explicit StderrLogWriter(SystemOutput output);
  // No filter of its own: only the level table sends it messages.
  uint32_t CategoriesAsked() override { return 0; }
  void OutputMessage(const LogEntry& entry) override;

 private:
  SystemOutput output_;
};

}  // namespace tobric

#endif  // BASE_LOGGING_LOG_WRITER_H_
