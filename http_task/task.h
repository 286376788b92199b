// The HTTP download of one package: the data file laid out at its full size,
// 4 MiB blocks fetched by range workers and recorded in the metafile, and the
// final rename when every block is there.
#ifndef HTTP_TASK_TASK_H_
#define HTTP_TASK_TASK_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/platform/timer_queue.h"
#include "base/result_codes.h"
#include "base/threading/async_callback.h"
#include "base/threading/lock.h"
#include "base/threading/queue_timer.h"
#include "download/size_probe.h"
#include "download/task_interface.h"
#include "http_task/meta_file.h"
#include "http_task/worker_item.h"

namespace tobric {
class UserNetworkState;
class UserWorkItem;
}  // namespace tobric

namespace lorvane {

class Package;

// What a task is made from. The defaults are the process's real wiring; tests
// put in their own work pool, thread count, folder and network state, and
// shorten the delays, which would otherwise make each test run for seconds.
struct HttpTaskOptions {
  // Hands a worker to a pool as a long-running item; on success the pool owns
  // it. Null: the offline center's pool, flags 16.
  std::function<HRESULT(tobric::UserWorkItem* item)> queue_work_item;
  // Workers per task, read at Start. Null: ConfigManager's thread_num_per_task.
  std::function<int32_t()> threads_per_task;
  // Folder of a package that has none. Null: ConfigManager's download folder.
  std::function<std::string()> download_folder;
  // The network state every worker's request goes through (not owned). Null:
  // the user's store from tobric::GetUserNetworkConfig.
  tobric::UserNetworkState* network_state = nullptr;
  // The request layer's own retries of one block before the worker gives up.
  int32_t max_retries = 2;
  int32_t retry_initial_delay_ms = 5000;
  // The idle check: every period, a task that received no data for longer
  // than the limit shows a speed of 0.
  uint32_t idle_check_period_ms = 5000;
  uint32_t idle_limit_ms = 5000;
  // A download that finishes sooner after its start than this shows half its
  // size until then, so that a client polling every few seconds sees progress
  // before the end.
  uint32_t minimum_visible_ms = 6000;
  // Puts the data file's written bytes on disk before their blocks are
  // recorded. Null: fdatasync of the file. Tests hold a flush or fail it.
  std::function<HRESULT(const std::string& path)> flush_data_file;
  // Whether the file system of the data file puts a write that went around
  // the page cache on disk no later than any later rename. Null:
  // tobric::platform::JournalCommitFlushesEarlierWrites.
  std::function<bool(const std::string& path)> journal_commit_flushes;
};

// Task: downloads one http or https package into its data file (the final name
// + ".sugd") with up to threads_per_task WorkerItems, one 4 MiB block each,
// each completed block recorded in the metafile (the final name + ".sugc") so
// that a pause, a failure or a restart resumes with the missing blocks.
//
// Ownership: made by the task factory and held by shared_ptr, by the download
// manager's entry and by every running worker, so it lives until its last
// worker has ended. The package is not owned. The task owns its metafile, its
// completion callback and its idle timer; the timers tick on one timer queue
// shared by all HTTP tasks of the process.
//
// Threads: Initialize runs on a start item's pool thread with no lock held
// (it may probe the server and lay out the file; Cancel cuts the probe
// short); Start runs on that thread and Cancel on a cancel work item's
// thread, each with the package's lock held by the caller; Complete and NotifyData on the workers' pool threads; the idle
// check and the end of the minimum visible duration on timer threads.
//
// Locks: lock_ (recursive) guards the metafile, the workers list, the cursor,
// the counters, the flags and the callback; it is never held across a disk
// flush (the metafile's bytes are made under it and written after it). Because a cancel holds the
// package's lock while it takes lock_, nothing here takes the package's lock
// (a package setter that locks, or the manager's completion callback, which
// locks it) while holding lock_. update_mutex_ orders the package updates of
// completions that finished computing in one order and reach the package in
// another; the package's lock is taken under it.
class Task : public TaskInterface, public std::enable_shared_from_this<Task> {
 public:
  // Failed workers (net of successes) after which no new worker is started.
  static constexpr uint32_t kFailureLimit = 5;
  // Rounds of starting over for a file that changed on the server, per start.
  static constexpr int kMaxStartOvers = 2;

