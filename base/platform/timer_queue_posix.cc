#include "base/platform/timer_queue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "base/platform/native_thread.h"
#include "base/platform/work_pool.h"

namespace tobric::platform {

namespace {

using Clock = std::chrono::steady_clock;

// The timing thread only sleeps and hands callbacks to the pool.
constexpr size_t kTimingThreadStack = 128 * 1024;

}  // namespace

// One timing thread sleeps until the earliest due time and hands the callback to
// the work pool, where each tick gets a timer-and-wait thread of its own;
// callbacks never run on the timing thread, so a slow callback delays no other
// timer.
//
// Lifetime: the TimerQueue owns one reference; every callback handed to the
// pool owns another, so a callback still queued when the TimerQueue is gone
// finds its state, sees its timer deleted and returns without calling anybody.
// The timing thread uses a plain pointer: ~TimerQueue joins it first.
//
// All members below `mutex` are guarded by it.
struct TimerQueue::Impl : std::enable_shared_from_this<Impl> {
  struct Timer {
    Callback callback = nullptr;
    void* parameter = nullptr;
    Clock::time_point due;
    std::chrono::milliseconds period{0};
    bool once = false;
    bool deleted = false;        // no callback may start any more
    bool delete_waiter = false;  // a DeleteTimer(wait) erases the entry itself
    int running = 0;             // callbacks between their start and their return
    std::vector<std::thread::id> running_threads;
  };

  // A callback handed to the pool.
  struct Call {
    std::shared_ptr<Impl> impl;
    TimerId id;
  };

  explicit Impl(WorkPool* work_pool) : pool(work_pool) {}

  void TimingLoop();
  static void RunCall(void* context);
  HRESULT EnsureThread();
  // Callbacks of the timer running on threads other than the caller's.
  static int OthersRunning(const Timer& timer);

  WorkPool* const pool;
  std::mutex mutex;
  std::condition_variable timing_wake;
  std::condition_variable callbacks_done;
  std::map<TimerId, Timer> timers;
  std::set<std::pair<Clock::time_point, TimerId>> schedule;  // armed timers by due time
  TimerId next_id = 1;
  bool stopping = false;
  NativeThread thread;
};

int TimerQueue::Impl::OthersRunning(const Timer& timer) {
  const auto self = std::this_thread::get_id();
  return timer.running - static_cast<int>(std::count(timer.running_threads.begin(),
                                                     timer.running_threads.end(), self));
}

HRESULT TimerQueue::Impl::EnsureThread() {
  if (thread.joinable()) return S_OK;
  return thread.Start([this] { TimingLoop(); }, kTimingThreadStack);
}

void TimerQueue::Impl::TimingLoop() {
  std::unique_lock lock(mutex);
  while (!stopping) {
    if (schedule.empty()) {
      timing_wake.wait(lock);
      continue;
    }
    const auto [due, id] = *schedule.begin();
    const Clock::time_point now = Clock::now();
    if (now < due) {
      timing_wake.wait_until(lock, due);
      continue;
    }
    schedule.erase(schedule.begin());
    Timer& timer = timers.at(id);
    if (!timer.once) {
      // Due times advance by whole periods so that ticks do not drift; after a
      // stall longer than a period the missed ticks are skipped, not made up.
      Clock::time_point next = due + timer.period;
      if (next <= now) next = now + timer.period;
      timer.due = next;
      schedule.emplace(next, id);
    }
    // A tick is queued even when the previous one still runs; the owner decides
    // what to do with overlapping ticks. A tick the pool refuses is lost, as a
    // late one would be.
    //
    // Ticks go to the pool's timer-and-wait threads, not to its default ones: a
    // default item may block for long (a save waiting on a disk flush, a lock
    // held by a cancel), and with every default thread so blocked, ticks queued
    // behind them would stop the HTTP tasks' idle checks, the P2P poll and the
    // delayed save of the whole process. Nor do they go with the long-running
    // items, whose set may be full of HTTP workers stuck in a connect.
    auto* call = new Call{shared_from_this(), id};
    if (Failed(pool->Queue(&Impl::RunCall, call, kWorkTimerOrWait))) delete call;
  }
}

void TimerQueue::Impl::RunCall(void* context) {
  std::unique_ptr<Call> call(static_cast<Call*>(context));
  Impl* impl = call->impl.get();
  Callback callback;
  void* parameter;
  {
    std::lock_guard lock(impl->mutex);
    auto it = impl->timers.find(call->id);
    // Deleted after the tick was queued: its owner may already have freed the
    // parameter.
    if (it == impl->timers.end() || it->second.deleted) return;
    ++it->second.running;
    it->second.running_threads.push_back(std::this_thread::get_id());
    callback = it->second.callback;
    parameter = it->second.parameter;
  }
  callback(parameter, true);
  std::lock_guard lock(impl->mutex);
  // The entry is still there: it is erased only when nothing of it runs.
  Timer& timer = impl->timers.at(call->id);
  --timer.running;
  timer.running_threads.erase(std::find(timer.running_threads.begin(), timer.running_threads.end(),
                                        std::this_thread::get_id()));
  if (timer.deleted && timer.running == 0 && !timer.delete_waiter) impl->timers.erase(call->id);
  impl->callbacks_done.notify_all();
}

TimerQueue::TimerQueue(WorkPool* pool)
    : impl_(std::make_shared<Impl>(pool != nullptr ? pool : WorkPool::Default())) {}

TimerQueue::~TimerQueue() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    impl_->timing_wake.notify_all();
  }
  impl_->thread.Join();
  std::unique_lock lock(impl_->mutex);
  impl_->schedule.clear();
  for (auto& [id, timer] : impl_->timers) timer.deleted = true;
  // A callback of this queue that destroys the queue cannot wait for itself; its
  // entry goes when it returns.
  impl_->callbacks_done.wait(lock, [this] {
    for (const auto& [id, timer] : impl_->timers) {
      if (Impl::OthersRunning(timer) != 0) return false;
    }
    return true;
  });
  std::erase_if(impl_->timers, [](const auto& entry) { return entry.second.running == 0; });
}

