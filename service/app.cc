#include "service/app.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>

#include "base/logging/log_writer.h"
#include "base/logging/logging.h"
#include "base/platform/error.h"
#include "base/platform/locations.h"
#include "base/platform/lock_file.h"
#include "base/platform/named_event.h"
#include "base/platform/named_mutex.h"
#include "base/platform/signals.h"
#include "base/platform/systemd_notify.h"
#include "center/offline_center.h"
#include "console/console.h"
#include "download/task_factroy.h"
#include "service/data_folder_lock.h"
#include "service/rpc_procedures.h"
#include "storage/config_manager.h"

namespace lorvane {

namespace {

const char* SignalName(tobric::platform::TerminationSignal signal) {
  switch (signal) {
    case tobric::platform::TerminationSignal::kTerminate:
      return "SIGTERM";
    case tobric::platform::TerminationSignal::kInterrupt:
      return "SIGINT";
    case tobric::platform::TerminationSignal::kHangUp:
      return "SIGHUP";
  }
  return "?";
}

// Tests of the whole program run it with this switch and a number of
// milliseconds, which every wait that is there for its users then lasts: the
// list's save delay, the retry delay of a block, the time a quick download is
// held back. Users are never told of it.
constexpr char kTestDelaySwitch[] = "test-delay-ms";

void UseTestDelays(uint32_t delay_ms) {
  HttpTaskOptions http;
  http.retry_initial_delay_ms = static_cast<int32_t>(delay_ms);
  http.minimum_visible_ms = delay_ms;
  OfflineCenterOptions center;
  center.save_delay_ms = delay_ms;
  center.make_factory = [http] { return std::make_unique<TaskFactroy>(http); };
  OfflineCenter::SetInstanceOptions(std::move(center));
}

}  // namespace

App* App::GetInstance() {
  static std::once_flag once;
  static App* instance = nullptr;
  std::call_once(once, [] { instance = new App(); });
  return instance;
}

App::App(AppOptions options)
    : options_(std::move(options)),
      procedures_(std::make_unique<RpcProcedures>()),
      rpc_server_(std::make_unique<RpcServer>(options_.rpc, procedures_.get())) {}

App::~App() {
  // The wait's callback uses the server, so it goes first; the registry's end
  // waits for a callback already running.
  shutdown_handler_.reset();
  event_registry_.reset();
  signal_watcher_.reset();
  rpc_server_.reset();
}

void App::SetCommandLine(int argc, char** argv) {
  options_.argc = argc;
  options_.argv = argv;
}

HRESULT App::Initialize() {
  // A bad command line still leaves the switches read before the fault usable.
  static_cast<void>(ReadProcessOptions(options_.argc, options_.argv, &command_line_));
  if (IsConsoleHostRequested(command_line_)) {
    // The log window has nothing to save: kill and Ctrl-C may end it at once.
    if (options_.handle_signals) static_cast<void>(tobric::platform::UnblockTerminationSignals());
    RunConsoleHost(command_line_);
  }
  // Before the debug console, whose commands may make the engine.
  if (command_line_.Has(kTestDelaySwitch)) {
    UseTestDelays(static_cast<uint32_t>(
        std::strtoul(command_line_.Value(kTestDelaySwitch).c_str(), nullptr, 10)));
  }

  // Before the debug console's thread and the engine's threads exist, so that
  // they all inherit the blocked mask and the watcher alone receives the signals
  // (main blocks them before anything else already; this covers other callers).
  if (options_.handle_signals) {
    const HRESULT hr = tobric::platform::BlockTerminationSignals();
    if (Failed(hr)) {
      TLOG(tobric::LC_USER, tobric::kLevelError, "[App::Initialize][Blocking signals failed][0x%x]",
           hr);
    }
  }

  if (command_line_.Has("with-terminal")) static_cast<void>(StartDebugConsole());

  // A refused object folder (another user's, open to others, a link) is said
  // as such: the instance lock in it would fail the same way, and "another
  // instance runs" would send the user looking for a process that is not there.
  std::string object_folder;
  HRESULT hr = tobric::platform::GetObjectFolder(&object_folder);
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelError,
         "[App::Initialize][The object folder is refused: it must be the user's own, closed to "
         "others, and not a link][0x%x]",
         hr);
    return hr;
  }
  hr = tobric::platform::NamedMutex::CreateOwned(
      kInstanceMutexName, tobric::platform::ObjectScope::kUser, &instance_mutex_);
  if (hr == tobric::platform::HresultFromWin32(tobric::platform::kErrorAlreadyExists) ||
      hr == tobric::platform::HresultFromWin32(tobric::platform::kErrorAccessDenied)) {
    TLOG(tobric::LC_USER, tobric::kLevelError,
         "[App::Initialize][Other instance already running.]");
    return E_ALREADY_RUNNING;
  }
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelError, "[App::Initialize][CreateMutex failed][0x%x]", hr);
  }
  if (LockDataFolder() == E_ALREADY_RUNNING) return E_ALREADY_RUNNING;

  // The event is a file that outlives its processes: one left set by an earlier
  // run (or by an exit sent while no service ran) would stop this one at once.
  std::unique_ptr<tobric::platform::NamedEvent> shutdown_event;
  if (Succeeded(tobric::platform::NamedEvent::Open(tobric::kShutdownEventName,
                                                   tobric::platform::ObjectScope::kUser,
                                                   &shutdown_event, nullptr))) {
    static_cast<void>(shutdown_event->Reset());
  }

  shutdown_handler_.reset();
  event_registry_ = std::make_unique<tobric::platform::EventRegistry>();
  shutdown_handler_ = std::make_unique<tobric::ShutdownHandler>(event_registry_.get());
  hr = shutdown_handler_->Initialize(this);
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelError,
         "[App::Initialize][shutdown_handler_->Initialize failed. 0x%x.]", hr);
    return hr;
  }

  if (options_.handle_signals) {
    const HRESULT watch = tobric::platform::SignalWatcher::Start(
        [](tobric::platform::TerminationSignal signal) {
          TLOG(tobric::LC_USER, 1, "[App][%s received, stopping]", SignalName(signal));
          tobric::SignalShutdown();
        },
        &signal_watcher_);
    if (Failed(watch)) {
      TLOG(tobric::LC_USER, tobric::kLevelError, "[App::Initialize][Signal watcher failed][0x%x]",
           watch);
    }
  }
  return hr;
}

