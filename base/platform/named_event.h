// A named manual-reset event shared between processes of one user.
//
// The event is a small file in the object folder whose content says "set" or
// "reset"; Set and Reset replace it atomically (write a temporary file, rename),
// so a reader never sees a torn state, and waiters watch the folder with inotify.
// Unlike a kernel event the file outlives its processes, so owners reset their
// events when they start or stop (the service does so for readiness and shutdown).
//
// Holds no open file, only the path; any thread may use it at any time.
#ifndef BASE_PLATFORM_NAMED_EVENT_H_
#define BASE_PLATFORM_NAMED_EVENT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/platform/object_names.h"
#include "base/result_codes.h"

namespace tobric::platform {

class NamedEvent {
 public:
  // Opens the event of that name, creating it not signalled when missing.
  // *existed (optional) tells whether the event file was already there.
  [[nodiscard]] static HRESULT Open(const std::string& name, ObjectScope scope,
                                    std::unique_ptr<NamedEvent>* event, bool* existed);
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  [[nodiscard]] HRESULT Set();
  [[nodiscard]] HRESULT Reset();
  [[nodiscard]] bool IsSet() const;
  // Waits up to timeout_ms (kInfinite from named_mutex.h: no limit) for the event
  // to be set; true when it is set.
  [[nodiscard]] bool Wait(uint32_t timeout_ms) const;

  // The file standing for the event; the event registry watches it.
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  NamedEvent(std::string path, bool machine_wide);
  std::string path_;
  // Machine-wide event files are rewritten readable and writable by every user.
  bool machine_wide_;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_NAMED_EVENT_H_
