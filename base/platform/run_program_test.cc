#include "base/platform/run_program.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base/platform/error.h"

namespace tobric::platform {
namespace {

TEST(RunProgram, TimeLimitEndsTheWaitForAProgramWhoseOutputStaysOpen) {
  // The shell has printed and waits; its background child also holds the
  // output open, so neither the end of the output nor the end of the shell
  // comes before the limit.
  RunProgramOptions options;
  options.argv = {"sh", "-c", "sleep 30 & echo started; wait"};
  options.timeout_ms = 300;
  RunProgramResult result;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunProgram(options, &result), HresultFromWin32(kErrorTimeout));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(RunProgram, MissingProgramIsFileNotFound) {
  for (const char* program : {"/nonexistent/corvane-none", "corvane-no-such-program"}) {
    RunProgramOptions options;
    options.argv = {program};
    RunProgramResult result;
    EXPECT_EQ(RunProgram(options, &result), HresultFromWin32(kErrorFileNotFound)) << program;
  }
}

TEST(RunProgram, OutputIsCutAtTheCapAndTheEnvironmentChangesOnlyTheChild) {
  RunProgramOptions options;
  options.argv = {"sh", "-c", "printf '%s|%s|' \"$CORVANE_A\" \"${HOME-unset}\"; "
                              "head -c 100000 /dev/zero | tr '\\0' a; exit 4"};
  options.environment = {{"CORVANE_A", "x"}, {"HOME", std::nullopt}};
  options.max_output = 1000;
  RunProgramResult result;
  ASSERT_EQ(RunProgram(options, &result), S_OK);
  EXPECT_EQ(result.exit_code, 4);
  EXPECT_EQ(result.output, "x|unset|" + std::string(1000 - 8, 'a'));
}

}  // namespace
}  // namespace tobric::platform
