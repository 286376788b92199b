// For end-to-end tests and benchmarks: runs a real program (corvaned, corvane,
// nginx) as a child process with an environment of the test's choosing, its
// standard output and error captured, optionally a pipe on its standard input,
// and every wait bounded. Its signal mask is emptied and SIGPIPE given back its
// default action, so a program that relies on signals (corvaned stops on
// SIGTERM) behaves as it does when a shell starts it.
//
// The child is reaped with its resource usage, so that benchmarks can compare
// what programs cost (resource_usage).
//
// Threads: two reader threads collect the output streams and a reaper thread
// waits for the end of the process. The test's thread calls every public
// method.
#ifndef TESTS_SUPPORT_CHILD_PROGRAM_H_
#define TESTS_SUPPORT_CHILD_PROGRAM_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tobric::platform {

struct ChildProgramOptions {
  // argv[0] is the program file (a full path).
  std::vector<std::string> argv;
  // Variables set (a value) or removed (nullopt) on top of this process's
  // environment as it is at Start; the last change of a name wins.
  std::vector<std::pair<std::string, std::optional<std::string>>> environment;
  // A pipe on standard input (WriteInput, CloseInput); otherwise /dev/null.
  bool pipe_input = false;
};

// What an ended child used. The CPU times and the peak come from the kernel's
// accounting of the child, which includes the children it reaped itself; the
// wall time is measured here, from just before the start to the moment the
// end was seen, so it includes the exec and the program's start.
struct ChildResourceUsage {
  std::chrono::nanoseconds wall{0};
  std::chrono::nanoseconds user_cpu{0};
  std::chrono::nanoseconds system_cpu{0};
  // The largest resident set of the process, in KiB.
  uint64_t peak_rss_kib = 0;
};

class ChildProgram {
 public:
  enum class StopSignal { kTerminate, kKill };

  ChildProgram();
  // A child still running is killed and reaped.
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
  [[nodiscard]] std::string Output() const { return Read(&State::output); }
  [[nodiscard]] std::string Errors() const { return Read(&State::errors); }

  // Waits until done(standard output so far) holds; false when the limit
  // passes first or the output ends without it.
  bool WaitForOutput(const std::function<bool(const std::string&)>& done,
                     std::chrono::milliseconds limit);
  // Waits until the process has ended and its output has been read to the end
  // (or the limit passes). True when it ended.
  bool WaitForExit(std::chrono::milliseconds limit);
  [[nodiscard]] bool exited() const { return Read(&State::reaped); }
  // The exit status, or 128 + the signal that ended it; -1 while it runs.
  [[nodiscard]] int exit_code() const { return Read(&State::exit_code); }
  // What the child used; nullopt while it runs.
  [[nodiscard]] std::optional<ChildResourceUsage> resource_usage() const {
    return Read(&State::usage);
  }

  // Sends the signal unless the process has already been reaped (its pid could
  // then belong to somebody else). False when it was not sent.
  bool Signal(StopSignal which);

 private:
  // Shared with the threads, which may outlive this object (a grandchild
  // that inherited the output pipes can keep them open after the child has
  // gone). Guarded by mutex; changed wakes the waiters whenever a field moves.
  struct State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::string output;
    std::string errors;
    int open_streams = 2;
    bool reaped = false;
    int exit_code = -1;                       // set once reaped
    std::optional<ChildResourceUsage> usage;  // set once reaped
  };
  template <typename T>
  T Read(T State::*field) const {
    std::lock_guard<std::mutex> hold(state_->mutex);
    return (*state_).*field;
  }

  int32_t pid_ = -1;
  int input_ = -1;
  std::shared_ptr<State> state_;
};

// The resident memory of a process (VmRSS of /proc/<pid>/status) in KiB; 0
// when it cannot be read.
[[nodiscard]] uint64_t ResidentKiB(int32_t pid);

}  // namespace tobric::platform

#endif  // TESTS_SUPPORT_CHILD_PROGRAM_H_
