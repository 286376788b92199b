// For the console's tests: a pipe whose read end a thread drains into a string
// that tests read once it is closed, and a pipe fed with typed lines.
#ifndef TESTS_SUPPORT_CONSOLE_PIPES_H_
#define TESTS_SUPPORT_CONSOLE_PIPES_H_

#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "base/platform/console_host.h"

namespace lorvane::testing {

// A pipe whose write end a console prints to and whose read end a thread
// collects. Close() closes the write end and waits for everything to arrive.
class OutputCapture {
 public:
  OutputCapture();
  ~OutputCapture() { Close(); }

  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] int write_fd() const { return pipe_.write_fd; }
  void Close();
  [[nodiscard]] std::string Text() const;

 private:
  tobric::platform::PipeEnds pipe_;
  bool ok_ = false;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::string text_;  // guarded by mutex_
};

// A pipe standing for the keyboard: Type writes lines, End closes the write
// end so that the reader sees the end of its input.
class InputFeed {
 public:
  InputFeed();
  ~InputFeed();
  InputFeed(const InputFeed&) = delete;
  InputFeed& operator=(const InputFeed&) = delete;

  [[nodiscard]] int read_fd() const { return pipe_.read_fd; }
  [[nodiscard]] bool Type(std::string_view text);
  void End();

 private:
  tobric::platform::PipeEnds pipe_;
};

// Text as the log window's pipe carries it: u32 LE byte count, UTF-16LE.
[[nodiscard]] std::string PipeMessage(std::u16string_view text);

}  // namespace lorvane::testing

#endif  // TESTS_SUPPORT_CONSOLE_PIPES_H_
