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

std::shared_ptr<TaskEntry> TaskQueue::FindFirst(
    const std::function<bool(const TaskEntry&)>& pick) {
  AutoLock lock(lock_);
  for (const std::shared_ptr<TaskEntry>& entry : entries_) {
    if (pick(*entry)) return entry;
  }
  return nullptr;
}

bool TaskQueue::Contains(const std::shared_ptr<TaskEntry>& entry) {
  AutoLock lock(lock_);
  return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
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
  // Declared before the locks, so that a refused entry (and its task) is
  // destroyed after they are let go.
  std::shared_ptr<TaskEntry> entry;
  // The state decision and the append are one step under the package's lock:
  // of two Starts at once the second finds the package waiting and appends
  // nothing. The waiting queue's lock is held too, because StopAll sets its
  // flag under it before clearing the queue: an append either comes before
  // the clearing or is refused.
  AutoLock package_lock(package->lock());
  AutoLock waiting_lock(waiting_.lock());
  if (stopped_.load()) {
    TLOG(LC_USER, tobric::kLevelWarning,
         "[DownloadManager::Download][The engine is stopped; package is not queued][0x%x]",
         static_cast<unsigned>(tobric::E_POOL_DRAINED));
    return tobric::E_POOL_DRAINED;
  }
  // Queued already: the state would refuse a second entry and, in refusing,
  // put the package in error while its first entry still waits.
  if (package->state_number() == STATE_WAITING_TO_DOWNLOAD) return S_FALSE;
  std::shared_ptr<TaskInterface> task = factory_->CreateTask(package);
  if (!task) {
    TLOG(LC_USER, tobric::kLevelError, "[DownloadManager::Download][CreateTask failed.]");
    return E_CREATE_TASK_FAILED;
  }
  entry = std::make_shared<TaskEntry>(std::move(task), owned_finish.release());
  package->state()->Waiting(package);
  // The state refused the transition and has said why: nothing is queued.
  if (package->state_number() != STATE_WAITING_TO_DOWNLOAD) return S_FALSE;
  waiting_.Append(std::move(entry));
  QueueScheduleTask();
  return S_OK;
}

void DownloadManager::Reschedule() { QueueScheduleTask(); }

