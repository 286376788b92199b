#include "download/download_manager.h"

#include <algorithm>
#include <new>
#include <utility>

#include "base/logging/logging.h"
#include "base/platform/clock.h"
#include "base/platform/work_pool.h"
#include "base/threading/user_work_item.h"
#include "package/package.h"
#include "package/package_state.h"

namespace lorvane {

using tobric::AsyncCallback;
using tobric::AutoLock;
using tobric::LC_USER;

namespace {

using CompletionCallback =
    tobric::MethodAsyncCallback<DownloadManager, std::shared_ptr<TaskInterface>>;

}  // namespace

// ---------------------------------------------------------------------------
// TaskEntry

TaskEntry::TaskEntry(std::shared_ptr<TaskInterface> task, AsyncCallback<Package*>* finish)
    : task_(std::move(task)), finish_(finish) {}

TaskEntry::~TaskEntry() {
  delete cancel_;
  delete finish_;
  task_.reset();
}

void TaskEntry::set_cancel_callback(AsyncCallback<Package*>* cancel) {
  if (cancel_ != cancel) delete cancel_;
  cancel_ = cancel;
}

// ---------------------------------------------------------------------------
// TaskQueue

void TaskQueue::Append(std::shared_ptr<TaskEntry> entry) {
  AutoLock lock(lock_);
  entries_.push_back(std::move(entry));
}

void TaskQueue::Delete(const std::shared_ptr<TaskEntry>& entry) {
  std::shared_ptr<TaskEntry> removed;  // destroyed after the lock is let go
  {
    AutoLock lock(lock_);
    const auto it = std::find(entries_.begin(), entries_.end(), entry);
    if (it == entries_.end()) {
      TLOG(LC_USER, tobric::kLevelWarning, "[TaskQueue::Delete][Task is not found.][0x%p]",
           static_cast<const void*>(entry.get()));
      return;
    }
    removed = std::move(*it);
    entries_.erase(it);
  }
}

std::shared_ptr<TaskEntry> TaskQueue::FindByPackage(const Package* package) {
  AutoLock lock(lock_);
  for (const std::shared_ptr<TaskEntry>& entry : entries_) {
    if (entry->package() == package) return entry;
  }
  return nullptr;
}

std::shared_ptr<TaskEntry> TaskQueue::RemoveByPackage(const Package* package) {
  return RemoveFirst([package](const TaskEntry& entry) { return entry.package() == package; });
}

std::shared_ptr<TaskEntry> TaskQueue::RemoveByTask(const TaskInterface* task) {
  return RemoveFirst([task](const TaskEntry& entry) { return entry.task().get() == task; });
}

std::shared_ptr<TaskEntry> TaskQueue::RemoveFirst(
    const std::function<bool(const TaskEntry&)>& pick) {
  AutoLock lock(lock_);
  const auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&pick](const std::shared_ptr<TaskEntry>& e) { return pick(*e); });
  if (it == entries_.end()) return nullptr;
  std::shared_ptr<TaskEntry> entry = std::move(*it);
  entries_.erase(it);
  return entry;
}

std::vector<std::shared_ptr<TaskEntry>> TaskQueue::Copy() {
  AutoLock lock(lock_);
  return entries_;
}

std::vector<std::shared_ptr<TaskEntry>> TaskQueue::TakeAll() {
  AutoLock lock(lock_);
  std::vector<std::shared_ptr<TaskEntry>> all;
  all.swap(entries_);
  return all;
}

void TaskQueue::Clear() { const std::vector<std::shared_ptr<TaskEntry>> all = TakeAll(); }

size_t TaskQueue::Size() {
  AutoLock lock(lock_);
  return entries_.size();
}

// ---------------------------------------------------------------------------
// DownloadManager

DownloadManager::DownloadManager(std::unique_ptr<FactoryInterface> factory,
                                 tobric::ThreadPool* pool,
                                 std::function<int32_t()> concurrent_task_num,
                                 uint32_t stop_limit_ms)
    : factory_(std::move(factory)),
      pool_(pool),
      concurrent_task_num_(std::move(concurrent_task_num)),
      stop_limit_ms_(stop_limit_ms) {}

