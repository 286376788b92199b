#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <utility>

#include "base/platform/error.h"
#include "base/platform/native_thread.h"
#include "base/platform/signals.h"

namespace tobric::platform {

namespace {

// The thread only waits and calls the callback, which opens and writes a file.
constexpr size_t kWatcherStackSize = 128 * 1024;

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

int SignalNumber(TerminationSignal signal) {
  switch (signal) {
    case TerminationSignal::kTerminate:
      return SIGTERM;
    case TerminationSignal::kInterrupt:
      return SIGINT;
    case TerminationSignal::kHangUp:
      return SIGHUP;
  }
  return SIGTERM;
}

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

}  // namespace

HRESULT BlockTerminationSignals() {
  const sigset_t set = TerminationSet();
  const int err = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (err != 0) return HresultFromErrno(err);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGPIPE, &ignore, nullptr) != 0) return LastErrorHresult();
  return S_OK;
}

HRESULT UnblockTerminationSignals() {
  const sigset_t set = TerminationSet();
  const int err = pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  return err == 0 ? S_OK : HresultFromErrno(err);
}

HRESULT SendSignalToSelf(TerminationSignal signal) {
  if (kill(getpid(), SignalNumber(signal)) != 0) return LastErrorHresult();
  return S_OK;
}

// signal_fd and stop_fd are constant after Start; the thread alone reads them
// until the destructor, which writes stop_fd and joins before closing them.
struct SignalWatcher::Impl {
  int signal_fd = -1;
  int stop_fd = -1;
  Callback callback;
  NativeThread thread;

  ~Impl() {
    CloseFd(&signal_fd);
    CloseFd(&stop_fd);
  }

  void Run() {
    for (;;) {
      pollfd fds[2] = {{stop_fd, POLLIN, 0}, {signal_fd, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents != 0) return;
      signalfd_siginfo info{};
      const ssize_t got = read(signal_fd, &info, sizeof(info));
      if (got != static_cast<ssize_t>(sizeof(info))) continue;
      switch (static_cast<int>(info.ssi_signo)) {
        case SIGTERM:
          callback(TerminationSignal::kTerminate);
          break;
        case SIGINT:
          callback(TerminationSignal::kInterrupt);
          break;
        case SIGHUP:
          callback(TerminationSignal::kHangUp);
          break;
        default:
          break;
      }
    }
  }
};

SignalWatcher::SignalWatcher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HRESULT SignalWatcher::Start(Callback callback, std::unique_ptr<SignalWatcher>* watcher) {
  auto impl = std::make_unique<Impl>();
  const sigset_t set = TerminationSet();
  impl->signal_fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (impl->signal_fd < 0) return LastErrorHresult();
  impl->stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl->stop_fd < 0) return LastErrorHresult();
  impl->callback = std::move(callback);
  Impl* raw = impl.get();
  const HRESULT hr = impl->thread.Start([raw] { raw->Run(); }, kWatcherStackSize);
  if (Failed(hr)) return hr;
  watcher->reset(new SignalWatcher(std::move(impl)));
  return S_OK;
}

SignalWatcher::~SignalWatcher() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(impl_->stop_fd, &one, sizeof(one));
  impl_->thread.Join();
}

}  // namespace tobric::platform
