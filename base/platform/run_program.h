// Running a short helper program and collecting what it prints: the desktop's
// settings tools (gsettings, xdg-settings) and the proxy script resolver.
#ifndef BASE_PLATFORM_RUN_PROGRAM_H_
#define BASE_PLATFORM_RUN_PROGRAM_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/result_codes.h"

namespace tobric::platform {

struct RunProgramOptions {
  // argv[0] is the program: a path, or a bare name looked up on PATH.
  std::vector<std::string> argv;
  // Variables set (a value) or removed (nullopt) on top of this process's
  // environment, for the child only: the caller's environment never changes,
  // since other threads may be reading it.
  std::vector<std::pair<std::string, std::optional<std::string>>> environment;
  // The child is killed once this has passed without it ending.
  uint32_t timeout_ms = 5000;
  // Standard output beyond this is dropped (the child keeps running).
  size_t max_output = 64 * 1024;
};

struct RunProgramResult {
  // The exit status; -1 when a signal ended the program.
  int exit_code = -1;
  std::string output;
};

// Runs the program with standard input and error on /dev/null and waits for it
// at most the options' timeout. S_OK once it ended (whatever its exit status);
// HRESULT_FROM_WIN32(2) when it cannot be found; ERROR_TIMEOUT (1460) when it
// was killed for taking too long. Any thread; the caller must hold no lock
// that the wait could make others wait for.
[[nodiscard]] HRESULT RunProgram(const RunProgramOptions& options, RunProgramResult* result);

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_RUN_PROGRAM_H_
