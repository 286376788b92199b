#include "base/platform/native_thread.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>

#include <utility>

#include "base/platform/error.h"

namespace tobric::platform {

struct NativeThread::Handle {
  pthread_t thread{};
  std::function<void()> body;
};

namespace {

// The thread holds its own reference to the handle, so the body outlives a
// NativeThread that detached and went away.
void* ThreadMain(void* argument) {
  std::unique_ptr<std::shared_ptr<NativeThread::Handle>> handle(
      static_cast<std::shared_ptr<NativeThread::Handle>*>(argument));
  (*handle)->body();
  return nullptr;
}

// The new thread inherits the creator's signal mask, so the creator blocks the
// asynchronous signals around pthread_create: the thread never runs a moment
// with them open.
sigset_t AsynchronousSignals() {
  sigset_t set;
  sigfillset(&set);
  for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) {
    sigdelset(&set, fault);
  }
  return set;
}

}  // namespace

NativeThread::NativeThread() = default;

NativeThread::~NativeThread() { Join(); }

NativeThread::NativeThread(NativeThread&& other) noexcept : handle_(std::move(other.handle_)) {}

NativeThread& NativeThread::operator=(NativeThread&& other) noexcept {
  if (this != &other) {
    Join();
    handle_ = std::move(other.handle_);
  }
  return *this;
}

HRESULT NativeThread::Start(std::function<void()> body, size_t stack_size) {
  if (handle_) return E_UNEXPECTED;
  auto handle = std::make_shared<Handle>();
  handle->body = std::move(body);
  auto* thread_reference = new std::shared_ptr<Handle>(handle);

  pthread_attr_t attributes;
  int rc = pthread_attr_init(&attributes);
  if (rc != 0) return HresultFromErrno(rc);
  const size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
  if (stack_size < minimum) stack_size = minimum;
  rc = pthread_attr_setstacksize(&attributes, stack_size);
  if (rc == 0) {
    const sigset_t blocked = AsynchronousSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    rc = pthread_create(&handle->thread, &attributes, &ThreadMain, thread_reference);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  pthread_attr_destroy(&attributes);
  if (rc != 0) delete thread_reference;
  if (rc == EAGAIN) return HresultFromWin32(kErrorNotEnoughMemory);
  if (rc != 0) return HresultFromErrno(rc);
  handle_ = std::move(handle);
  return S_OK;
}

void NativeThread::Join() {
  if (!handle_) return;
  pthread_join(handle_->thread, nullptr);
  handle_.reset();
}

void NativeThread::Detach() {
  if (!handle_) return;
  pthread_detach(handle_->thread);
  handle_.reset();
}

}  // namespace tobric::platform