DownloadManager::~DownloadManager() {
  waiting_.Clear();
  running_.Clear();
}

HRESULT DownloadManager::Download(Package* package, AsyncCallback<Package*>* finish) {
  // Ours from here on; on the failure path it is let go without being invoked.
  std::unique_ptr<AsyncCallback<Package*>> owned_finish(finish);
  std::shared_ptr<TaskInterface> task = factory_->CreateTask(package);
  if (!task) {
    TLOG(LC_USER, tobric::kLevelError, "[DownloadManager::Download][CreateTask failed.]");
    return E_CREATE_TASK_FAILED;
  }
  auto entry = std::make_shared<TaskEntry>(std::move(task), owned_finish.release());
  package->state()->Waiting(package);
  waiting_.Append(std::move(entry));
  QueueScheduleTask();
  return S_OK;
}

HRESULT DownloadManager::CancelAsync(Package* package, AsyncCallback<Package*>* cancel) {
  package->state()->Pausing(package);
  // A cancel may wait for the package's lock while a task starts, so it runs as
  // a long item and never holds up scheduling passes.
  const HRESULT hr = tobric::QueueDeferredFunctionCall2(
      pool_, this, &DownloadManager::Cancel, package, cancel, tobric::platform::kWorkLongRunning);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[QueueDeferredFunctionCall2 failed %d]", hr);
    // The item that would have carried it is gone; nobody else holds it.
    delete cancel;
  }
  return hr;
}

HRESULT DownloadManager::StopAll() {
  // Waiting tasks were never started: their entries go without a word to anyone.
  // They are destroyed outside the queue's lock: a task's destructor may take
  // locks of its own.
  waiting_.Clear();

  for (const std::shared_ptr<TaskEntry>& entry : running_.Copy()) {
    static_cast<void>(DoCancel(entry));
  }

  // Tasks report their end through CompleteCallback, which empties the running
  // queue; the ones that do not finish in time are left as they are.
  const uint64_t start = tobric::platform::MonotonicMs();
  while (running_.Size() != 0) {
    const uint64_t elapsed = tobric::platform::MonotonicMs() - start;
    if (elapsed >= stop_limit_ms_) break;
    tobric::platform::SleepMs(
        static_cast<uint32_t>(std::min<uint64_t>(100, stop_limit_ms_ - elapsed)));
  }
  return S_OK;
}

void DownloadManager::QueueScheduleTask() {
  auto* item = new (std::nothrow)
      tobric::ThreadPoolCallBack0<DownloadManager>(this, &DownloadManager::ScheduleTask);
  if (item == nullptr) {
    TLOG(LC_USER, tobric::kLevelError,
         "[DownloadManager::QueueScheduleTask][Failed to queue a scheduling pass 0x%x]",
         E_OUTOFMEMORY);
    return;
  }
  const HRESULT hr = pool_->Queue(item, tobric::platform::kWorkDefault);
  if (Failed(hr)) {
    // After the pool's drain at stop nothing is started any more; the pass is
    // simply not run.
    TLOG(LC_USER, tobric::kLevelWarning,
         "[DownloadManager::QueueScheduleTask][Failed to queue a scheduling pass 0x%x]", hr);
    delete item;
  }
}

void DownloadManager::ScheduleTask() {
  bool again = false;
  do {
    const int32_t limit = concurrent_task_num_ ? concurrent_task_num_() : 1;

    std::shared_ptr<TaskEntry> picked;
    bool more = false;
    {
      AutoLock waiting_lock(waiting_.lock());
      AutoLock running_lock(running_.lock());
      more = limit > 0 && running_.Size() < static_cast<size_t>(limit) && waiting_.Size() != 0;
      if (more) {
        // Entries in other states are being canceled: their Cancel removes them.
        picked = waiting_.RemoveFirst([](const TaskEntry& entry) {
          return entry.package()->state_number() == STATE_WAITING_TO_DOWNLOAD;
        });
        if (picked) running_.Append(picked);
      }
    }

    again = picked && more;
    if (picked) {
      Package* package = picked->package();
      AutoLock package_lock(package->lock());
      const int32_t state = package->state_number();
      if (state == STATE_WAITING_TO_DOWNLOAD) {
        package->state()->Downloading(package);
        if (Failed(DoStart(picked))) running_.Delete(picked);
      } else {
        TLOG(LC_USER, 1, "[Failed to Schedule task for its state has been changed: %p][%d]",
             static_cast<void*>(package), state);
        running_.Delete(picked);
      }
      // Let go under the lock: whoever takes the package's lock next (a cancel,
      // the completion) holds the entry alone, and a dropped entry is gone.
      picked.reset();
    }
  } while (again);
}

