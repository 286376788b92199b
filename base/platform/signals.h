// The termination signals (SIGTERM, SIGINT, SIGHUP) as requests to stop.
//
// `kill`, systemd and Ctrl-C must stop the service through its ordinary stop
// sequence rather than end it midway through a save. So the signals are blocked
// in every thread (the main thread blocks them before it starts any thread, and
// threads inherit the mask; NativeThread blocks them as well) and one watcher
// thread receives them through a signalfd and calls a plain function, which may
// lock, log and touch files as no signal handler may. SIGPIPE is ignored: a
// vanished peer is an error code of the write, never the end of the process.
#ifndef BASE_PLATFORM_SIGNALS_H_
#define BASE_PLATFORM_SIGNALS_H_

#include <functional>
#include <memory>

#include "base/result_codes.h"

namespace tobric::platform {

enum class TerminationSignal { kTerminate, kInterrupt, kHangUp };

// Blocks the three signals in the calling thread and ignores SIGPIPE for the
// process. Call on the main thread before any other thread is started: a thread
// that does not block them would take their default action, the immediate end.
[[nodiscard]] HRESULT BlockTerminationSignals();

// Gives the calling thread back the three signals' default action (the
// immediate end), for a process that turns out to need no orderly stop (the
// log window of the debug console).
[[nodiscard]] HRESULT UnblockTerminationSignals();

// Sends the signal to this process (not to one thread), as `kill` does.
[[nodiscard]] HRESULT SendSignalToSelf(TerminationSignal signal);

// A thread of its own that receives the three signals and calls the callback
// once for each signal received, on that thread. Requires the signals to be
// blocked in every thread of the process (BlockTerminationSignals). Owned by the
// application; the destructor stops and joins the thread (not from the callback).
class SignalWatcher {
 public:
  using Callback = std::function<void(TerminationSignal)>;

  [[nodiscard]] static HRESULT Start(Callback callback, std::unique_ptr<SignalWatcher>* watcher);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  struct Impl;
  explicit SignalWatcher(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_SIGNALS_H_
