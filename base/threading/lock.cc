#include "base/threading/lock.h"

#include <atomic>

#include "base/platform/clock.h"

namespace tobric {

namespace {
std::atomic<bool> g_machine_wide_names{false};
}  // namespace

// The std mutexes underneath are no capabilities the analysis knows.
bool LLock::Lock() NO_THREAD_SAFETY_ANALYSIS {
  mutex_.lock();
  return true;
}

bool LLock::Unlock() NO_THREAD_SAFETY_ANALYSIS {
  mutex_.unlock();
  return true;
}

bool LLock::TryLock(uint32_t time_limit_ms) NO_THREAD_SAFETY_ANALYSIS {
  if (mutex_.try_lock()) return true;
  const uint32_t t0 = platform::TickCount();
  do {
    platform::YieldThread();
    if (mutex_.try_lock()) return true;
  } while (platform::TickCount() - t0 < time_limit_ms);
  return false;
}

void GLock::SetMachineWideNames(bool machine_wide) { g_machine_wide_names = machine_wide; }

HRESULT GLock::Initialize(const std::string& name) {
  const auto scope =
      g_machine_wide_names ? platform::ObjectScope::kMachine : platform::ObjectScope::kUser;
  std::unique_ptr<platform::NamedMutex> mutex;
  if (Failed(platform::NamedMutex::Open(name, scope, &mutex, nullptr))) return E_FAIL;
  mutex_ = std::move(mutex);
  return S_OK;
}

bool GLock::Lock() NO_THREAD_SAFETY_ANALYSIS { return TryLock(platform::kInfinite); }

bool GLock::Unlock() NO_THREAD_SAFETY_ANALYSIS { return mutex_ && mutex_->Unlock(); }

bool GLock::TryLock(uint32_t time_limit_ms) NO_THREAD_SAFETY_ANALYSIS { return mutex_ && mutex_->Lock(time_limit_ms); }

}  // namespace tobric
