#include "tests/support/child_program.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace tobric::platform {

namespace {

[[noreturn]] void ReportExecFailure(int fd) {
  const int err = errno;
  [[maybe_unused]] const ssize_t ignored = write(fd, &err, sizeof(err));
  _exit(127);
}

std::vector<std::string> MergedEnvironment(
    const std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& change : changes) replaced = replaced || change.first == name;
    if (!replaced) result.emplace_back(text);
  }
  // The last change of a name wins: getenv would find the first entry.
  for (size_t i = 0; i < changes.size(); ++i) {
    bool overridden = false;
    for (size_t j = i + 1; j < changes.size(); ++j) {
      overridden = overridden || changes[j].first == changes[i].first;
    }
    if (!overridden && changes[i].second.has_value()) {
      result.push_back(changes[i].first + "=" + *changes[i].second);
    }
  }
  return result;
}

std::chrono::nanoseconds TimevalDuration(const timeval& value) {
  return std::chrono::seconds(value.tv_sec) + std::chrono::microseconds(value.tv_usec);
}

}  // namespace

ChildProgram::~ChildProgram() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (pid_ > 0 && !reaped_) kill(pid_, SIGKILL);
  }
  if (reaper_.joinable()) reaper_.join();
  if (reader_.joinable()) {
    // A grandchild that inherited the output pipes may keep them open after
    // the child has gone; the wake pipe ends the reader regardless.
    if (wake_[1] >= 0) {
      const char byte = 0;
      [[maybe_unused]] const ssize_t ignored = write(wake_[1], &byte, 1);
    }
    reader_.join();
  }
  for (int fd : {input_, out_, err_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
}

bool ChildProgram::Start(const ChildProgramOptions& options, std::string* error) {
  if (options.argv.empty()) {
    *error = "no program";
    return false;
  }
  std::vector<std::string> env_strings = MergedEnvironment(options.environment);
  std::vector<char*> argv_ptrs;
  for (const std::string& arg : options.argv) argv_ptrs.push_back(const_cast<char*>(arg.c_str()));
  argv_ptrs.push_back(nullptr);
  std::vector<char*> env_ptrs;
  for (std::string& entry : env_strings) env_ptrs.push_back(entry.data());
  env_ptrs.push_back(nullptr);

  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  int exec_pipe[2] = {-1, -1};
  const auto close_all = [&] {
    for (int* fd : {&in_pipe[0], &in_pipe[1], &out_pipe[0], &out_pipe[1], &err_pipe[0],
                    &err_pipe[1], &exec_pipe[0], &exec_pipe[1]}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  };
  const int null_fd = options.pipe_input ? -1 : open("/dev/null", O_RDONLY | O_CLOEXEC);
  if ((options.pipe_input ? pipe2(in_pipe, O_CLOEXEC) : (null_fd >= 0 ? 0 : -1)) != 0 ||
      pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 ||
      pipe2(exec_pipe, O_CLOEXEC) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    close_all();
    if (null_fd >= 0) close(null_fd);
    return false;
  }
  const int child_in = options.pipe_input ? in_pipe[0] : null_fd;

  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to the exec.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (dup2(child_in, 0) < 0 || dup2(out_pipe[1], 1) < 0 || dup2(err_pipe[1], 2) < 0) {
      ReportExecFailure(exec_pipe[1]);
    }
    execve(argv_ptrs[0], argv_ptrs.data(), env_ptrs.data());
    ReportExecFailure(exec_pipe[1]);
  }
  const int fork_errno = errno;
  if (null_fd >= 0) close(null_fd);
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(fork_errno);
    close_all();
    return false;
  }
  for (int* fd : {&in_pipe[0], &out_pipe[1], &err_pipe[1], &exec_pipe[1]}) {
    close(*fd);
    *fd = -1;
  }
  // The exec closes the write end (close-on-exec): end of file means it ran.
  int child_errno = 0;
  ssize_t got;
  do {
    got = read(exec_pipe[0], &child_errno, sizeof(child_errno));
  } while (got < 0 && errno == EINTR);
  close(exec_pipe[0]);

  pid_ = pid;
  started_ = started;
  input_ = in_pipe[1];
  out_ = out_pipe[0];
  err_ = err_pipe[0];
  reaper_ = std::thread([this] { Reap(); });
  reader_ = std::thread([this] { ReadOutput(); });
  if (got == static_cast<ssize_t>(sizeof(child_errno))) {
    *error = options.argv[0] + ": " + std::strerror(child_errno);
    static_cast<void>(WaitForExit(std::chrono::seconds(10)));
    return false;
  }
  return true;
}

