#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "base/platform/console_host.h"
#include "base/platform/error.h"
#include "base/platform/process.h"

namespace tobric::platform {
namespace {

HRESULT ErrnoHresult(int err) { return err == EPIPE ? kBrokenPipe : HresultFromErrno(err); }

// Reaps pid when it has ended; true when it has.
bool TryReap(pid_t pid) {
  int status = 0;
  pid_t result;
  do {
    result = waitpid(pid, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  // ECHILD: somebody else reaped it, so it has ended all the same.
  return result == pid || (result < 0 && errno == ECHILD);
}

// Reaps pid if it ends within limit_ms. A child gives no descriptor to wait
// on, so its end is looked for in short steps.
bool WaitForEnd(pid_t pid, uint32_t limit_ms) {
  const uint32_t step_ms = 10;
  for (uint32_t waited = 0;; waited += step_ms) {
    if (TryReap(pid)) return true;
    if (waited >= limit_ms) return false;
    const struct timespec step = {0, static_cast<long>(step_ms) * 1000000L};
    nanosleep(&step, nullptr);
  }
}

static_assert(kAtomicPipeWriteBytes <= PIPE_BUF);

// SIGPIPE is held back on the calling thread while it lives, and a SIGPIPE a
// write raised meanwhile is taken off the thread before the signal is let
// through again: any thread that logs may write to the log window's pipe, and
// the service must not die because that window was closed.
class SigpipeHeld {
 public:
  SigpipeHeld() {
    sigemptyset(&pipe_set_);
    sigaddset(&pipe_set_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set_, &old_set_);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeHeld() {
    if (raised_ && !was_pending_) {
      const struct timespec no_wait = {0, 0};
      while (sigtimedwait(&pipe_set_, nullptr, &no_wait) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_set_, nullptr);
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

  // A write failed with EPIPE, which raised the signal.
  void Raised() { raised_ = true; }

 private:
  sigset_t pipe_set_;
  sigset_t old_set_;
  bool was_pending_ = false;
  bool raised_ = false;
};

void Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool IsOpenFd(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

bool IsTerminalFd(int fd) { return fd >= 0 && isatty(fd) == 1; }

HRESULT CreatePipe(PipeEnds* ends) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return ErrnoHresult(errno);
  ends->read_fd = fds[0];
  ends->write_fd = fds[1];
  return S_OK;
}

HRESULT ReadFd(int fd, void* buffer, size_t size, size_t* read) {
  *read = 0;
  ssize_t result;
  do {
    result = ::read(fd, buffer, size);
  } while (result < 0 && errno == EINTR);
  if (result < 0) return ErrnoHresult(errno);
  *read = static_cast<size_t>(result);
  return S_OK;
}

HRESULT ReadFdFully(int fd, void* buffer, size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    size_t read = 0;
    HRESULT hr = ReadFd(fd, bytes + done, size - done, &read);
    if (Failed(hr)) return hr;
    if (read == 0) return kBrokenPipe;
    done += read;
  }
  return S_OK;
}

HRESULT WriteFdFully(int fd, const void* data, size_t size) {
  SigpipeHeld held;
  const auto* bytes = static_cast<const unsigned char*>(data);
  size_t done = 0;
  while (done < size) {
    ssize_t written = ::write(fd, bytes + done, size - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      const HRESULT hr = ErrnoHresult(errno);
      if (hr == kBrokenPipe) held.Raised();
      return hr;
    }
    done += static_cast<size_t>(written);
  }
  return S_OK;
}

HRESULT SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return ErrnoHresult(errno);
  return S_OK;
}

HRESULT WritePipeMessage(int fd, const void* data, size_t size) {
  if (size > kAtomicPipeWriteBytes) return E_INVALIDARG;
  SigpipeHeld held;
  // Up to PIPE_BUF bytes, a pipe writes all or (non-blocking, without room)
  // nothing; EAGAIN therefore means that nothing of the message went out.
  ssize_t written;
  do {
    written = ::write(fd, data, size);
  } while (written < 0 && errno == EINTR);
  if (written < 0) {
    if (errno == EAGAIN) return kWouldBlock;
    const HRESULT hr = ErrnoHresult(errno);
    if (hr == kBrokenPipe) held.Raised();
    return hr;
  }
  if (static_cast<size_t>(written) == size) return S_OK;
  // Only a descriptor that is not a pipe writes part of a short message; the
  // rest follows, so that the stream stays whole.
  return WriteFdFully(fd, static_cast<const unsigned char*>(data) + written,
                      size - static_cast<size_t>(written));
}

void CloseFd(int fd) {
  // Linux releases the descriptor even when close is interrupted, so it is
  // never retried: the number may already belong to someone else.
  if (fd >= 0) ::close(fd);
}

std::string FindProgramOnPath(const std::string& name) {
  if (name.empty()) return std::string();
  if (name.find('/') != std::string::npos) {
    return access(name.c_str(), X_OK) == 0 ? name : std::string();
  }
  const std::string path = GetEnv("PATH");
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find(':', begin);
    if (end == std::string::npos) end = path.size();
    // An empty entry stands for the current folder, as in the shell.
    std::string folder = end > begin ? path.substr(begin, end - begin) : ".";
    std::string candidate = folder + "/" + name;
    struct stat info;
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    begin = end + 1;
  }
  return std::string();
}

HRESULT SpawnWithInheritedFd(const std::vector<std::string>& argv, int inherited_fd,
                             SpawnedProcess* process) {
  process->pid = 0;
  if (argv.empty() || argv[0].empty()) return E_INVALIDARG;

  // Everything the child touches is made before fork: between fork and exec a
  // child of a threaded process may only make async-signal-safe calls.
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  // The child reports a failed exec through this pipe; its end closes on a
  // successful exec, so the parent reads nothing then.
  int status_pipe[2];
  if (pipe2(status_pipe, O_CLOEXEC) != 0) return ErrnoHresult(errno);
  // The child's standard streams: it has a window of its own, and must neither
  // read the service's keyboard nor print on the service's terminal.
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) {
    int err = errno;
    ::close(status_pipe[0]);
    ::close(status_pipe[1]);
    return ErrnoHresult(err);
  }

  pid_t pid = fork();
  if (pid < 0) {
    int err = errno;
    ::close(status_pipe[0]);
    ::close(status_pipe[1]);
    ::close(null_fd);
    return ErrnoHresult(err);
  }
  if (pid == 0) {
    ::close(status_pipe[0]);
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction default_action;
    std::memset(&default_action, 0, sizeof(default_action));
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &default_action, nullptr);
    for (int standard_fd = 0; standard_fd <= 2; ++standard_fd) {
      if (standard_fd != inherited_fd) dup2(null_fd, standard_fd);
    }
    int err = 0;
    if (inherited_fd >= 0) {
      int flags = fcntl(inherited_fd, F_GETFD);
      if (flags < 0 || fcntl(inherited_fd, F_SETFD, flags & ~FD_CLOEXEC) != 0) err = errno;
    }
    if (err == 0) {
      execv(args[0], args.data());
      err = errno;
    }
    ssize_t ignored = ::write(status_pipe[1], &err, sizeof(err));
    static_cast<void>(ignored);
    _exit(127);
  }

  ::close(status_pipe[1]);
  ::close(null_fd);
  int child_error = 0;
  HRESULT hr = ReadFdFully(status_pipe[0], &child_error, sizeof(child_error));
  ::close(status_pipe[0]);
  if (Succeeded(hr) && child_error != 0) {
    Reap(pid);
    return ErrnoHresult(child_error);
  }
  process->pid = pid;
  return S_OK;
}

void EndProcess(SpawnedProcess* process, uint32_t grace_ms) {
  if (process->pid <= 0) return;
  const pid_t pid = process->pid;
  process->pid = 0;
  if (WaitForEnd(pid, grace_ms)) return;
  kill(pid, SIGTERM);
  if (WaitForEnd(pid, grace_ms)) return;
  kill(pid, SIGKILL);
  Reap(pid);
}

void ExitProcessNow(int exit_code) {
  fflush(nullptr);
  _exit(exit_code);
}

}  // namespace tobric::platform
