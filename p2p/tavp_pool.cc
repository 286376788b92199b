#include "p2p/tavp_pool.h"

#include <algorithm>
#include <utility>

#include "base/logging/logging.h"
#include "p2p/tavp_task.h"

namespace lorvane {

using tobric::AutoLock;

TavpPool* TavpPool::GetInstance() {
  // A function's static is made once under the runtime's lock, with the check
  // repeated inside it; the pool is never destroyed, since tasks still polled
  // at exit refer to it.
  static TavpPool* const pool = new TavpPool();
  return pool;
}

TavpPool::TavpPool(TavpPoolOptions options)
    : options_(std::move(options)),
      timer_(std::make_unique<tobric::QueueTimer>(&timer_queue_, this, &TavpPool::OnTimer)) {}

TavpPool::~TavpPool() { timer_.reset(); }

HRESULT TavpPool::Add(std::shared_ptr<TavpTask> task) {
  AutoLock hold(lock_);
  const bool present =
      std::any_of(tasks_.begin(), tasks_.end(), [&](const auto& held) { return held == task; });
  if (!present) {
    tasks_.push_back(std::move(task));
    EnsureTimerRunning();
  }
  return S_OK;
}

void TavpPool::Remove(const TavpTask* task) {
  AutoLock hold(lock_);
  const auto it = std::find_if(tasks_.begin(), tasks_.end(),
                               [&](const auto& held) { return held.get() == task; });
  if (it != tasks_.end()) tasks_.erase(it);
}

size_t TavpPool::TaskCount() {
  AutoLock hold(lock_);
  return tasks_.size();
}

bool TavpPool::timer_running() {
  AutoLock hold(lock_);
  return timer_running_;
}

void TavpPool::EnsureTimerRunning() {
  if (timer_running_) return;
  const HRESULT hr =
      timer_->Start(options_.poll_interval_ms, 0, tobric::platform::kTimerExecuteOnlyOnce);
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelError,
         "[TavpPool::EnsureTimerRunning][Failed start queue timer][0x%x]",
         static_cast<unsigned>(hr));
    return;
  }
  timer_running_ = true;
}

void TavpPool::OnTimer(tobric::QueueTimer* timer) {
  auto* const pool = static_cast<TavpPool*>(timer->owner());
  if (pool == nullptr || timer != pool->timer_.get()) return;
  pool->Cycle();
}

void TavpPool::Cycle() {
  // A copy, so that the engine calls run without lock_: a Start may add a task
  // meanwhile, and a finishing task removes itself.
  std::vector<std::shared_ptr<TavpTask>> tasks;
  {
    AutoLock hold(lock_);
    tasks = tasks_;
  }
  for (const std::shared_ptr<TavpTask>& task : tasks) task->Update();
  {
    AutoLock hold(lock_);
    timer_running_ = false;
    if (!tasks_.empty()) EnsureTimerRunning();
  }
  if (options_.after_cycle) options_.after_cycle();
}

}  // namespace lorvane
