// The operating-system calls behind the test helpers of tests/support: child
// processes started, signalled and reaped by id, the environment, a change of
// user, and a tmpfs mount. Thin wrappers only; what the helpers build on them
// stays in tests/support.
#ifndef BASE_PLATFORM_TESTING_PROCESS_TESTUTIL_POSIX_H_
#define BASE_PLATFORM_TESTING_PROCESS_TESTUTIL_POSIX_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tobric::platform::testutil {

// Starts argv[0] (a full path) with exactly `environment` ("NAME=value"), its
// standard streams on the given descriptors (-1: /dev/null), with an empty
// signal mask and SIGPIPE at its default, as a
// shell would start it. The process id, or 0 with *error set (an exec failure
// included).
[[nodiscard]] int32_t SpawnProgram(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& environment, int input,
                                   int output, int errors, std::string* error);

// Forks; the child runs body and exits with its result at once (no
// destructors, no return into the caller), killed by SIGALRM after limit_s.
// The child's id in the parent; -1 when the fork failed.
[[nodiscard]] int32_t ForkAndRun(const std::function<int()>& body, unsigned limit_s);

struct ProcessEnd {
  int exit_code = -1;  // or 128 + the signal that ended it
  int64_t user_cpu_us = 0;
  int64_t system_cpu_us = 0;
  uint64_t peak_rss_kib = 0;
};
// Blocks until the process has ended, leaving it a zombie so that its id
// cannot be handed to another process before ReapProcess.
void WaitUntilEnded(int32_t pid);
// Blocks until the process has ended and reaps it.
[[nodiscard]] ProcessEnd ReapProcess(int32_t pid);
// SIGKILL, else SIGTERM.
bool SignalProcess(int32_t pid, bool kill);

// setgid and setuid, for a forked child that must act as another user.
[[nodiscard]] bool SwitchUser(uint32_t id);

// This process's environment as "NAME=value" strings.
[[nodiscard]] std::vector<std::string> EnvironmentStrings();
// Sets (a value) or removes (nullopt) a variable of this process.
void SetEnvironmentVariable(const std::string& name, const std::optional<std::string>& value);

// Mounts a tmpfs of `size` bytes on the folder; false with *error set.
[[nodiscard]] bool MountTmpfs(const std::string& folder, uint64_t size, std::string* error);
// Detaches the mount (a descriptor left open does not keep it alive).
void UnmountDetached(const std::string& folder);

}  // namespace tobric::platform::testutil

#endif  // BASE_PLATFORM_TESTING_PROCESS_TESTUTIL_POSIX_H_
