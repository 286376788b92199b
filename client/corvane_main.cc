// corvane: the command-line client of the corvaned download service.
#include <iostream>
#include <string>
#include <vector>

#include "base/platform/terminal.h"
#include "client/arguments.h"
#include "client/client.h"
#include "client/commands.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  lorvane::Invocation invocation;
  std::string error;
  if (!lorvane::ParseArguments(args, &invocation, &error)) {
    std::cerr << "corvane: " << error << "\n";
    const char* name = lorvane::CommandName(invocation.command);
    if (*name != '\0' && invocation.command != lorvane::CommandId::kHelp) {
      std::cerr << "Try 'corvane " << name << " --help'.\n";
    } else {
      std::cerr << "Try 'corvane --help'.\n";
    }
    return lorvane::kExitUsage;
  }

  lorvane::Client client;
  lorvane::CommandContext context(std::cout, std::cerr, client);
  context.terminal = tobric::platform::IsTerminal(tobric::platform::StandardStream::kOutput);
  context.columns = [] {
    const int columns =
        tobric::platform::TerminalColumns(tobric::platform::StandardStream::kOutput);
    return columns > 0 ? static_cast<size_t>(columns) : size_t{0};
  };
  context.rows = [] {
    const int rows = tobric::platform::TerminalRows(tobric::platform::StandardStream::kOutput);
    return rows > 0 ? static_cast<size_t>(rows) : size_t{0};
  };
  const int status = lorvane::RunCommand(invocation, context);
  std::cout.flush();
  return status;
}