bool ChildProgram::WriteInput(std::string_view text) {
  if (input_ < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    // MSG_NOSIGNAL exists only for sockets: a vanished reader must not end
    // the test with SIGPIPE, so the signal is blocked around the write and a
    // pending one is taken off again.
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    const ssize_t wrote = write(input_, text.data() + done, text.size() - done);
    const int write_errno = errno;
    if (wrote < 0 && write_errno == EPIPE) {
      const timespec zero = {0, 0};
      sigtimedwait(&pipe_only, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (wrote < 0) {
      if (write_errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  return true;
}

void ChildProgram::CloseInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

std::string ChildProgram::Output() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return out_text_;
}

std::string ChildProgram::Errors() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return err_text_;
}

bool ChildProgram::WaitForOutput(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait_for(hold, limit, [&] { return done(out_text_) || out_ended_; });
  return done(out_text_);
}

bool ChildProgram::WaitForExit(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait_for(hold, limit, [this] { return reaped_ && out_ended_ && err_ended_; });
  return reaped_;
}

bool ChildProgram::exited() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return reaped_;
}

int ChildProgram::exit_code() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return reaped_ ? exit_code_ : -1;
}

std::optional<ChildResourceUsage> ChildProgram::resource_usage() const {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!reaped_) return std::nullopt;
  return usage_;
}

bool ChildProgram::Signal(StopSignal which) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (pid_ <= 0 || reaped_) return false;
  return kill(pid_, which == StopSignal::kKill ? SIGKILL : SIGTERM) == 0;
}

void ChildProgram::Reap() {
  // WNOWAIT leaves the process a zombie, so its pid stays ours until the
  // status is taken under the lock that Signal holds.
  siginfo_t info;
  std::memset(&info, 0, sizeof(info));
  while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  const auto ended = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> hold(mutex_);
  int status = 0;
  rusage used;
  std::memset(&used, 0, sizeof(used));
  pid_t done;
  do {
    done = wait4(pid_, &status, 0, &used);
  } while (done < 0 && errno == EINTR);
  if (done == pid_) {
    usage_.wall = ended - started_;
    usage_.user_cpu = TimevalDuration(used.ru_utime);
    usage_.system_cpu = TimevalDuration(used.ru_stime);
    usage_.peak_rss_kib = static_cast<uint64_t>(used.ru_maxrss);
  }
  if (done == pid_ && WIFEXITED(status)) {
    exit_code_ = WEXITSTATUS(status);
  } else if (done == pid_ && WIFSIGNALED(status)) {
    exit_code_ = 128 + WTERMSIG(status);
  } else {
    exit_code_ = 255;
  }
  reaped_ = true;
  changed_.notify_all();
}

void ChildProgram::ReadOutput() {
  bool out_open = true;
  bool err_open = true;
  while (out_open || err_open) {
    pollfd fds[3] = {{out_open ? out_ : -1, POLLIN, 0},
                     {err_open ? err_ : -1, POLLIN, 0},
                     {wake_[0], POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents != 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR) continue;
      std::lock_guard<std::mutex> hold(mutex_);
      if (got <= 0) {
        (i == 0 ? out_open : err_open) = false;
        (i == 0 ? out_ended_ : err_ended_) = true;
      } else {
        (i == 0 ? out_text_ : err_text_).append(buffer, static_cast<size_t>(got));
      }
      changed_.notify_all();
    }
  }
  std::lock_guard<std::mutex> hold(mutex_);
  out_ended_ = err_ended_ = true;
  changed_.notify_all();
}

uint64_t ResidentKiB(int32_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

}  // namespace tobric::platform
