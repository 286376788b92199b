// For end-to-end tests and benchmarks: runs a real program (corvaned, corvane,
// nginx) as a child process with an environment of the test's choosing, its
// standard output and error captured, optionally a pipe on its standard input,
// and every wait bounded.
//
// The child is started with fork and execve: everything the child touches
// between the two (argument and environment arrays, descriptors) is prepared
// before the fork, so only async-signal-safe calls run in a child forked from a
// process with threads. Its signal mask is emptied and SIGPIPE given back its
// default action, so a program that relies on signals (corvaned stops on
// SIGTERM) behaves as it does when a shell starts it.
//
// The child is reaped with wait4, so that benchmarks can compare what programs
// cost: its CPU time, its peak resident memory and the wall time from the fork
// to its end (resource_usage).
//
// Threads: one reader thread collects both output streams; one reaper thread
// waits for the end of the process. mutex_ guards the collected output, the
// end-of-stream flags, the exit status and the resource usage; changed_ wakes
// waiters whenever one of them moves. The test's thread calls every public
// method.
#ifndef TESTS_SUPPORT_CHILD_PROGRAM_H_
#define TESTS_SUPPORT_CHILD_PROGRAM_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"

namespace tobric::platform {

struct ChildProgramOptions {
  // argv[0] is the program file (a full path).
  std::vector<std::string> argv;
  // Variables set (a value) or removed (nullopt) on top of this process's
  // environment as it is at Start.
  std::vector<std::pair<std::string, std::optional<std::string>>> environment;
  // A pipe on standard input (WriteInput, CloseInput); otherwise /dev/null.
  bool pipe_input = false;
};

// What an ended child used. The CPU times and the peak come from the kernel's
// accounting of the child (wait4), which includes the children it reaped
// itself; the wall time is measured here, from just before the fork to the
// moment the end was seen, so it includes the exec and the program's start.
struct ChildResourceUsage {
  std::chrono::nanoseconds wall{0};
  std::chrono::nanoseconds user_cpu{0};
  std::chrono::nanoseconds system_cpu{0};
  // ru_maxrss: the largest resident set of the process, in KiB.
  uint64_t peak_rss_kib = 0;
};

class ChildProgram {
 public:
  enum class StopSignal { kTerminate, kKill };

  ChildProgram() = default;
  // A child still running is killed; both threads are joined.
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  // Starts the program; false with *error set when it cannot be run (the
  // exec's failure is reported here, not as an exit status).
  bool Start(const ChildProgramOptions& options, std::string* error);

  [[nodiscard]] int32_t pid() const { return pid_; }

  // Writes to the child's standard input (pipe_input); false when it is gone.
  bool WriteInput(std::string_view text);
  void CloseInput();

  // What the child wrote so far to standard output and to standard error.
  [[nodiscard]] std::string Output() const;
  [[nodiscard]] std::string Errors() const;

  // Waits until done(standard output so far) holds; false when the limit
  // passes first or the output ends without it.
  bool WaitForOutput(const std::function<bool(const std::string&)>& done,
                     std::chrono::milliseconds limit);
  // Waits until the process has ended and its output has been read to the end
  // (or the limit passes). True when it ended.
  bool WaitForExit(std::chrono::milliseconds limit);
  [[nodiscard]] bool exited() const;
  // The exit status, or 128 + the signal that ended it; -1 while it runs.
  [[nodiscard]] int exit_code() const;
  // What the child used; nullopt while it runs.
  [[nodiscard]] std::optional<ChildResourceUsage> resource_usage() const;

  // Sends the signal unless the process has already been reaped (its pid could
  // then belong to somebody else). False when it was not sent.
  bool Signal(StopSignal which);

 private:
  void Reap();
  void ReadOutput();

  int32_t pid_ = -1;
  std::chrono::steady_clock::time_point started_;
  int input_ = -1;
  int out_ = -1;
  int err_ = -1;
  int wake_[2] = {-1, -1};
  std::thread reaper_;
  std::thread reader_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_text_;
  std::string err_text_;
  bool out_ended_ = false;
  bool err_ended_ = false;
  bool reaped_ = false;
  int exit_code_ = -1;
  ChildResourceUsage usage_;
};

// The resident memory of a process (VmRSS of /proc/<pid>/status) in KiB; 0
// when it cannot be read.
[[nodiscard]] uint64_t ResidentKiB(int32_t pid);

}  // namespace tobric::platform

#endif  // TESTS_SUPPORT_CHILD_PROGRAM_H_
