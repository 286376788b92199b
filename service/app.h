// The service's outer frame: start, the single-instance guard, serving, stop.
#ifndef SERVICE_APP_H_
#define SERVICE_APP_H_

#include <memory>
#include <string>

#include "base/platform/event_registry.h"
#include "base/result_codes.h"
#include "console/options.h"
#include "service/rpc_protocol.h"
#include "service/rpc_server.h"
#include "service/shutdown.h"

namespace tobric::platform {
class LockFile;
class NamedMutex;
class SignalWatcher;
}  // namespace tobric::platform

namespace lorvane {

class RpcProcedures;

// Object names, per-user.
inline constexpr char kInstanceMutexName[] = "{5AD476BA-E831-421D-88C9-3B5DAC02572B}";

struct AppOptions {
  // The command line as main received it; argc 0: none (the program's path
  // stands in for it).
  int argc = 0;
  char** argv = nullptr;
  // Socket and limits of the RPC server.
  RpcServerOptions rpc;
  // Whether SIGTERM, SIGINT and SIGHUP set the shutdown event. Blocking them is
  // a decision for the whole process, which a test program does not make.
  bool handle_signals = true;
  // The user data folder whose lock the service holds; empty: ConfigManager's.
  std::string data_folder;
};

// App: the process's one application object. Initialize reads the command line
// (the console roles), takes the single-instance guard and arms the shutdown
// event; Run starts the engine, serves the RPC interface on the calling thread
// until the stop, and returns; OnShutdown (once, on a pool thread, when the
// shutdown event is set) stops the engine and then the RPC server.
//
// Calls that arrive between the engine's stop and the server's are refused by
// the server (RpcDispatcher::AcceptingCalls is false once the center stopped),
// so none reaches the shut-down persister or pool.
//
// Ownership: the process's App is made by GetInstance and never destroyed;
// tests make their own. Threads: Initialize and Run on the main thread,
// OnShutdown on a pool thread of the event registry, the signal watcher's
// callback on its own thread. The RPC server exists from construction, so
// OnShutdown may come at any moment (even before Run) and still stop it; the
// server's own lock orders the two.
class App : public tobric::ShutdownCallback {
 public:
  // The process's App, made on first use.
  static App* GetInstance();

  explicit App(AppOptions options = {});
  // Only tests' Apps end: cancels the wait, then lets the parts go.
  ~App() override;
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // Before Initialize: the command line main received.
  void SetCommandLine(int argc, char** argv);

  // 0 when the service may run; E_ALREADY_RUNNING when another instance holds
  // the guard or the data folder's lock (one of another object folder; the
  // log line names its pid and object folder); the shutdown handler's error
  // when the event cannot be watched.
  // With "with-console" the process becomes the log window and never returns.
  [[nodiscard]] HRESULT Initialize();
  // Returns when the RPC server has stopped listening.
  void Run();
  HRESULT OnShutdown() override;

 private:
  // Takes the data folder's lock; E_ALREADY_RUNNING (logged) when another
  // instance holds it.
  [[nodiscard]] HRESULT LockDataFolder();

  std::unique_ptr<tobric::platform::EventRegistry> event_registry_;
  std::unique_ptr<tobric::ShutdownHandler> shutdown_handler_;

  AppOptions options_;
  Options command_line_;
  // Held (never released) while the process lives: the single-instance guard.
  std::unique_ptr<tobric::platform::NamedMutex> instance_mutex_;
  // Held likewise: one service per user data folder, whatever its object folder.
  std::unique_ptr<tobric::platform::LockFile> data_folder_lock_;
  std::unique_ptr<RpcProcedures> procedures_;
  std::unique_ptr<RpcServer> rpc_server_;
  std::unique_ptr<tobric::platform::SignalWatcher> signal_watcher_;
};

}  // namespace lorvane

#endif  // SERVICE_APP_H_
