#include "service/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lorvane {
namespace {

TEST(DecideLaunchTest, OnlyKnownSwitchesStartTheService) {
  struct Row {
    std::vector<std::string> args;
    bool run;
    int exit_code;
    const char* says;  // in the text printed instead of running
  };
  const Row rows[] = {
      {{}, true, 0, ""},
      {{"-with-terminal"}, true, 0, ""},
      {{"-with-console", "-input", "pipe-name"}, true, 0, ""},
      {{"-test-delay-ms", "20"}, true, 0, ""},
      {{"--help"}, false, 0, "Usage: corvaned"},
      {{"-with-terminal", "-h"}, false, 0, "Usage: corvaned"},
      {{"--version"}, false, 0, "corvaned 1."},
      {{"--verbose"}, false, kServiceUsageExit, "unknown switch '--verbose'"},
      {{"stray"}, false, kServiceUsageExit, "cannot be read"},
      {{"-with-terminal", "-with-terminal"}, false, kServiceUsageExit, "cannot be read"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> argv = {"corvaned"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    SCOPED_TRACE(testing::PrintToString(argv));
    const LaunchDecision decision = DecideLaunch(argv);
    EXPECT_EQ(decision.run, row.run);
    if (row.run) continue;
    EXPECT_EQ(decision.exit_code, row.exit_code);
    EXPECT_EQ(decision.to_error_stream, row.exit_code != 0);
    EXPECT_NE(decision.text.find(row.says), std::string::npos) << decision.text;
  }
}

}  // namespace
}  // namespace lorvane
