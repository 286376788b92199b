// The console's plain commands: each carries out one operation of the offline
// center or of the configuration and prints to its console. Owned by the
// CommandRegistry and executed on the command loop's thread; they keep no
// state of their own besides the console they print to (not owned).
#ifndef CONSOLE_COMMANDS_H_
#define CONSOLE_COMMANDS_H_

#include <string>

#include "console/command.h"

namespace lorvane {

class Console;

// Prints "All available commands are as follow:" and every usage line.
class HelpCommand : public Command {
 public:
  HelpCommand(Console* console, const CommandRegistry* registry)
      : Command("help"), console_(console), registry_(registry) {}
  [[nodiscard]] HRESULT Execute(const std::string& argument) override;

 private:
  Console* const console_;
  const CommandRegistry* const registry_;
};

class StartCommand : public Command {
 public:
  StartCommand() : Command("start") {}
  [[nodiscard]] HRESULT Execute(const std::string& argument) override;
  [[nodiscard]] const char* Usage() const override { return "%s id"; }
};

// Pauses the package.
class StopCommand : public Command {
 public:
  StopCommand() : Command("stop") {}
  [[nodiscard]] HRESULT Execute(const std::string& argument) override;
  [[nodiscard]] const char* Usage() const override { return "%s id"; }
};

// Prints every package, 13 lines and a blank line each.
class ListCommand : public Command {
 public:
  explicit ListCommand(Console* console) : Command("list"), console_(console) {}
  [[nodiscard]] HRESULT Execute(const std::string& argument) override;

 private:
  Console* const console_;
};

class DownloadCommand : public Command {
 public:
  DownloadCommand() : Command("download") {}
  [[nodiscard]] HRESULT Execute(const std::string& argument) override;
  [[nodiscard]] const char* Usage() const override { return "%s uri"; }
};

// Asks the service to stop through the shutdown event, as any process may.
class ExitCommand : public Command {
 public:
  ExitCommand() : Command("exit") {}
  [[nodiscard]] HRESULT Execute(const std::string& argument) override;
};

class DeleteCommand : public Command {
 public:
  DeleteCommand() : Command("delete") {}
  [[nodiscard]] HRESULT Execute(const std::string& argument) override;
  [[nodiscard]] const char* Usage() const override { return "%s id"; }
};

// Deletes the package with its files.
class DeletePerCommand : public Command {
 public:
  DeletePerCommand() : Command("deleteper") {}
  [[nodiscard]] HRESULT Execute(const std::string& argument) override;
  [[nodiscard]] const char* Usage() const override { return "%s id"; }
};

// Prints the settings and the paths of the two stored documents.
class ConfigCommand : public Command {
 public:
  explicit ConfigCommand(Console* console) : Command("config"), console_(console) {}
  [[nodiscard]] HRESULT Execute(const std::string& argument) override;

 private:
  Console* const console_;
};

// Answers 1 when a package has the URI, else 0.
class ExistCommand : public Command {
 public:
  ExistCommand() : Command("exist") {}
  [[nodiscard]] HRESULT Execute(const std::string& argument) override;
};

}  // namespace lorvane

#endif  // CONSOLE_COMMANDS_H_
