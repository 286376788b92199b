#include "base/platform/process.h"

#include <limits.h>
#include <stdlib.h>
#include <malloc.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/platform/files.h"
#include "base/result_codes.h"

namespace tobric::platform {

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

uint32_t ThreadId() { return static_cast<uint32_t>(gettid()); }

uint32_t UserId() { return static_cast<uint32_t>(getuid()); }

std::string ProgramPath() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(buffer)) return std::string();
  std::string path(buffer, static_cast<size_t>(length));
  // The kernel marks a program file replaced on disk while running (an update);
  // its folder is still where the new files are.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() &&
      path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    path.resize(path.size() - kDeleted.size());
  }
  return path;
}

std::string ProgramFolder() {
  const std::string path = ProgramPath();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string ProgramBaseName() {
  const std::string path = ProgramPath();
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  // A leading dot belongs to the name of a hidden file, not to an extension.
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

void ReturnFreeMemory() { malloc_trim(0); }

void LimitAllocatorArenas(int count) { static_cast<void>(mallopt(M_ARENA_MAX, count)); }

void RunWithLoaderEnvironment(const char* name, const char* value) {
  if (getenv(name) != nullptr) {
    unsetenv(name);
    return;
  }
  std::string command_line;
  if (Failed(ReadFileToString("/proc/self/cmdline", 1 << 20, &command_line))) return;
  std::vector<char*> arguments;
  for (size_t start = 0; start < command_line.size();) {
    arguments.push_back(command_line.data() + start);
    start = command_line.find('\0', start);
    if (start == std::string::npos) break;
    ++start;
  }
  if (arguments.empty()) return;
  arguments.push_back(nullptr);
  if (setenv(name, value, 1) != 0) return;
  // The file by its own path, not /proc/self/exe: the kernel names the process
  // after the file it starts, and ps, top and pgrep would show "exe".
  std::string program = ProgramPath();
  if (program.empty()) program = "/proc/self/exe";
  execv(program.c_str(), arguments.data());
  unsetenv(name);
}

std::string GetEnv(const char* name) {
  const char* value = getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace tobric::platform
