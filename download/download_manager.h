// The download manager: the waiting and running queues of tasks, the
// scheduling passes that start waiting tasks within the concurrency limit,
// cancellation, and the completion of every task.
#ifndef DOWNLOAD_DOWNLOAD_MANAGER_H_
#define DOWNLOAD_DOWNLOAD_MANAGER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/result_codes.h"
#include "base/threading/async_callback.h"
#include "base/threading/lock.h"
#include "base/threading/thread_pool.h"
#include "download/download_interface.h"
#include "download/task_interface.h"
#include "package/package.h"

namespace lorvane {

// One task the manager knows, with the callbacks to invoke when it ends. Held by
// shared_ptr: by the queue it is in, and for a while by the pass, cancel or
// completion that works on it.
//
// Owns both callbacks (either may be null). The cancel callback is set by a
// cancel of the running task, under the package's lock, and read by the
// completion after it has taken the entry out of the running queue under that
// same lock; from then on the completion is the only holder that looks at it.
// Destroying an entry deletes the cancel callback, then the finish callback,
// then lets go of the task; the callbacks are not invoked.
class TaskEntry {
 public:
  TaskEntry(std::shared_ptr<TaskInterface> task, tobric::AsyncCallback<Package*>* finish);
  ~TaskEntry();
  TaskEntry(const TaskEntry&) = delete;
  TaskEntry& operator=(const TaskEntry&) = delete;

  [[nodiscard]] const std::shared_ptr<TaskInterface>& task() const { return task_; }
  // The task's package (not owned).
  [[nodiscard]] Package* package() const { return task_->GetPackage(); }

  [[nodiscard]] tobric::AsyncCallback<Package*>* finish_callback() const { return finish_; }
  [[nodiscard]] tobric::AsyncCallback<Package*>* cancel_callback() const { return cancel_; }
  // Takes ownership; a different callback held before is deleted.
  void set_cancel_callback(tobric::AsyncCallback<Package*>* cancel);

 private:
  std::shared_ptr<TaskInterface> task_;
  tobric::AsyncCallback<Package*>* finish_;
  tobric::AsyncCallback<Package*>* cancel_ = nullptr;
};

// An ordered list of entries under its own recursive lock; the manager has two.
// Every operation takes the lock for its own duration only. A scheduling pass
// takes lock() itself (the waiting queue's, then the running queue's) to look at
// both queues and move one entry as one step; the operations may be called
// while it is held. Removal keeps the order of the others.
class TaskQueue {
 public:
  TaskQueue() = default;
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  [[nodiscard]] tobric::LLock& lock() RETURN_CAPABILITY(lock_) { return lock_; }

  void Append(std::shared_ptr<TaskEntry> entry);
  // Removes the element holding this very entry; logs and changes nothing when
  // there is none.
  void Delete(const std::shared_ptr<TaskEntry>& entry);
  // The first entry whose task is for `package`; empty when none.
  [[nodiscard]] std::shared_ptr<TaskEntry> FindByPackage(const Package* package);
  // The first entry `pick` accepts, left in the queue; empty when none. `pick`
  // runs under the lock and must not take other locks.
  [[nodiscard]] std::shared_ptr<TaskEntry> FindFirst(
      const std::function<bool(const TaskEntry&)>& pick);
  [[nodiscard]] bool Contains(const std::shared_ptr<TaskEntry>& entry);
  // Like FindByPackage, and the entry leaves the queue.
  [[nodiscard]] std::shared_ptr<TaskEntry> RemoveByPackage(const Package* package);
  // The first entry holding this very task, taken out; empty when none.
  [[nodiscard]] std::shared_ptr<TaskEntry> RemoveByTask(const TaskInterface* task);
  // The first entry `pick` accepts, taken out; empty when none. `pick` runs under
  // the lock and must not take other locks.
  [[nodiscard]] std::shared_ptr<TaskEntry> RemoveFirst(
      const std::function<bool(const TaskEntry&)>& pick);
  [[nodiscard]] std::vector<std::shared_ptr<TaskEntry>> Copy();
  // Takes every entry out and hands them to the caller, who may destroy them
  // without holding the lock.
  [[nodiscard]] std::vector<std::shared_ptr<TaskEntry>> TakeAll();
  // Takes every entry out and destroys them once the lock is let go.
  void Clear();
  [[nodiscard]] size_t Size();

