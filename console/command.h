// The console's commands: the Command interface, the on/off SwitchCommand, the
// registry of the twelve commands, and the command loop that reads typed
// lines and carries them out.
#ifndef CONSOLE_COMMAND_H_
#define CONSOLE_COMMAND_H_

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/result_codes.h"

namespace lorvane {

class Console;
class StatCommand;

// One console command. Owned by the CommandRegistry; Execute is called by the
// command loop's thread only.
class Command {
 public:
  explicit Command(std::string name) : name_(std::move(name)) {}
  virtual ~Command() = default;
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  // argument: the second word of the typed line, empty when there is none.
  [[nodiscard]] virtual HRESULT Execute(const std::string& argument) = 0;
  // A format with one "%s" for the name.
  [[nodiscard]] virtual const char* Usage() const { return "%s "; }

  [[nodiscard]] const std::string& name() const { return name_; }
  // Usage() filled with the name, as the help listing shows it.
  [[nodiscard]] std::string UsageLine() const;

 private:
  const std::string name_;
};

// A command switched with "on" and "off" (exactly these words). Repeating the
// current state does nothing and answers 0. Called by the command loop's
// thread only; on() may be read by any thread.
class SwitchCommand : public Command {
 public:
  using Command::Command;

  [[nodiscard]] HRESULT Execute(const std::string& argument) final;
  [[nodiscard]] const char* Usage() const override { return "%s (on | off)"; }

  [[nodiscard]] bool on() const { return on_.load(); }

 protected:
  [[nodiscard]] virtual HRESULT TurnOff() = 0;
  [[nodiscard]] virtual HRESULT TurnOn() = 0;

 private:
  std::atomic<bool> on_{false};
};

// The commands in registration order (also the order of the help listing),
// with the stat command kept apart so that the loop can switch it off. Made
// on first use for the process's console and never destroyed; tests make
// their own on a console of theirs. Filled at construction, constant after.
class CommandRegistry {
 public:
  // The twelve commands, printing to console (not owned).
  explicit CommandRegistry(Console* console);
  ~CommandRegistry();
  CommandRegistry(const CommandRegistry&) = delete;
  CommandRegistry& operator=(const CommandRegistry&) = delete;

  // The registry of the process's interactive console.
  static CommandRegistry* GetInstance();

  // The command named exactly `name`, or the first registered (help).
  [[nodiscard]] Command* Find(const std::string& name) const;
  [[nodiscard]] const std::vector<std::unique_ptr<Command>>& commands() const { return commands_; }
  [[nodiscard]] StatCommand* stat_command() const { return stat_command_; }
  [[nodiscard]] Console* console() const { return console_; }

 private:
  void Register(std::unique_ptr<Command> command);

  Console* const console_;
  std::vector<std::unique_ptr<Command>> commands_;
  StatCommand* stat_command_ = nullptr;
};

// The command loop: reads lines from the registry's console until the input
// ends or a read fails; each line first switches the statistics block off,
// then runs the named command (help for an unknown or empty one) and prints
// "ret:0x%x\n\n" with its result. Runs on the caller's thread.
void RunCommandLoop(CommandRegistry* registry);

}  // namespace lorvane

#endif  // CONSOLE_COMMAND_H_