HRESULT DownloadManager::DoStart(const std::shared_ptr<TaskEntry>& entry) {
  Package* package = entry->package();
  TaskInterface* task = entry->task().get();

  HRESULT r = task->Initialize();
  if (Failed(r)) {
    TLOG(LC_USER, tobric::kLevelError, "[Failed to initialize task %s][0x%x]",
         package->name().c_str(), static_cast<unsigned>(r));
  } else {
    // The setter tells the persister.
    package->set_start_time(tobric::platform::FileTimeNow());
    task->SetCallback(new CompletionCallback(this, &DownloadManager::CompleteCallback));
    r = task->Start();
    if (Failed(r)) {
      TLOG(LC_USER, tobric::kLevelError, "[Start task %s failed][0x%x]", package->name().c_str(),
           static_cast<unsigned>(r));
    }
  }
  if (Failed(r)) package->state()->Error(package, r);
  return r;
}

void DownloadManager::Cancel(Package* package, AsyncCallback<Package*>* cancel) {
  AutoLock package_lock(package->lock());
  // Ours; let go without being invoked on every road that does not hand it on,
  // before the package's lock is.
  std::unique_ptr<AsyncCallback<Package*>> owned_cancel(cancel);

  const int32_t state = package->state_number();
  if (state != STATE_PAUSEING) {
    TLOG(LC_USER, 1, "[DownloadManager::Cancel][Cancel operation is too late. %d]", state);
    return;
  }

  if (Succeeded(CancelWaitting(package, owned_cancel.get()))) {
    owned_cancel.release();  // CancelWaitting invoked and deleted it
    package->state()->Complete(package);
    QueueScheduleTask();
    return;
  }

  const std::shared_ptr<TaskEntry> entry = running_.FindByPackage(package);
  if (!entry) {
    TLOG(LC_USER, 1, "[The canceling target is not found.]");
    return;
  }
  entry->set_cancel_callback(owned_cancel.release());
  static_cast<void>(DoCancel(entry));
}

HRESULT DownloadManager::CancelWaitting(Package* package, AsyncCallback<Package*>* cancel) {
  std::shared_ptr<TaskEntry> entry = waiting_.RemoveByPackage(package);
  if (!entry) return E_FAIL;
  if (cancel != nullptr) cancel->Invoke(package);
  delete cancel;
  // The task was never started: the entry goes with its finish callback uninvoked.
  entry.reset();
  return S_OK;
}

HRESULT DownloadManager::DoCancel(const std::shared_ptr<TaskEntry>& entry) {
  Package* package = entry->package();
  AutoLock package_lock(package->lock());
  const HRESULT hr = entry->task()->Cancel();
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelWarning, "[Failed task->handle->Cancel 0x%x]",
         static_cast<unsigned>(hr));
  }
  return hr;
}

void DownloadManager::CompleteCallback(std::shared_ptr<TaskInterface> task) {
  Package* package = task->GetPackage();
  std::shared_ptr<TaskEntry> entry;
  HRESULT r = S_OK;
  {
    AutoLock package_lock(package->lock());
    package->set_download_speed(0);
    package->set_remainder_time(0);
    package->NotifyModified();

    r = task->GetErrorCode();
    if (Failed(r) && r != E_CANCELED) {
      package->state()->Error(package, r);
    } else {
      package->state()->Complete(package);
    }
    entry = running_.RemoveByTask(task.get());
  }

  QueueScheduleTask();

  if (entry) {
    if (r == E_CANCELED && entry->cancel_callback() != nullptr) {
      entry->cancel_callback()->Invoke(package);
    }
    if (entry->finish_callback() != nullptr) entry->finish_callback()->Invoke(package);
  }
  entry.reset();
}

}  // namespace lorvane
