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
#include "base/threading/thread_annotations.h"

namespace tobric {

class CAPABILITY("mutex") Lockable {
 public:
  virtual ~Lockable() = default;
  // Blocks until the lock is held; true.
  virtual bool Lock() ACQUIRE() = 0;
  virtual bool Unlock() RELEASE() = 0;
};

// The in-process lock every engine component uses. Recursive: the owning thread
// may take it again, which the engine relies on (the offline center holds its lock
// across calls that lock again).
class CAPABILITY("mutex") LLock : public Lockable {
 public:
  LLock() = default;
  LLock(const LLock&) = delete;
  LLock& operator=(const LLock&) = delete;

  bool Lock() override ACQUIRE();
  bool Unlock() override RELEASE();
  // Tries, then keeps trying with yields (no kernel wait: these locks are held
  // briefly) until time_limit_ms has passed. A limit of 0 still makes two attempts.
  [[nodiscard]] bool TryLock(uint32_t time_limit_ms) TRY_ACQUIRE(true);

 private:
  std::recursive_mutex mutex_;
};

// A lock shared by the processes of one user (or of the machine): a named mutex.
// Recursive for its owning thread; a holder that died leaves it acquirable.
class CAPABILITY("mutex") GLock : public Lockable {
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
  bool Lock() override ACQUIRE();
  // False when the mutex is not held by the calling thread.
  bool Unlock() override RELEASE();
  [[nodiscard]] bool TryLock(uint32_t time_limit_ms) TRY_ACQUIRE(true);

 private:
  std::unique_ptr<platform::NamedMutex> mutex_;
};

// Holds a Lockable for its scope.
class SCOPED_CAPABILITY AutoLock {
 public:
  explicit AutoLock(Lockable* lock) ACQUIRE(lock) NO_THREAD_SAFETY_ANALYSIS : lock_(lock) {
    lock_->Lock();
  }
  explicit AutoLock(Lockable& lock) ACQUIRE(lock) NO_THREAD_SAFETY_ANALYSIS : lock_(&lock) {
    lock_->Lock();
  }
  ~AutoLock() RELEASE() NO_THREAD_SAFETY_ANALYSIS { lock_->Unlock(); }
  AutoLock(const AutoLock&) = delete;
  AutoLock& operator=(const AutoLock&) = delete;

 private:
  Lockable* lock_;
};

// A plain (not recursive) mutex whose holders the compiler checks: the leaf
// locks that guard a few fields for a moment. Lower-case lock and unlock make
// it, and MutexLock, usable with std::condition_variable_any.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS { mutex_.lock(); }
  void unlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope. A condition variable (std::condition_variable_any)
// may wait on it; the wait lets the mutex go and takes it back before it returns.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) NO_THREAD_SAFETY_ANALYSIS : mutex_(mutex) {
    mutex_.lock();
  }
  ~MutexLock() RELEASE() NO_THREAD_SAFETY_ANALYSIS { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // For condition_variable_any only.
  void lock() NO_THREAD_SAFETY_ANALYSIS { mutex_.lock(); }
  void unlock() NO_THREAD_SAFETY_ANALYSIS { mutex_.unlock(); }

 private:
  Mutex& mutex_;
};

}  // namespace tobric

#endif  // BASE_THREADING_LOCK_H_
