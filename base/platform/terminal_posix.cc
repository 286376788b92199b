#include "base/platform/terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "base/platform/error.h"

namespace tobric::platform {

namespace {

constexpr int64_t kWaitSliceMs = 100;

using Clock = std::chrono::steady_clock;

int Descriptor(StandardStream stream) {
  switch (stream) {
    case StandardStream::kInput:
      return STDIN_FILENO;
    case StandardStream::kOutput:
      return STDOUT_FILENO;
    case StandardStream::kError:
      return STDERR_FILENO;
  }
  return -1;
}

// The handler may only touch lock-free atomics and write(): a self-pipe wakes a
// waiter in poll, the flag answers InterruptArrived without a system call.
std::atomic<bool> g_interrupted{false};
std::atomic<int> g_wake_write{-1};
int g_wake_read = -1;  // written once under g_install_lock, before the handler exists
std::mutex g_install_lock;
bool g_installed = false;

void OnInterrupt(int) {
  const int saved_errno = errno;
  g_interrupted.store(true);
  const int fd = g_wake_write.load();
  if (fd >= 0) {
    const char byte = 1;
    // A full pipe already holds a wake-up; the byte is not needed then.
    [[maybe_unused]] const ssize_t ignored = write(fd, &byte, 1);
  }
  errno = saved_errno;
}

void DrainWakePipe() {
  char buffer[64];
  while (read(g_wake_read, buffer, sizeof(buffer)) > 0) {
  }
}

}  // namespace

bool IsTerminal(StandardStream stream) { return isatty(Descriptor(stream)) == 1; }

int TerminalColumns(StandardStream stream) {
  winsize size{};
  if (ioctl(Descriptor(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

int TerminalRows(StandardStream stream) {
  winsize size{};
  if (ioctl(Descriptor(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_row;
}

HRESULT CatchInterrupt() {
  std::lock_guard<std::mutex> hold(g_install_lock);
  if (g_installed) return S_OK;
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return LastErrorHresult();
  g_wake_read = wake[0];
  g_wake_write.store(wake[1]);

  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls are restarted: the rest of the program (socket
  // reads with their own time limits) never sees EINTR because of Ctrl-C.
  action.sa_flags = SA_RESTART;
  if (sigaction(SIGINT, &action, nullptr) != 0) {
    const HRESULT hr = LastErrorHresult();
    g_wake_write.store(-1);
    close(wake[0]);
    close(wake[1]);
    g_wake_read = -1;
    return hr;
  }
  g_installed = true;
  return S_OK;
}

bool InterruptArrived() { return g_interrupted.load(); }

bool WaitForInterrupt(uint32_t timeout_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int wake_read;
  {
    std::lock_guard<std::mutex> hold(g_install_lock);
    wake_read = g_installed ? g_wake_read : -1;
  }
  while (!g_interrupted.load()) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) break;
    // In slices: a handler that runs late (a sanitizer may hold a signal back
    // until the thread's next system call) is seen within one slice.
    const int wait_ms = static_cast<int>(std::min<int64_t>(
        kWaitSliceMs, std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
    if (wake_read < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
      continue;
    }
    pollfd entry{wake_read, POLLIN, 0};
    if (poll(&entry, 1, wait_ms) > 0) DrainWakePipe();
  }
  return g_interrupted.load();
}

void ClearInterrupt() {
  std::lock_guard<std::mutex> hold(g_install_lock);
  g_interrupted.store(false);
  if (g_installed) DrainWakePipe();
}

}  // namespace tobric::platform
