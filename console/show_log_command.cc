#include "console/show_log_command.h"

#include "base/logging/logging.h"
#include "console/console.h"

namespace lorvane {

ShowLogCommand::ShowLogCommand(tobric::Logging* logger, WindowFactory make_window)
    : SwitchCommand("log"),
      logger_(logger),
      make_window_(make_window ? std::move(make_window)
                               : WindowFactory(&Console::CreateLogWindow)) {}

ShowLogCommand::~ShowLogCommand() {
  // The logger must not call a destroyed writer.
  if (on()) static_cast<void>(TurnOff());
}

bool ShowLogCommand::IsCatLevelEnabled(int32_t /*category*/, int32_t /*level*/) { return false; }

void ShowLogCommand::OutputMessage(const tobric::LogEntry& entry) {
  if (window_ == nullptr) return;
  window_->Print("%.*s%.*s\n", static_cast<int>(entry.prefix.size()), entry.prefix.data(),
                 static_cast<int>(entry.text.size()), entry.text.data());
}

tobric::Logging* ShowLogCommand::Logger() const {
  return logger_ != nullptr ? logger_ : tobric::Logging::GetInstance();
}

HRESULT ShowLogCommand::TurnOn() {
  std::unique_ptr<Console> window;
  HRESULT hr = make_window_(&window);
  if (Failed(hr) || window == nullptr) {
    // Nothing to write to: the command still succeeds, as the window is a
    // convenience of the operator's, but no writer is added.
    TLOG(tobric::LC_USER, tobric::kLevelWarning, "[ShowLogCommand::TurnOn][No log window][0x%x]",
         hr);
    return S_OK;
  }
  window_ = std::move(window);
  writer_added_ = Logger()->AddLogWriter(this);
  return S_OK;
}

HRESULT ShowLogCommand::TurnOff() {
  if (writer_added_) {
    // Returns only when no thread is writing through this writer any more;
    // the window (and its pipe) may go after that, never before.
    static_cast<void>(Logger()->RemoveLogWriter(this));
    writer_added_ = false;
  }
  window_.reset();
  return S_OK;
}

}  // namespace lorvane
