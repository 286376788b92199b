// Waits on named events that run a callback once, on a timer-and-wait thread of
// the work pool, when the event is set (the execute-once thread-pool wait). One
// inotify watcher thread serves every registered wait of the registry.
//
// Owned by whoever registers the waits (the application). Any thread may
// register and unregister; a callback may unregister other waits or even
// destroy the registry. A fired wait is gone: it never fires again, even when
// the event is reset and set once more.
#ifndef BASE_PLATFORM_EVENT_REGISTRY_H_
#define BASE_PLATFORM_EVENT_REGISTRY_H_

#include <cstdint>
#include <functional>
#include <memory>

#include "base/result_codes.h"

namespace tobric::platform {

class NamedEvent;
class WorkPool;

class EventRegistry {
 public:
  using WaitId = uint64_t;

  explicit EventRegistry(WorkPool* pool = nullptr);  // nullptr: WorkPool::Default()
  // Cancels the waits not yet fired and waits for callbacks that are running.
  ~EventRegistry();
  EventRegistry(const EventRegistry&) = delete;
  EventRegistry& operator=(const EventRegistry&) = delete;

  // When the event is set (at once if it is set now), runs callback once on a pool
  // thread. The event must outlive the wait.
  [[nodiscard]] HRESULT RegisterWaitOnce(const NamedEvent* event, std::function<void()> callback,
                                         WaitId* id);

  // Cancels a wait that has not fired; S_FALSE when it already fired or is unknown.
  [[nodiscard]] HRESULT Unregister(WaitId id);

 private:
  struct Impl;
  // Shared with the callbacks handed to the pool, which may outlive the registry.
  std::shared_ptr<Impl> impl_;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_EVENT_REGISTRY_H_
