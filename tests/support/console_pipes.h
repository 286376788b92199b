// For the console's tests: a pipe whose read end is drained by a thread into a
// string that tests wait on, a pipe fed with typed lines, and environment
// variables set for one test. Header-only (the console's test programs are
// built one per file).
#ifndef CONSOLE_CONSOLE_TESTUTIL_H_
#define CONSOLE_CONSOLE_TESTUTIL_H_

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/platform/console_host.h"

namespace lorvane::testing {

// A pipe whose write end a console prints to and whose read end a thread
// collects. Close() closes the write end and waits for everything to arrive.
class OutputCapture {
 public:
  OutputCapture() {
    ok_ = Succeeded(tobric::platform::CreatePipe(&pipe_));
    if (ok_) reader_ = std::thread([this] { Drain(); });
  }
  ~OutputCapture() { Close(); }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] int write_fd() const { return pipe_.write_fd; }

  void Close() {
    if (pipe_.write_fd != tobric::platform::kInvalidFd) {
      tobric::platform::CloseFd(pipe_.write_fd);
      pipe_.write_fd = tobric::platform::kInvalidFd;
    }
    if (reader_.joinable()) reader_.join();
    if (pipe_.read_fd != tobric::platform::kInvalidFd) {
      tobric::platform::CloseFd(pipe_.read_fd);
      pipe_.read_fd = tobric::platform::kInvalidFd;
    }
  }

  [[nodiscard]] std::string Text() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return text_;
  }

  // Waits until the text holds `part` at least `times` times.
  [[nodiscard]] bool WaitFor(std::string_view part, int times = 1,
                             std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, limit, [&] { return Count(text_, part) >= times; });
  }

  static int Count(std::string_view text, std::string_view part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string_view::npos;
         at = text.find(part, at + part.size())) {
      ++count;
    }
    return count;
  }

 private:
  void Drain() {
    char buffer[4096];
    for (;;) {
      size_t read = 0;
      if (Failed(tobric::platform::ReadFd(pipe_.read_fd, buffer, sizeof(buffer), &read)) ||
          read == 0) {
        break;
      }
      std::lock_guard<std::mutex> hold(mutex_);
      text_.append(buffer, read);
      changed_.notify_all();
    }
  }

  tobric::platform::PipeEnds pipe_;
  bool ok_ = false;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string text_;  // guarded by mutex_
};

// A pipe standing for the keyboard: Type writes lines, End closes the write
// end so that the reader sees the end of its input.
class InputFeed {
 public:
  InputFeed() { ok_ = Succeeded(tobric::platform::CreatePipe(&pipe_)); }
  ~InputFeed() {
    End();
    tobric::platform::CloseFd(pipe_.read_fd);
  }
  InputFeed(const InputFeed&) = delete;
  InputFeed& operator=(const InputFeed&) = delete;

  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] int read_fd() const { return pipe_.read_fd; }
  [[nodiscard]] int write_fd() const { return pipe_.write_fd; }

  [[nodiscard]] bool Type(std::string_view text) {
    return Succeeded(tobric::platform::WriteFdFully(pipe_.write_fd, text.data(), text.size()));
  }
  void End() {
    if (pipe_.write_fd != tobric::platform::kInvalidFd) {
      tobric::platform::CloseFd(pipe_.write_fd);
      pipe_.write_fd = tobric::platform::kInvalidFd;
    }
  }

 private:
  tobric::platform::PipeEnds pipe_;
  bool ok_ = false;
};

// Sets (or, with no value, removes) an environment variable for its scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    const char* old = std::getenv(name);
    if (old != nullptr) old_ = old;
    if (value.has_value()) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_.has_value()) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Text as the log window's pipe carries it: u32 LE byte count, UTF-16LE.
inline std::string PipeMessage(std::u16string_view text) {
  std::string message;
  const uint32_t bytes = static_cast<uint32_t>(text.size() * 2);
  for (int shift = 0; shift < 32; shift += 8) message.push_back(static_cast<char>(bytes >> shift));
  for (char16_t unit : text) {
    message.push_back(static_cast<char>(unit & 0xFF));
    message.push_back(static_cast<char>(unit >> 8));
  }
  return message;
}

}  // namespace lorvane::testing

#endif  // CONSOLE_CONSOLE_TESTUTIL_H_
