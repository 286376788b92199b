// For tests: runs a function in a forked child process and talks to it over two
// pipes, every wait bounded. A child that has not ended within its limit is
// killed by SIGALRM, so a parent waiting for it never hangs, and reading from a
// dead child gives end-of-file rather than blocking. Header-only.
#ifndef BASE_PLATFORM_CHILD_PROCESS_TESTUTIL_H_
#define BASE_PLATFORM_CHILD_PROCESS_TESTUTIL_H_

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace tobric::platform {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    CloseAll();
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts body in a child that exits with body's result. The child never
  // returns into the test framework.
  bool Start(const std::function<int(ChildProcess&)>& body, unsigned limit_s = 20) {
    if (pipe(to_parent_) != 0 || pipe(to_child_) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      alarm(limit_s);
      close(to_parent_[0]);
      close(to_child_[1]);
      to_parent_[0] = to_child_[1] = -1;
      in_child_ = true;
      _exit(body(*this));
    }
    close(to_parent_[1]);
    close(to_child_[0]);
    to_parent_[1] = to_child_[0] = -1;
    return true;
  }

  // Sends one byte to the other side.
  bool Send(char byte) {
    const int fd = in_child_ ? to_parent_[1] : to_child_[1];
    return write(fd, &byte, 1) == 1;
  }
  // Receives one byte from the other side; false at end-of-file (it died).
  bool Receive(char* byte) {
    const int fd = in_child_ ? to_child_[0] : to_parent_[0];
    ssize_t got;
    do {
      got = read(fd, byte, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1;
  }

  // Waits for the child; its exit code, or 128 + the signal that ended it.
  int Wait() {
    int status = 0;
    pid_t done;
    do {
      done = waitpid(pid_, &status, 0);
    } while (done < 0 && errno == EINTR);
    pid_ = -1;
    if (done < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
  }

 private:
  void CloseAll() {
    for (int* fd : {&to_parent_[0], &to_parent_[1], &to_child_[0], &to_child_[1]}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }

  pid_t pid_ = -1;
  bool in_child_ = false;
  int to_parent_[2] = {-1, -1};
  int to_child_[2] = {-1, -1};
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_CHILD_PROCESS_TESTUTIL_H_
