// `log on|off`: a second window showing every log line that passes the
// category table.
#ifndef CONSOLE_SHOW_LOG_COMMAND_H_
#define CONSOLE_SHOW_LOG_COMMAND_H_

#include <functional>
#include <memory>

#include "base/logging/log_writer.h"
#include "console/command.h"

namespace tobric {
class Logging;
}

namespace lorvane {

class Console;

// While on, holds a terminal-mode console whose far end is a log window (a
// console host), and is one of the logger's writers, writing "%s%s\n"
// (prefix, text) as one pipe message per line. It asks for nothing beyond the
// category table: WantsAllMessages and IsCatLevelEnabled answer no.
//
// Owned by the CommandRegistry. TurnOn and TurnOff run on the command loop's
// thread; OutputMessage runs on whichever thread logs, under the logger's
// lock. window_ is set before the writer is added and destroyed only after
// it has been removed, both of which take the logger's lock, so OutputMessage
// never sees it change: removal waits for a line being written, and writing
// never waits for the window (a full pipe drops the line, see Console).
class ShowLogCommand : public SwitchCommand, public tobric::LogWriter {
 public:
  // Makes the window; the error and no console when it cannot.
  using WindowFactory = std::function<HRESULT(std::unique_ptr<Console>* window)>;

  // logger null: the process's logger. make_window null: Console::CreateLogWindow.
  explicit ShowLogCommand(tobric::Logging* logger = nullptr, WindowFactory make_window = nullptr);
  ~ShowLogCommand() override;

  bool WantsAllMessages() override { return false; }
  // The live log shows what the logger's own levels pass, nothing more.
  uint32_t CategoriesAsked() override { return 0; }
  bool IsCatLevelEnabled(int32_t category, int32_t level) override;
  void OutputMessage(const tobric::LogEntry& entry) override;

  // Whether a window is held and the writer was added.
  [[nodiscard]] bool writing() const { return writer_added_; }

 protected:
  [[nodiscard]] HRESULT TurnOff() override;
  [[nodiscard]] HRESULT TurnOn() override;

 private:
  tobric::Logging* Logger() const;

  tobric::Logging* const logger_;
  const WindowFactory make_window_;

  // Changed by the command loop's thread only (see the class comment).
  std::unique_ptr<Console> window_;
  bool writer_added_ = false;
};

}  // namespace lorvane

#endif  // CONSOLE_SHOW_LOG_COMMAND_H_
