// For tests: runs a function in a forked child process and talks to it over two
// pipes, every wait bounded. A child that has not ended within its limit is
// killed by SIGALRM, so a parent waiting for it never hangs, and reading from a
// dead child gives end-of-file rather than blocking.
//
// Also what a test needs to act as another user (a peer that a per-user socket
// must refuse): only root can switch users; tests skip themselves elsewhere.
#ifndef TESTS_SUPPORT_CHILD_PROCESS_H_
#define TESTS_SUPPORT_CHILD_PROCESS_H_

#include <cstdint>
#include <functional>
#include <string>

#include "base/platform/console_host.h"

namespace tobric::platform {

class ChildProcess {
 public:
  ChildProcess() = default;
  // A child still running is killed and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts body in a child that exits with body's result. The child never
  // returns into the test framework.
  bool Start(const std::function<int(ChildProcess&)>& body, unsigned limit_s = 20);
  // Sends one byte to the other side.
  bool Send(char byte);
  // Receives one byte from the other side; false at end-of-file (it died).
  bool Receive(char* byte);
  // Waits for the child; its exit code, or 128 + the signal that ended it.
  int Wait();

 private:
  int pid_ = -1;
  bool in_child_ = false;
  PipeEnds to_parent_;
  PipeEnds to_child_;
};

// The unprivileged user "nobody", whose uid is also its gid.
inline constexpr uint32_t kNobodyId = 65534;

[[nodiscard]] bool CanRunAsOtherUser();
// Sets the mode of a file or folder, so that another user can reach a socket
// the test made (every folder on its way needs search permission).
bool SetModeForTest(const std::string& path, unsigned mode);
// Runs body in a child process as user and group kNobodyId; body's result,
// 100 when the switch failed, 128 + signal when the child died.
int RunAsOtherUser(const std::function<int()>& body, unsigned limit_s = 20);

}  // namespace tobric::platform

#endif  // TESTS_SUPPORT_CHILD_PROCESS_H_
