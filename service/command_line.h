// What corvaned's command line asks for before anything starts: run the
// service, or only answer --help or --version, or refuse words it does not
// know (with its usage, exit status 2), so that a mistyped switch never starts
// a service the user did not ask for.
#ifndef SERVICE_COMMAND_LINE_H_
#define SERVICE_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace lorvane {

inline constexpr int kServiceUsageExit = 2;

struct LaunchDecision {
  bool run = true;  // false: print text and exit with exit_code
  int exit_code = 0;
  std::string text;
  bool to_error_stream = false;
};

// argv as main received it, argv[0] included.
[[nodiscard]] LaunchDecision DecideLaunch(const std::vector<std::string>& argv);

}  // namespace lorvane

#endif  // SERVICE_COMMAND_LINE_H_