  // Arms the idle check. The options' null members are filled with the
  // process's defaults.
  Task(Package* package, HttpTaskOptions options);
  // Stops the idle check (waiting for a tick in progress) and frees the
  // metafile and the callback; the package is not touched.
  ~Task() override;
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Probes the server (where redirects lead, the size, the version, whether it
  // serves ranges), then resumes the download from its metafile when the data
  // file, the metafile, the URI and the version agree; otherwise lays out a
  // new data file and metafile.
  [[nodiscard]] HRESULT Initialize() override;
  // Starts min(threads_per_task, block count) workers.
  [[nodiscard]] HRESULT Start() override;
  // Stops every running worker; the task then reports E_CANCELED when the last
  // has ended. Always S_OK.
  [[nodiscard]] HRESULT Cancel() override;
  void SetCallback(tobric::AsyncCallback<std::shared_ptr<TaskInterface>>* callback) override;
  [[nodiscard]] Package* GetPackage() override { return package_; }
  [[nodiscard]] HRESULT GetErrorCode() override { return error_code_.load(); }

  // A worker has ended with `result` (S_OK: its whole block is written).
  // Starts the next worker, records the block once a flush has put it on disk
  // and, after the last worker, finishes.
  void Complete(WorkerItem* worker, HRESULT result);
  // A piece of data arrived: the idle check starts counting again.
  void NotifyData();
  // A piece of data arrived for a worker that has `received` bytes of its
  // region: NotifyData, and for the one stream of a server without ranges the
  // package's progress.
  void NotifyProgress(uint64_t received);
  // The end of a task that Start found with every block on disk: the rename
  // and the report, as after the last worker.
  void FinishWithoutWorkers();
  // Ends the hold of the minimum visible duration, from its timer or from a
  // work item of Cancel, whichever comes first; the other finds nothing left
  // to do.
  static void EndFinishHold(Task* task);

  // For the workers.
  [[nodiscard]] const HttpTaskOptions& options() const { return options_; }
  [[nodiscard]] tobric::LLock& lock() RETURN_CAPABILITY(lock_) { return lock_; }
  // The size of the resource every range must be part of.
  [[nodiscard]] uint64_t ResourceSize() const REQUIRES(lock_);

 private:
  // What a completion hands from under lock_ to the package.
  struct PackageUpdate {
    uint64_t sequence = 0;
    // Negative: the speed shown stays.
    int32_t speed = -1;
    uint64_t downloaded = 0;
  };

  // How a completion or a commit leaves the task: a metafile image to write,
  // and whether the task ends (or starts over) there.
  struct Ending {
    std::vector<uint8_t> image;
    uint64_t image_generation = 0;
    bool finish = false;
    bool all_done = false;
    bool start_over = false;
    // The newest image made when the end was decided.
    uint64_t newest_image = 0;
  };

  // The size probe, cut short by Cancel; `file_name` is the name the URI
  // gives.
  [[nodiscard]] HRESULT Probe(ProbeResult* probed, std::string* file_name);
  // The download cannot be resumed: names the files and lays out the data
  // file for what the probe found; the new metafile goes to *meta_file.
  [[nodiscard]] HRESULT LayOutNewDownload(const ProbeResult& probed, const std::string& file_name,
                                          std::unique_ptr<MetaFile>* meta_file);
  // Keeps an existing file of the right size; else creates it anew with its
  // blocks allocated.
  [[nodiscard]] static HRESULT CreateFileWithSize(const std::string& path, uint64_t size);

  // Starts a worker on the next free block, or the one stream of a server
  // without ranges.
  [[nodiscard]] HRESULT ScheduleNewWorker() REQUIRES(lock_);
  [[nodiscard]] HRESULT QueueWorker(const Region& region) REQUIRES(lock_);
  void StartOver();
  // Flushes the data file and records the blocks written before the flush,
  // round after round until none waits; then concludes if the task ended.
  void CommitBlocks();
  [[nodiscard]] HRESULT FlushDataFile();
  // Sets the bits of a block (of every block for the one stream's).
  void Record(uint32_t block) REQUIRES(lock_);
  // After the last worker, with no commit running: the task ends, or starts
  // over, and the end's metafile image is made.
  void DecideEnding(Ending* ending) REQUIRES(lock_);
  // Carries out an ending decided under lock_, without it.
  void Conclude(const Ending& ending);
  void ApplyPackageUpdate(const PackageUpdate& update);
  // The metafile's bytes as they stand, numbered for WriteMetaFileImage;
  // false, with *image empty, when they cannot be made.
  bool MakeMetaFileImage(std::vector<uint8_t>* image, uint64_t* generation) REQUIRES(lock_);
  // Writes a metafile image made under lock_, unless a newer one is on disk.
  void WriteMetaFileImage(uint64_t generation, const std::vector<uint8_t>& image);
  // Renames the data file and deletes the metafile. True when the end of the
  // minimum visible duration will report completion from its timer.
  bool DoFinish();
  // False, arming nothing, once Cancel was asked for.
  bool ArmFinishTimer(uint32_t delay_ms);
  // Reports the end through the callback.
  void OnComplete();

  static void OnIdleTimer(tobric::QueueTimer* timer);
  static void OnFinishTimer(void* parameter, bool fired);

  // Constant after construction.
  Package* const package_;
  HttpTaskOptions options_;

  // Written under lock_, read anywhere (GetErrorCode).
  std::atomic<HRESULT> error_code_{S_OK};
  // Written by every piece of data of every worker; an atomic spares the
  // workers from contending for lock_ that often.
  std::atomic<uint64_t> last_data_time_{0};
  // Set by Cancel before it takes lock_; the size probe of Initialize watches it.
  std::atomic<bool> cancel_requested_{false};
  // single_stream_, for NotifyProgress without lock_.
  std::atomic<bool> streaming_{false};

  tobric::LLock lock_;
  std::unique_ptr<MetaFile> meta_file_ GUARDED_BY(lock_);
  std::unique_ptr<tobric::AsyncCallback<std::shared_ptr<TaskInterface>>> callback_
      GUARDED_BY(lock_);
  std::vector<WorkerItem*> workers_ GUARDED_BY(lock_);  // running; owned by the pool
  uint32_t cursor_ GUARDED_BY(lock_) = 0;
  uint32_t failure_balance_ GUARDED_BY(lock_) = 0;
  bool canceled_ GUARDED_BY(lock_) = false;
  // What the probe of Initialize found: the URL the blocks come from (after
  // redirects), the version they must be of, and whether the server serves
  // ranges at all (else one stream fetches the whole file).
  std::string block_url_ GUARDED_BY(lock_);
  std::string validator_ GUARDED_BY(lock_);
  bool single_stream_ GUARDED_BY(lock_) = false;
  // The file changed on the server: no new worker, and the last one to end
  // starts the download over.
  bool start_over_ GUARDED_BY(lock_) = false;
  int start_overs_ GUARDED_BY(lock_) = 0;
  // The task cancelled its running workers itself (to start over, or for the
  // one stream); their E_CANCELED is no failure.
  bool recalling_ GUARDED_BY(lock_) = false;
  // The last worker has ended: the outcome is decided and a cancel changes
  // nothing any more.
  bool finishing_ GUARDED_BY(lock_) = false;
  uint64_t start_time_ GUARDED_BY(lock_) = 0;
  uint64_t last_complete_time_ GUARDED_BY(lock_) = 0;
  uint64_t update_sequence_ GUARDED_BY(lock_) = 0;
  uint64_t image_generation_ GUARDED_BY(lock_) = 0;
  // Blocks written whole and not recorded yet, in the order they ended; no
  // worker fetches them again unless their flush fails.
  struct WrittenBlock {
    uint32_t block = 0;
    // Its bytes may still be in the page cache only.
    bool needs_flush = true;
  };
  std::vector<WrittenBlock> unrecorded_ GUARDED_BY(lock_);
  // Set by Initialize: the data file's journal commits put blocks written
  // direct on disk before any later metafile (see CommitBlocks).
  bool journal_commit_flushes_ GUARDED_BY(lock_) = false;
  // A completion is flushing and recording unrecorded_; the task's end waits
  // for it.
  bool committing_ GUARDED_BY(lock_) = false;
  // Keeps the task alive while the finish timer is armed; taken by
  // EndFinishHold.
  std::shared_ptr<Task> finish_hold_ GUARDED_BY(lock_);
  tobric::platform::TimerQueue::TimerId finish_timer_id_ GUARDED_BY(lock_) = 0;

  // The one stream's last progress shown; a leaf lock.
  tobric::Mutex progress_mutex_;
  uint64_t progress_time_ms_ GUARDED_BY(progress_mutex_) = 0;
  uint64_t progress_bytes_ GUARDED_BY(progress_mutex_) = 0;

  tobric::Mutex update_mutex_;
  uint64_t applied_sequence_ GUARDED_BY(update_mutex_) = 0;

  // Held across a metafile write; only completions of this task wait for it.
  tobric::Mutex save_mutex_;
  uint64_t saved_generation_ GUARDED_BY(save_mutex_) = 0;

  // Destroyed first (in ~Task), so no tick runs on a task being torn down.
  std::unique_ptr<tobric::QueueTimer> idle_timer_;
};

}  // namespace lorvane

#endif  // HTTP_TASK_TASK_H_