 private:
  tobric::LLock lock_;
  std::vector<std::shared_ptr<TaskEntry>> entries_ GUARDED_BY(lock_);
};

// DownloadManager: makes a task for each package handed to it, keeps waiting
// and running tasks in two queues, starts waiting tasks while fewer than
// concurrent_task_num run, carries out cancels and receives every completion.
//
// Ownership: made and kept by the offline center for the whole process (it is
// not destroyed at stop: tasks and queued work items hold pointers to it). It
// owns the factory and the entries; tasks are shared with their own workers.
// The thread pool is borrowed and must outlive every item queued to it.
//
// Threads: Download and CancelAsync run on the caller's thread (RPC, console,
// pool threads through the package states); scheduling passes (default items,
// which never wait on I/O), start items and cancels (long items) run on the
// pool, several possibly at once; completions on whatever thread the task
// reports from; StopAll on the stopping thread.
//
// A task is started in two steps. The pass moves the entry from the waiting
// queue to the running one and the package to STATE_DOWNLOADING, as one step
// under the package's lock. A start item then runs the task's Initialize
// (the size probe, the layout of the data file) with no lock held, takes the
// package's lock and starts the task, unless a cancel or the stop came
// meanwhile, in which case it ends the package as a cancelled task would.
//
// Locks: each queue has its own lock, held inside its operations and, in a
// pass, for the picking of one entry (waiting queue first, then running). The
// package's lock is held by Download around the state decision and the
// append, by a pass while it moves an entry, by a start item around the
// task's Start, by Cancel while it decides (not around the task's Cancel,
// which may wait for a P2P engine), by DoCancel around the task's Cancel at
// stop and by the completion while it changes the package's state; never
// across the task's Initialize. Order: a package's lock may be held
// while a queue lock is taken, never the reverse. Callbacks to the caller are
// invoked with no lock held, except the cancel callback of a task that never
// started, which is invoked before the package's Complete, under its lock.
class DownloadManager : public DownloadInterface {
 public:
  // The production limit of StopAll's wait for running tasks.
  static constexpr uint32_t kDefaultStopLimitMs = 15000;

  // concurrent_task_num is read at every pass (a change of the setting applies
  // to the next pass); null means one task at a time.
  DownloadManager(std::unique_ptr<FactoryInterface> factory, tobric::ThreadPool* pool,
                  std::function<int32_t()> concurrent_task_num,
                  uint32_t stop_limit_ms = kDefaultStopLimitMs);
  ~DownloadManager() override;
  DownloadManager(const DownloadManager&) = delete;
  DownloadManager& operator=(const DownloadManager&) = delete;

  HRESULT StopAll() override;
  [[nodiscard]] HRESULT Download(Package* package,
                                 tobric::AsyncCallback<Package*>* finish) override;
  [[nodiscard]] HRESULT CancelAsync(Package* package,
                                    tobric::AsyncCallback<Package*>* cancel) override;

  // Queues a scheduling pass: concurrent_task_num was raised, and waiting
  // tasks may start now rather than at the next completion.
  void Reschedule() override;

  // One scheduling pass, repeated on the same thread while it starts a task and
  // more may run. Queued as a work item by Download, by a cancel of a waiting
  // task, by Reschedule and by every completion; any thread may run one.
  void ScheduleTask();

  // Runs at the start of every start item, before the task's Initialize; tests
  // hold a start there to open the window between a pass and the start.
  void set_start_hook_for_testing(std::function<void(Package*)> hook) {
    start_hook_ = std::move(hook);
  }

  // Entries in each queue, for statistics and tests.
  [[nodiscard]] size_t WaitingCount() { return waiting_.Size(); }
  [[nodiscard]] size_t RunningCount() { return running_.Size(); }

 private:
  // Queues a pass (flags 0); a refusal (the pool is drained at stop) is logged
  // and the item dropped.
  void QueueScheduleTask();
  // Hands the entry that a pass moved to the running queue to a start item.
  void QueueStartItem(std::shared_ptr<TaskEntry> entry);
  class StartItem;
  // The start item's work: Initialize without any lock, then Start under the
  // package's lock unless the package was cancelled meanwhile.
  void StartTask(std::shared_ptr<TaskEntry> entry);
  // Takes an entry whose task never started out of the running queue and ends
  // its package: for E_CANCELED the cancel callback, then Complete; Error
  // otherwise. True when there was such an entry (the caller queues a pass).
  [[nodiscard]] bool EndUnstarted(Package* package, const std::shared_ptr<TaskEntry>& entry,
                                  HRESULT code) REQUIRES(package->lock());
  // The work item of CancelAsync; owns `cancel`.
  void Cancel(Package* package, tobric::AsyncCallback<Package*>* cancel);
  // S_OK: the waiting entry is gone and `cancel` has been invoked and deleted.
  // E_FAIL: there was none, and `cancel` is still the caller's.
  [[nodiscard]] HRESULT CancelWaitting(Package* package, tobric::AsyncCallback<Package*>* cancel);
  [[nodiscard]] HRESULT DoCancel(const std::shared_ptr<TaskEntry>& entry);
  // The task's Cancel, logged when it fails.
  [[nodiscard]] HRESULT CancelTask(const TaskEntry& entry);
  // The completion callback installed on every started task.
  void CompleteCallback(std::shared_ptr<TaskInterface> task);

  TaskQueue waiting_;
  TaskQueue running_;

  // Constant after construction.
  const std::unique_ptr<FactoryInterface> factory_;
  tobric::ThreadPool* const pool_;
  const std::function<int32_t()> concurrent_task_num_;
  const uint32_t stop_limit_ms_;
  std::function<void(Package*)> start_hook_;  // set before any start

  // Set once by StopAll under the waiting queue's lock; from then on nothing
  // is queued or started.
  std::atomic<bool> stopped_{false};
};

}  // namespace lorvane

#endif  // DOWNLOAD_DOWNLOAD_MANAGER_H_