HRESULT DownloadManager::CancelAsync(Package* package, AsyncCallback<Package*>* cancel) {
  {
    AutoLock package_lock(package->lock());
    package->state()->Pausing(package);
  }
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
  {
    AutoLock waiting_lock(waiting_.lock());
    stopped_.store(true);
  }
  // Waiting tasks were never started: their entries go without a word to anyone.
  // They are destroyed outside the queue's lock: a task's destructor may take
  // locks of its own.
  waiting_.Clear();

  // Tasks still initialising are cancelled too: their start item sees the stop
  // and ends them instead of starting them.
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

// A pass never waits on the network or the disk: it only moves entries from
// the waiting queue to the running one and hands each to a start item. The
// package's state is checked and changed under the package's lock together
// with the move, so a pause either finds the package still waiting (and its
// cancel takes the entry out of the waiting queue) or already downloading
// (and its cancel reaches the running entry); never an entry in between.
void DownloadManager::ScheduleTask() {
  for (;;) {
    if (stopped_.load()) return;
    const int32_t limit = concurrent_task_num_ ? concurrent_task_num_() : 1;
    std::shared_ptr<TaskEntry> candidate;
    {
      AutoLock waiting_lock(waiting_.lock());
      AutoLock running_lock(running_.lock());
      if (limit <= 0 || running_.Size() >= static_cast<size_t>(limit)) return;
      // Entries in other states are being canceled: their Cancel removes them.
      candidate = waiting_.FindFirst([](const TaskEntry& entry) {
        return entry.package()->state_number() == STATE_WAITING_TO_DOWNLOAD;
      });
    }
    if (!candidate) return;

    Package* const package = candidate->package();
    bool started = false;
    {
      AutoLock package_lock(package->lock());
      AutoLock waiting_lock(waiting_.lock());
      AutoLock running_lock(running_.lock());
      // Everything may have changed while no lock was held.
      if (!stopped_.load() && running_.Size() < static_cast<size_t>(limit) &&
          package->state_number() == STATE_WAITING_TO_DOWNLOAD &&
          waiting_.Contains(candidate)) {
        waiting_.Delete(candidate);
        running_.Append(candidate);
        package->state()->Downloading(package);
        started = true;
      }
    }
    if (started) QueueStartItem(std::move(candidate));
  }
}

// The start item hands its entry over to StartTask rather than keeping a
// copy until the pool deletes it: StartTask lets go of it under the package's
// lock, so whoever takes that lock next (a cancel, the completion) holds the
// entry alone, and an ended entry's callbacks go with it at once.
class DownloadManager::StartItem : public tobric::UserWorkItem {
 public:
  StartItem(DownloadManager* manager, std::shared_ptr<TaskEntry> entry)
      : manager_(manager), entry_(std::move(entry)) {}
  void Run() override { manager_->StartTask(std::move(entry_)); }
  // The entry back from an item that could not be queued.
  std::shared_ptr<TaskEntry> TakeEntry() { return std::move(entry_); }

 private:
  DownloadManager* const manager_;
  std::shared_ptr<TaskEntry> entry_;
};

void DownloadManager::QueueStartItem(std::shared_ptr<TaskEntry> entry) {
  Package* const package = entry->package();
  // A long item: Initialize may wait for a slow server for a minute, and must
  // hold up no pass, timer tick or save meanwhile. The item takes the only
  // reference this thread has: once queued it may run, and end, at once.
  auto* item = new (std::nothrow) StartItem(this, std::move(entry));
  const HRESULT hr = item != nullptr ? pool_->Queue(item, tobric::platform::kWorkLongRunning)
                                     : E_OUTOFMEMORY;
  if (Succeeded(hr)) return;
  TLOG(LC_USER, tobric::kLevelError,
       "[DownloadManager::QueueStartItem][Failed to queue a start 0x%x]",
       static_cast<unsigned>(hr));
  // A failed allocation never made the item, and left the entry here.
  if (item != nullptr) {
    entry = item->TakeEntry();
    delete item;
  }
  bool ended = false;
  {
    AutoLock package_lock(package->lock());
    ended = EndUnstarted(package, entry, hr);
    entry.reset();
  }
  if (ended) QueueScheduleTask();
}

void DownloadManager::StartTask(std::shared_ptr<TaskEntry> entry) {
  Package* const package = entry->package();
  TaskInterface* const task = entry->task().get();
  if (start_hook_) start_hook_(package);

  // Without any lock: the probe and the layout talk to the server and the
  // disk. A cancel meanwhile reaches the task (DoCancel), which cuts them short.
  HRESULT r = task->Initialize();
  if (Failed(r)) {
    TLOG(LC_USER, tobric::kLevelError, "[Failed to initialize task %s][0x%x]",
         package->name().c_str(), static_cast<unsigned>(r));
  }

  bool ended = false;
  {
    AutoLock package_lock(package->lock());
    if (stopped_.load() || package->state_number() != STATE_DOWNLOADING) {
      // A pause, a delete or the stop came while the task was initialising.
      r = E_CANCELED;
    } else if (Succeeded(r)) {
      // The setter tells the persister.
      package->set_start_time(tobric::platform::FileTimeNow());
      task->SetCallback(new CompletionCallback(this, &DownloadManager::CompleteCallback));
      r = task->Start();
      if (Failed(r)) {
        TLOG(LC_USER, tobric::kLevelError, "[Start task %s failed][0x%x]",
             package->name().c_str(), static_cast<unsigned>(r));
      }
    }
    if (Failed(r)) ended = EndUnstarted(package, entry, r);
    entry.reset();
  }
  if (ended) QueueScheduleTask();
}

bool DownloadManager::EndUnstarted(Package* package, const std::shared_ptr<TaskEntry>& entry,
                                   HRESULT code) {
  // Destroyed here, under the package's lock, like an entry a cancel takes
  // out of the waiting queue.
  const std::shared_ptr<TaskEntry> removed = running_.RemoveByTask(entry->task().get());
  if (code == E_CANCELED) {
    // As for a task cancelled while it waited: the cancel is answered before
    // the package's Complete, and the finish callback of a task that never
    // started goes uninvoked.
    if (removed != nullptr && removed->cancel_callback() != nullptr) {
      removed->cancel_callback()->Invoke(package);
    }
    package->state()->Complete(package);
  } else {
    package->state()->Error(package, code);
  }
  return removed != nullptr;
}

void DownloadManager::Cancel(Package* package, AsyncCallback<Package*>* cancel) {
  // Ours; invoked once the cancel has been dealt with, on every road: a
  // permanent delete deletes the files from it, whatever ended the task.
  std::unique_ptr<AsyncCallback<Package*>> owned_cancel(cancel);
  std::shared_ptr<TaskEntry> running;
  {
    AutoLock package_lock(package->lock());
    const int32_t state = package->state_number();
    if (state != STATE_PAUSEING) {
      // The task ended on its own (or a start found the pause) first.
      TLOG(LC_USER, 1, "[DownloadManager::Cancel][Cancel operation is too late. %d]", state);
    } else if (Succeeded(CancelWaitting(package, owned_cancel.get()))) {
      owned_cancel.release();  // CancelWaitting invoked and deleted it
      package->state()->Complete(package);
      QueueScheduleTask();
      return;
    } else if ((running = running_.FindByPackage(package)) != nullptr) {
      running->set_cancel_callback(owned_cancel.release());
    } else {
      // Neither waiting nor running: no end will ever come to take the
      // package out of STATE_PAUSEING, so the cancel ends it.
      TLOG(LC_USER, 1, "[The canceling target is not found.]");
      package->state()->Complete(package);
    }
  }
  if (running != nullptr) {
    // The task's Cancel runs without the package's lock: a P2P task asks its
    // engine to stop and delete, waiting between busy answers for seconds,
    // and the lock would hold every call on this package and the P2P poll
    // that long. It cannot overtake the task's Start: the package turned to
    // STATE_PAUSEING under its lock, which a start item holds around Start.
    static_cast<void>(CancelTask(*running));
    return;
  }
  if (owned_cancel != nullptr) owned_cancel->Invoke(package);
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
  // At stop a start item may still be inside the task's Start: the package's
  // lock, which it holds there, keeps the two apart.
  AutoLock package_lock(entry->package()->lock());
  return CancelTask(*entry);
}

HRESULT DownloadManager::CancelTask(const TaskEntry& entry) {
  const HRESULT hr = entry.task()->Cancel();
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
