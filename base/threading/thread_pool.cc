#include "base/threading/thread_pool.h"

#include <chrono>

namespace tobric {

ThreadPool::ThreadPool(platform::WorkPool* work_pool)
    : work_pool_(work_pool != nullptr ? work_pool : platform::WorkPool::Default()),
      counter_(std::make_shared<Counter>()) {}

ThreadPool::~ThreadPool() = default;

HRESULT ThreadPool::Initialize() {
  drain_limit_ms_ = kDefaultDrainLimitMs;
  auto event = std::make_shared<ManualResetEvent>();
  std::lock_guard lock(mutex_);
  stop_event_ = std::move(event);
  drained_ = false;
  return S_OK;
}

HRESULT ThreadPool::Queue(UserWorkItem* item, uint32_t flags) {
  if (item == nullptr) return E_INVALIDARG;
  std::shared_ptr<ManualResetEvent> stop_event;
  bool drained;
  {
    std::lock_guard lock(mutex_);
    stop_event = stop_event_;
    drained = drained_;
  }
  if (!stop_event) {
    if (!drained) return E_UNEXPECTED;
    item->set_stop_event(std::make_shared<ManualResetEvent>(true));
    return E_POOL_DRAINED;
  }

  auto* record = new (std::nothrow) Record{counter_, item};
  if (record == nullptr) return E_OUTOFMEMORY;
  item->set_stop_event(std::move(stop_event));
  counter_->pending.fetch_add(1);
  const HRESULT hr = work_pool_->Queue(&ThreadPool::Trampoline, record, flags);
  if (Failed(hr)) {
    counter_->pending.fetch_sub(1);
    delete record;
    return hr;
  }
  return S_OK;
}

void ThreadPool::Trampoline(void* context) {
  std::unique_ptr<Record> record(static_cast<Record*>(context));
  record->item->Run();
  delete record->item;
  Counter& counter = *record->counter;
  if (counter.pending.fetch_sub(1) == 1) {
    // Taking the mutex orders this wake-up after Drain's check of the count, so
    // Drain cannot miss it.
    std::lock_guard lock(counter.mutex);
    counter.idle.notify_all();
  }
}

void ThreadPool::Drain() {
  std::shared_ptr<ManualResetEvent> stop_event;
  {
    std::lock_guard lock(mutex_);
    stop_event = stop_event_;
  }
  if (!stop_event) return;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(drain_limit_ms_.load());
  stop_event->Set();
  {
    std::unique_lock lock(counter_->mutex);
    counter_->idle.wait_until(lock, deadline, [this] { return counter_->pending.load() == 0; });
  }
  std::lock_guard lock(mutex_);
  // An Initialize that ran meanwhile made a fresh event; that one stays.
  if (stop_event_ == stop_event) {
    stop_event_.reset();
    drained_ = true;
  }
}

}  // namespace tobric
