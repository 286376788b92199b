// A mutex shared between processes: flock on a lock file named after the object.
//
// flock, not fcntl locks: fcntl locks are per process, so a second open of the
// same file in this process would silently drop the lock. flock locks belong to
// the open file description, so two NamedMutex objects of one name exclude each
// other even inside one process. A lock held by a process that dies is released
// by the kernel, which is how an abandoned mutex counts as acquired.
//
// Owned by one user (a GLock, the log writer, the single-instance guard); any
// thread may lock and unlock it. The lock and companion files stay in the object
// folder when the last holder closes them: removing a lock file while another
// process opens it would let two holders lock two different files.
#ifndef BASE_PLATFORM_NAMED_MUTEX_H_
#define BASE_PLATFORM_NAMED_MUTEX_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/platform/object_names.h"
#include "base/result_codes.h"

namespace tobric::platform {

inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

class NamedMutex {
 public:
  // Opens (or creates) the mutex of that name, not owned. *existed (optional) is
  // true when another holder had it open at that moment (another process logging
  // to the same file, say).
  [[nodiscard]] static HRESULT Open(const std::string& name, ObjectScope scope,
                                    std::unique_ptr<NamedMutex>* mutex, bool* existed);

  // Opens it and takes it at once without waiting. Fails with
  // HRESULT_FROM_WIN32(183) when another holder owns it (the single-instance guard).
  [[nodiscard]] static HRESULT CreateOwned(const std::string& name, ObjectScope scope,
                                           std::unique_ptr<NamedMutex>* mutex);

  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Waits up to timeout_ms (kInfinite: no limit) for ownership; true when owned.
  // Recursive for the owning thread, as a Windows mutex is.
  [[nodiscard]] bool Lock(uint32_t timeout_ms);
  // False when the calling thread does not own it.
  bool Unlock();

  [[nodiscard]] const std::string& path() const;

 private:
  struct State;
  explicit NamedMutex(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_NAMED_MUTEX_H_
