#include "base/platform/run_program.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "base/platform/error.h"

extern char** environ;

namespace tobric::platform {

namespace {

uint64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

std::vector<std::string> ChildEnvironment(const RunProgramOptions& options) {
  std::vector<std::string> merged;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& [override_name, value] : options.environment) {
      if (name == override_name) replaced = true;
    }
    if (!replaced) merged.emplace_back(text);
  }
  for (const auto& [name, value] : options.environment) {
    if (value.has_value()) merged.push_back(name + "=" + *value);
  }
  return merged;
}

// Owns the spawn attributes and file actions for one start.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

HRESULT RunProgram(const RunProgramOptions& options, RunProgramResult* result) {
  *result = RunProgramResult{};
  if (options.argv.empty()) return E_INVALIDARG;
  int pipe_fds[2] = {-1, -1};
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return HresultFromErrno(errno);

  SpawnSetup setup;
  posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&setup.actions, pipe_fds[1], 1);
  posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0);
  // Descriptors the daemon opened without close-on-exec (sockets of other
  // threads' transfers) must not live on in a helper that might outlast them.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
  // A group of its own, so that a helper killed for taking too long takes its
  // own children (a D-Bus launch, a script engine) with it.
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&setup.attributes, &empty);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                  POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> env_strings = ChildEnvironment(options);
  std::vector<char*> argv;
  for (const std::string& arg : options.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : env_strings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int spawn_error = posix_spawnp(&pid, argv[0], &setup.actions, &setup.attributes,
                                       argv.data(), envp.data());
  close(pipe_fds[1]);
  if (spawn_error != 0) {
    close(pipe_fds[0]);
    return HresultFromErrno(spawn_error);
  }

  const uint64_t deadline = NowMs() + options.timeout_ms;
  bool timed_out = false;
  bool open = true;
  char buffer[4096];
  while (open) {
    const uint64_t now = NowMs();
    if (now >= deadline) {
      timed_out = true;
      break;
    }
    pollfd entry{pipe_fds[0], POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(deadline - now));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t got = read(pipe_fds[0], buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      open = false;
      break;
    }
    const size_t room = options.max_output - std::min(options.max_output, result->output.size());
    result->output.append(buffer, std::min(room, static_cast<size_t>(got)));
  }
  close(pipe_fds[0]);

  // The output has ended; the program normally ends with it. One that lingers
  // (it closed its output early) gets the rest of the time.
  int status = 0;
  while (!timed_out) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return HresultFromErrno(errno);
    if (NowMs() >= deadline) {
      timed_out = true;
    } else {
      poll(nullptr, 0, 10);
    }
  }
  if (timed_out) {
    kill(-pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (timed_out) return HresultFromWin32(kErrorTimeout);
  result->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return S_OK;
}

}  // namespace tobric::platform
