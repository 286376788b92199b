// The per-user shutdown event and the pieces that react to it.
//
// Anybody of the same user stops the service by setting the named shutdown event:
// the RPC procedure ExitService and the console's exit command through
// SignalShutdown, the signal watcher on SIGTERM/SIGINT/SIGHUP, or another
// process. The service arms a ShutdownHandler at start; when the event is set, a
// pool thread of the event registry calls the handler's callback once.
#ifndef SERVICE_SHUTDOWN_H_
#define SERVICE_SHUTDOWN_H_

#include <memory>

#include "base/platform/event_registry.h"
#include "base/result_codes.h"

namespace tobric {

namespace platform {
class NamedEvent;
}

// Object names, per-user (the object folder already belongs to one user).
inline constexpr char kShutdownEventName[] = "{0C3063A8-EBCE-431E-B076-B27C9669EDEC}";

// Whoever must tear something down when the shutdown event fires (the App, the
// debug console). Called once, on a pool thread.
class ShutdownCallback {
 public:
  virtual ~ShutdownCallback() = default;
  virtual HRESULT OnShutdown() = 0;
};

// Receives the set event of a wait registered in an event registry.
class EventHandler {
 public:
  virtual ~EventHandler() = default;
  virtual void OnEvent(const platform::NamedEvent* event) = 0;
};

// Opens (creating when missing) the per-user shutdown event and waits for it
// once in `registry`; OnEvent hands the firing to the callback.
//
// Owned by its user (App, Console) next to the registry, which must outlive it.
// Initialize runs once, on the owner's thread; OnEvent runs on a pool thread of
// the registry. The destructor cancels a wait that has not fired; it does not
// wait for a callback already running, so the owner must outlive the callback
// (the App and the process console are never destroyed).
class ShutdownHandler : public EventHandler {
 public:
  explicit ShutdownHandler(platform::EventRegistry* registry);
  ~ShutdownHandler() override;
  ShutdownHandler(const ShutdownHandler&) = delete;
  ShutdownHandler& operator=(const ShutdownHandler&) = delete;

  // Keeps the callback (not owned), opens the event and registers the wait.
  // The platform's error when the event cannot be made or watched.
  [[nodiscard]] HRESULT Initialize(ShutdownCallback* callback);

  void OnEvent(const platform::NamedEvent* event) override;

 private:
  platform::EventRegistry* const registry_;
  std::unique_ptr<platform::NamedEvent> event_;
  ShutdownCallback* callback_ = nullptr;
  // The machine-wide form of the event name; a per-user service never uses it.
  bool machine_wide_ = false;
  bool registered_ = false;
  platform::EventRegistry::WaitId wait_id_ = 0;
};

// Opens (or creates) the shutdown event and sets it, then returns at once: the
// stop itself runs on a pool thread of the service. Failures are logged only.
// Any thread, any process of the user.
void SignalShutdown();

}  // namespace tobric

#endif  // SERVICE_SHUTDOWN_H_
