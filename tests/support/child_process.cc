#include "tests/support/child_process.h"

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tobric::platform {

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Wait();
  }
  for (int* fd : {&to_parent_[0], &to_parent_[1], &to_child_[0], &to_child_[1]}) {
    if (*fd >= 0) close(*fd);
  }
}

bool ChildProcess::Start(const std::function<int(ChildProcess&)>& body, unsigned limit_s) {
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

bool ChildProcess::Send(char byte) {
  return write(in_child_ ? to_parent_[1] : to_child_[1], &byte, 1) == 1;
}

bool ChildProcess::Receive(char* byte) {
  const int fd = in_child_ ? to_child_[0] : to_parent_[0];
  ssize_t got;
  do {
    got = read(fd, byte, 1);
  } while (got < 0 && errno == EINTR);
  return got == 1;
}

int ChildProcess::Wait() {
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

bool CanRunAsOtherUser() { return geteuid() == 0; }

bool SetModeForTest(const std::string& path, unsigned mode) {
  return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

int RunAsOtherUser(const std::function<int()>& body, unsigned limit_s) {
  ChildProcess child;
  if (!child.Start(
          [&body](ChildProcess&) {
            if (setgid(kNobodyId) != 0 || setuid(kNobodyId) != 0) return 100;
            return body();
          },
          limit_s)) {
    return -1;
  }
  return child.Wait();
}

}  // namespace tobric::platform
