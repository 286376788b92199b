#include "console/command.h"

#include <atomic>
#include <cstdio>
#include <sstream>

#include "base/logging/logging.h"
#include "base/platform/native_thread.h"
#include "console/commands.h"
#include "console/console.h"
#include "console/show_log_command.h"
#include "console/stat_command.h"

namespace lorvane {
namespace {

using tobric::LC_USER;

// The command loop's thread needs little: a line buffer and a command's work.
constexpr size_t kCommandLoopStackSize = 512 * 1024;

}  // namespace

std::string Command::UsageLine() const {
  char line[kConsoleBufferChars + 1];
  int length = std::snprintf(line, sizeof(line), Usage(), name_.c_str());
  if (length < 0) return std::string();
  return std::string(line, std::min(static_cast<size_t>(length), kConsoleBufferChars));
}

HRESULT SwitchCommand::Execute(const std::string& argument) {
  if (argument == "on") {
    if (on_.load()) return S_OK;
    on_.store(true);
    return TurnOn();
  }
  if (argument == "off") {
    if (!on_.load()) return S_OK;
    on_.store(false);
    return TurnOff();
  }
  return E_INVALIDARG;
}

CommandRegistry::CommandRegistry(Console* console) : console_(console) {
  Register(std::make_unique<HelpCommand>(console, this));
  Register(std::make_unique<StartCommand>());
  Register(std::make_unique<StopCommand>());
  Register(std::make_unique<ListCommand>(console));
  Register(std::make_unique<DownloadCommand>());
  Register(std::make_unique<ExitCommand>());
  Register(std::make_unique<DeleteCommand>());
  Register(std::make_unique<DeletePerCommand>());
  Register(std::make_unique<ConfigCommand>(console));
  Register(std::make_unique<ExistCommand>());
  auto stat = std::make_unique<StatCommand>(console);
  stat_command_ = stat.get();
  Register(std::move(stat));
  Register(std::make_unique<ShowLogCommand>());
}

CommandRegistry::~CommandRegistry() = default;

CommandRegistry* CommandRegistry::GetInstance() {
  static CommandRegistry* const registry = new CommandRegistry(Console::GetInstance());
  return registry;
}

void CommandRegistry::Register(std::unique_ptr<Command> command) {
  commands_.push_back(std::move(command));
}

Command* CommandRegistry::Find(const std::string& name) const {
  for (const auto& command : commands_) {
    if (command->name() == name) return command.get();
  }
  return commands_.front().get();
}

void RunCommandLoop(CommandRegistry* registry) {
  Console* console = registry->console();
  if (Failed(console->Init())) return;
  for (;;) {
    std::string line;
    HRESULT hr = console->ReadLine(&line);
    if (hr == kLineTooLong) {
      console->Print("The line is longer than %zu characters and was ignored.\n",
                     kConsoleBufferChars);
      console->Print("ret:0x%x\n\n", static_cast<uint32_t>(hr));
      continue;
    }
    if (hr != S_OK) {
      if (Failed(hr)) TLOG(LC_USER, tobric::kLevelError, "[Console::ReadLine failed][0x%x]", hr);
      break;
    }
    StatCommand* stat = registry->stat_command();
    if (stat != nullptr && stat->on()) static_cast<void>(stat->Execute("off"));

    std::istringstream words(line);
    std::string name;
    std::string argument;
    words >> name >> argument;
    Command* command = registry->Find(name);
    HRESULT result = command->Execute(argument);
    console->Print("ret:0x%x\n\n", static_cast<uint32_t>(result));
  }
  TLOG(LC_USER, 1, "[Console command loop done]");
}

HRESULT StartDebugConsole() {
  CommandRegistry* registry = CommandRegistry::GetInstance();
  // The loop thread is detached, not joined: it blocks in a read of standard
  // input for the life of the process, or ends early when the input does, and
  // nobody waits for either.
  static std::atomic<bool> started{false};
  if (started.exchange(true)) return S_FALSE;
  tobric::platform::NativeThread thread;
  HRESULT hr = thread.Start([registry] { RunCommandLoop(registry); }, kCommandLoopStackSize);
  if (Failed(hr)) {
    started = false;
    TLOG(LC_USER, tobric::kLevelError, "[StartDebugConsole][Start failed][0x%x]", hr);
    return hr;
  }
  thread.Detach();
  return hr;
}

}  // namespace lorvane