HRESULT App::LockDataFolder() {
  // A ConfigManager of its own, never initialised: it only says where the data
  // folder is (and makes it). The process's instance would read and perhaps
  // write config.db, which a refused instance must not touch.
  const std::string data_folder = options_.data_folder.empty()
                                      ? ConfigManager(ConfigManagerOptions{}).GetUserDataPath()
                                      : options_.data_folder;
  // Where this instance's socket is: a client of another object folder learns
  // from the lock that it cannot reach this service.
  std::string object_folder;
  static_cast<void>(tobric::platform::GetObjectFolder(&object_folder));
  tobric::platform::LockHolder holder;
  const HRESULT hr = tobric::platform::LockFile::Acquire(
      DataFolderLockPath(data_folder), object_folder, &data_folder_lock_, &holder);
  if (hr == tobric::platform::HresultFromWin32(tobric::platform::kErrorAlreadyExists)) {
    TLOG(tobric::LC_USER, tobric::kLevelError,
         "[App::Initialize][Other instance already running on %s: pid %u, runtime folder %s.]",
         data_folder.c_str(), holder.pid, holder.folder.c_str());
    // Said on standard error as well: without a log file nobody would see why
    // a service started by hand or by the service manager ended at once.
    tobric::WriteToStandardError(tobric::FormatSystemText(
        "corvaned: another corvaned (pid %u) already runs on %s; its runtime folder is %s\n",
        holder.pid, data_folder.c_str(), holder.folder.c_str()));
    return E_ALREADY_RUNNING;
  }
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelError, "[App::Initialize][Locking %s failed][0x%x]",
         data_folder.c_str(), hr);
  }
  return hr;
}

void App::Run() {
  static_cast<void>(OfflineCenter::GetInstance());

  // A server that cannot listen serves nobody until it is stopped; Start logs why.
  static_cast<void>(rpc_server_->Start());

  std::unique_ptr<tobric::platform::NamedEvent> ready;
  bool existed = false;
  HRESULT hr = tobric::platform::NamedEvent::Open(
      kReadyEventName, tobric::platform::ObjectScope::kUser, &ready, &existed);
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelError, "[App::Run CreateEvent failed][0x%x]", hr);
  } else {
    if (existed) static_cast<void>(ready->Reset());
    hr = ready->Set();
    if (Failed(hr))
      TLOG(tobric::LC_USER, tobric::kLevelError, "[App::Run SetEvent failed][0x%x]", hr);
  }
  hr = tobric::platform::NotifyReady();
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelWarning, "[App::Run][Service manager not told][0x%x]", hr);
  }

  rpc_server_->Listen();

  TLOG(tobric::LC_USER, 1, "[App::Run done]");
  // Unlike a kernel event, the file would still say "ready" after the process
  // has gone, and clients would wait on a socket nobody serves.
  if (ready != nullptr) static_cast<void>(ready->Reset());
}

HRESULT App::OnShutdown() {
  OfflineCenter::GetInstance()->Stop();
  static_cast<void>(tobric::platform::NotifyServiceManager("STOPPING=1"));
  rpc_server_->StopListening();
  return S_OK;
}

}  // namespace lorvane
