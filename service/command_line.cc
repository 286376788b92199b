#include "service/command_line.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "console/options.h"
#include "service/version.h"

namespace lorvane {
namespace {

constexpr char kUsage[] =
    "Usage: corvaned [-with-terminal]\n"
    "       corvaned --help | --version\n"
    "\n"
    "The download service of the current user, driven by corvane. corvane starts\n"
    "it when a command needs it, or the systemd user unit does; it runs until it\n"
    "is asked to exit (corvane stop, SIGTERM).\n"
    "\n"
    "  -with-terminal  also run the debug console here: commands on standard\n"
    "                  input, statistics and the live log\n"
    "  --help          show this text and exit\n"
    "  --version       show the version and exit\n"
    "\n"
    "Exit status: 0 after a clean stop, 27 when the service of this user already\n"
    "runs, 2 wrong usage; otherwise the low byte of the failure's result code.\n";

// Switch names as the option table reads them: the word without its first
// character, so "--help" is "-help". The console's own roles (-with-console
// -input NAME, how the service starts its log window) and the test switch are
// accepted without being shown.
constexpr std::array<std::string_view, 4> kRunSwitches = {"with-terminal", "with-console",
                                                          "input", "test-delay-ms"};
constexpr std::array<std::string_view, 4> kHelpSwitches = {"help", "-help", "h", "?"};
constexpr std::array<std::string_view, 2> kVersionSwitches = {"version", "-version"};

template <size_t N>
bool AnyOf(const Options& options, const std::array<std::string_view, N>& names) {
  return std::any_of(names.begin(), names.end(),
                     [&](std::string_view name) { return options.Has(std::string(name)); });
}

LaunchDecision Answer(int exit_code, std::string text, bool to_error_stream) {
  return {false, exit_code, std::move(text), to_error_stream};
}

}  // namespace

LaunchDecision DecideLaunch(const std::vector<std::string>& argv) {
  Options options;
  const HRESULT parsed = options.Parse(argv);
  if (AnyOf(options, kHelpSwitches)) return Answer(0, kUsage, false);
  if (AnyOf(options, kVersionSwitches)) {
    return Answer(0, std::string("corvaned ") + CorvaneVersion() + "\n", false);
  }
  std::string unknown;
  for (const std::string& name : options.Names()) {
    if (std::find(kRunSwitches.begin(), kRunSwitches.end(), name) == kRunSwitches.end()) {
      unknown = name;
      break;
    }
  }
  if (Failed(parsed) || !unknown.empty() || options.HasAnyOptional()) {
    const std::string what = unknown.empty() ? "the command line cannot be read"
                                             : "unknown switch '-" + unknown + "'";
    return Answer(kServiceUsageExit, "corvaned: " + what + "\n\n" + kUsage, true);
  }
  return {};
}

}  // namespace lorvane
