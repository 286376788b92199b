// A joinable operating-system thread with a chosen stack size.
//
// The work pool, the timer queues and the event registry make their threads
// through this class rather than std::thread for two reasons: std::thread cannot
// set a stack size, and thousands of blocked long-running workers must not each
// reserve the default 8 MiB; and threads made here block the asynchronous
// signals (SIGTERM, SIGINT, SIGHUP, SIGPIPE, ...), so those are delivered to
// the thread that waits for them instead of to whichever pool thread happens to
// run. Faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS) stay
// unblocked so that a crash report can still run on the thread that crashed.
//
// Owned by one object, which starts and joins it; not thread-safe in itself.
#ifndef BASE_PLATFORM_NATIVE_THREAD_H_
#define BASE_PLATFORM_NATIVE_THREAD_H_

#include <cstddef>
#include <functional>
#include <memory>

#include "base/result_codes.h"

namespace tobric::platform {

class NativeThread {
 public:
  NativeThread();
  // Joins the thread when it was started and not joined yet.
  ~NativeThread();
  NativeThread(NativeThread&& other) noexcept;
  NativeThread& operator=(NativeThread&& other) noexcept;
  NativeThread(const NativeThread&) = delete;
  NativeThread& operator=(const NativeThread&) = delete;

  // Runs body on a new thread. A thread that cannot be made gives the platform
  // error as an HRESULT (a resource limit, EAGAIN, is HRESULT_FROM_WIN32(8),
  // "not enough memory"), and body never runs.
  [[nodiscard]] HRESULT Start(std::function<void()> body, size_t stack_size);

  // Waits for the thread to end. Must not be called from the thread itself.
  void Join();
  // Lets the thread end on its own; its resources are released when it does.
  // For threads whose end nobody waits for.
  void Detach();

  [[nodiscard]] bool joinable() const { return handle_ != nullptr; }

  // Opaque; shared by the object and its running thread.
  struct Handle;

 private:
  // Shared with the running thread, which keeps the body alive after a Detach.
  std::shared_ptr<Handle> handle_;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_NATIVE_THREAD_H_