HRESULT TimerQueue::CreateTimer(Callback callback, void* parameter, uint32_t due_ms,
                                uint32_t period_ms, uint32_t flags, TimerId* id) {
  if (callback == nullptr || id == nullptr) return E_INVALIDARG;
  std::lock_guard lock(impl_->mutex);
  const HRESULT hr = impl_->EnsureThread();
  if (Failed(hr)) return hr;
  const TimerId new_id = impl_->next_id++;
  Impl::Timer& timer = impl_->timers[new_id];
  timer.callback = callback;
  timer.parameter = parameter;
  timer.due = Clock::now() + std::chrono::milliseconds(due_ms);
  timer.period = std::chrono::milliseconds(period_ms);
  timer.once = period_ms == 0 || (flags & kTimerExecuteOnlyOnce) != 0;
  impl_->schedule.emplace(timer.due, new_id);
  impl_->timing_wake.notify_all();
  *id = new_id;
  return S_OK;
}

HRESULT TimerQueue::DeleteTimer(TimerId id, bool wait) {
  std::unique_lock lock(impl_->mutex);
  auto it = impl_->timers.find(id);
  if (it == impl_->timers.end() || it->second.deleted) return E_INVALIDARG;
  Impl::Timer& timer = it->second;
  timer.deleted = true;
  impl_->schedule.erase({timer.due, id});
  if (wait) {
    if (Impl::OthersRunning(timer) != timer.running) {
      // Called from the timer's own callback: waiting would never end. The timer
      // is deleted all the same, so no further tick reaches an owner that is
      // about to go away.
      return E_UNEXPECTED;
    }
    timer.delete_waiter = true;
    impl_->callbacks_done.wait(lock, [&timer] { return timer.running == 0; });
  }
  if (timer.running == 0) impl_->timers.erase(id);
  return S_OK;
}

}  // namespace tobric::platform
