#include "base/platform/testing/process_testutil_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tobric::platform::testutil {

int32_t SpawnProgram(const std::vector<std::string>& argv,
                     const std::vector<std::string>& environment, int input, int output, int errors,
                     std::string* error) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  const int streams[] = {input, output, errors};
  for (int fd = 0; fd < 3; ++fd) {
    if (streams[fd] >= 0) {
      posix_spawn_file_actions_adddup2(&actions, streams[fd], fd);
    } else {
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  sigset_t none, pipe_only;
  sigemptyset(&none);
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &pipe_only);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> args, env;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  for (const std::string& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
  args.push_back(nullptr);
  env.push_back(nullptr);
  pid_t pid = 0;
  const int result = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (result == 0) return pid;
  *error = argv[0] + ": " + strerror(result);
  return 0;
}

int32_t ForkAndRun(const std::function<int()>& body, unsigned limit_s) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(limit_s);
    _exit(body());
  }
  return pid;
}

void WaitUntilEnded(int32_t pid) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
}

ProcessEnd ReapProcess(int32_t pid) {
  int status = 0;
  rusage used{};
  pid_t done;
  do {
    done = wait4(pid, &status, 0, &used);
  } while (done < 0 && errno == EINTR);
  ProcessEnd end;
  if (done != pid) return end;
  end.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  end.user_cpu_us = used.ru_utime.tv_sec * 1000000 + used.ru_utime.tv_usec;
  end.system_cpu_us = used.ru_stime.tv_sec * 1000000 + used.ru_stime.tv_usec;
  end.peak_rss_kib = static_cast<uint64_t>(used.ru_maxrss);
  return end;
}

bool SignalProcess(int32_t pid, bool kill) { return ::kill(pid, kill ? SIGKILL : SIGTERM) == 0; }

bool SwitchUser(uint32_t id) { return setgid(id) == 0 && setuid(id) == 0; }

std::vector<std::string> EnvironmentStrings() {
  std::vector<std::string> strings;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    strings.emplace_back(*entry);
  }
  return strings;
}

void SetEnvironmentVariable(const std::string& name, const std::optional<std::string>& value) {
  if (value.has_value()) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

bool MountTmpfs(const std::string& folder, uint64_t size, std::string* error) {
  const std::string options = "size=" + std::to_string(size) + ",mode=0700";
  if (mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
    return true;
  }
  *error = std::string("mount of a tmpfs refused: ") + strerror(errno);
  return false;
}

void UnmountDetached(const std::string& folder) { umount2(folder.c_str(), MNT_DETACH); }

}  // namespace tobric::platform::testutil
