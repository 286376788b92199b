#include "base/platform/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/platform/error.h"

namespace tobric::platform {

namespace {

// The descriptor numbers a child may have open, for closing them one by one on
// kernels without close_range.
int DescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > 65536) {
    return 65536;
  }
  return static_cast<int>(limit.rlim_cur);
}

// A descriptor of at least 3, so that putting /dev/null on the standard streams
// in the child cannot overwrite it. Closes fd when it had to be moved.
int AboveStandardStreams(int fd) {
  if (fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

// Everything below runs in a child of a process that may have other threads:
// their locks were copied in whatever state they were, so only
// async-signal-safe calls are allowed until exec.
[[noreturn]] void ReportAndExit(int status_fd, int err) {
  ssize_t ignored;
  do {
    ignored = write(status_fd, &err, sizeof(err));
  } while (ignored < 0 && errno == EINTR);
  _exit(127);
}

[[noreturn]] void RunDetached(const char* path, char* const* argv, int status_fd,
                              int descriptor_limit, const sigset_t* empty_mask) {
  // A new session has no controlling terminal, so the terminal's Ctrl-C and
  // hang-up never reach the program.
  if (setsid() < 0) ReportAndExit(status_fd, errno);
  const pid_t grandchild = fork();
  if (grandchild < 0) ReportAndExit(status_fd, errno);
  // The intermediate process ends at once: the program is then adopted by init
  // (or the nearest subreaper), never left as a zombie of the caller, and, not
  // being a session leader, can never acquire a terminal.
  if (grandchild > 0) _exit(0);

  // The folder the caller stood in might be unmounted while the program runs.
  if (chdir("/") != 0) ReportAndExit(status_fd, errno);
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) ReportAndExit(status_fd, errno);
  for (int fd = 0; fd <= 2; ++fd) {
    if (dup2(null_fd, fd) < 0) ReportAndExit(status_fd, errno);
  }
  if (null_fd > 2) close(null_fd);
  // Nothing of the caller (sockets, files, pipes) leaks into a process that may
  // live for weeks; the status pipe is already close-on-exec.
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < descriptor_limit; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  // exec resets caught signals but keeps ignored and blocked ones; the caller
  // (a shell job started with &) may have ignored SIGINT.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    sigaction(signal_number, &default_action, nullptr);
  }
  sigprocmask(SIG_SETMASK, empty_mask, nullptr);

  execv(path, argv);
  ReportAndExit(status_fd, errno);
}

}  // namespace

HRESULT SpawnDetached(const std::string& path, const std::vector<std::string>& args) {
  if (path.empty()) return E_INVALIDARG;
  // The program runs in "/", so a relative path is made absolute here.
  std::string full_path = path;
  if (path[0] != '/') {
    char folder[PATH_MAX];
    if (getcwd(folder, sizeof(folder)) == nullptr) return LastErrorHresult();
    full_path = std::string(folder) + "/" + path;
  }

  // Everything the child needs is made before the fork: it may not allocate.
  std::vector<std::string> words;
  words.reserve(args.size() + 1);
  words.push_back(full_path);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const int descriptor_limit = DescriptorLimit();
  sigset_t empty_mask;
  sigemptyset(&empty_mask);

  // The program's loader reports through this pipe: end-of-file means exec
  // succeeded (the write end is close-on-exec), an errno value means it failed.
  int status_pipe[2];
  if (pipe2(status_pipe, O_CLOEXEC) != 0) return LastErrorHresult();
  const int status_read = AboveStandardStreams(status_pipe[0]);
  const int status_write = AboveStandardStreams(status_pipe[1]);
  if (status_read < 0 || status_write < 0) {
    const HRESULT hr = LastErrorHresult();
    if (status_read >= 0) close(status_read);
    if (status_write >= 0) close(status_write);
    return hr;
  }

  const pid_t child = fork();
  if (child < 0) {
    const HRESULT hr = LastErrorHresult();
    close(status_read);
    close(status_write);
    return hr;
  }
  if (child == 0) {
    close(status_read);
    RunDetached(full_path.c_str(), argv.data(), status_write, descriptor_limit, &empty_mask);
  }
  close(status_write);

  int wait_status = 0;
  while (waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
  }
  int child_errno = 0;
  size_t received = 0;
  while (received < sizeof(child_errno)) {
    const ssize_t got = read(status_read, reinterpret_cast<char*>(&child_errno) + received,
                             sizeof(child_errno) - received);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    received += static_cast<size_t>(got);
  }
  close(status_read);
  if (received == sizeof(child_errno)) return HresultFromErrno(child_errno);
  return S_OK;
}

bool IsExecutableFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace tobric::platform
