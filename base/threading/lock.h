// Locks behind one interface: LLock inside the process, GLock across processes,
// and AutoLock, the scoped guard for either.
#ifndef BASE_THREADING_LOCK_H_
#define BASE_THREADING_LOCK_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/platform/named_mutex.h"
#include "base/result_codes.h"

namespace tobric {

class Lockable {
 public:
  virtual ~Lockable() = default;
  // Blocks until the lock is held; true.
  virtual bool Lock() = 0;
  virtual bool Unlock() = 0;
};

// The in-process lock every engine component uses. Recursive: the owning thread
// may take it again, which the engine relies on (the offline center holds its lock
// across calls that lock again).
class LLock : public Lockable {
 public:
  LLock() = default;
  LLock(const LLock&) = delete;
  LLock& operator=(const LLock&) = delete;

  bool Lock() override;
  bool Unlock() override;
  // Tries, then keeps trying with yields (no kernel wait: these locks are held
  // briefly) until time_limit_ms has passed. A limit of 0 still makes two attempts.
  [[nodiscard]] bool TryLock(uint32_t time_limit_ms);

 private:
  std::recursive_mutex mutex_;
};

// A lock shared by the processes of one user (or of the machine): a named mutex.
// Recursive for its owning thread; a holder that died leaves it acquirable.
class GLock : public Lockable {
 public:
  GLock() = default;
  GLock(const GLock&) = delete;
  GLock& operator=(const GLock&) = delete;

  // Opens or creates the named mutex; E_FAIL when it cannot be had. Per-user or
  // machine-wide as chosen process-wide by SetMachineWideNames.
  [[nodiscard]] HRESULT Initialize(const std::string& name);

  // The process-wide choice between per-user and machine-wide object names
  // (per-user unless set).
  static void SetMachineWideNames(bool machine_wide);

  // Lock is TryLock without a limit; false when Initialize failed.
  bool Lock() override;
  // False when the mutex is not held by the calling thread.
  bool Unlock() override;
  [[nodiscard]] bool TryLock(uint32_t time_limit_ms);

 private:
  std::unique_ptr<platform::NamedMutex> mutex_;
};

// Holds a Lockable for its scope.
class AutoLock {
 public:
  explicit AutoLock(Lockable* lock) : lock_(lock) { lock_->Lock(); }
  explicit AutoLock(Lockable& lock) : AutoLock(&lock) {}
  ~AutoLock() { lock_->Unlock(); }
  AutoLock(const AutoLock&) = delete;
  AutoLock& operator=(const AutoLock&) = delete;

 private:
  Lockable* lock_;
};

}  // namespace tobric

#endif  // BASE_THREADING_LOCK_H_
