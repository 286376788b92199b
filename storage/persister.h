// The download list persister: reads download_list.db at start and writes it
// again, coalesced, whenever a package changes.
#ifndef STORAGE_PERSISTER_H_
#define STORAGE_PERSISTER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/platform/timer_queue.h"
#include "base/result_codes.h"
#include "base/threading/lock.h"
#include "base/threading/queue_timer.h"
#include "base/threading/shared_run.h"
#include "package/persister_interface.h"
#include "storage/xml_documents.h"

namespace lorvane {

class OfflineCenter;
class Package;

// Persister: keeps download_list.db in step with the offline center's packages.
// Every package names it as its change observer; a change asks for a save,
// which writes the whole list at once when the last save is at least the save
// delay old (5 s), otherwise from a one-shot timer a delay later. Changes that
// arrive while a save is pending are carried by it. A failed save is tried
// again from the timer a delay later, until one succeeds.
//
// A save never leaves a torn list: it prints the list into memory, writes it
// once into "<list>.new" beside the list, flushes that to disk and renames it
// onto the list, then flushes the folder (docs/formats/download-list-save.md).
// A save that fails before the rename deletes its incomplete ".new" and leaves
// the list as it was. At start a non-empty ".new" is
// preferred, being the newer list of an interrupted save, and is moved onto the
// list at once; when it does not load, the list itself is read. A list (or
// ".new") that does not load or has another version is moved aside as
// "<file>.bad-<time>" rather than left for a save to overwrite.
//
// No save runs while Initialize hands the loaded packages to the center: a
// change made by a package's initialisation is saved once all are in, so a
// list on disk never lacks the packages that were still being loaded.
//
// Ownership: made and owned by the offline center, which it borrows (package
// map, lock, work-item queue, options). The center shuts it down at stop rather
// than destroying it, since packages still name it as their observer.
//
// Threads: Modified from any thread, often under a package's lock. Saves flush
// the disk, so they run as long-running work items (never on the pool's fixed
// threads, which would stall scheduling passes behind a slow disk); the timer's
// tick only queues one. The last save runs on the thread that shuts down. Locks:
// - the center's lock, while the records are collected (a consistent snapshot);
// - lock_ (recursive LLock) guards the paths built on first use and the
//   refused files; it is taken without any other lock held, and never held
//   while a file is written or flushed: the saves take turns through
//   save_turns_, which holds no lock while one runs;
// - timer_mutex_, held by Modified and a failed save around the timer's Start
//   (which takes the timer's own lock) and by Shutdown while it takes the timer
//   away, so nothing touches a timer being destroyed.
// last_modified_, last_saved_, pending_ and the loading flags are atomics. A
// timer tick holds only the timer's callback lock and takes no other, and
// Start never takes that lock, so a caller holding the center's lock may arm
// the timer at any time. Shutdown (and so the destructor) must not run with
// the center's lock held: it waits for a tick under way.
class Persister : public PersisterInterface {
 public:
  static constexpr const char* kListVersion = "1.0.0";

  // Reads the center's options: save_delay_ms, download_list_path (empty: the
  // ConfigManager's) and work_pool (runs the timer's ticks; null: the process's pool).
  explicit Persister(OfflineCenter* owner);
  // Shutdown, when it has not run.
  ~Persister() override;
  Persister(const Persister&) = delete;
  Persister& operator=(const Persister&) = delete;

  // Reads the list ("<list>.new" first when it is there and not empty, then
  // moved onto the list) and hands a package for each record to the center,
  // none started; a package's progress is taken from its metafile when that is
  // newer. E_XML_LOAD_FAILED when neither file loads, E_LIST_VERSION_UNSUPPORTED
  // for another version than "1.0.0"; no package is made then, and an existing
  // file that was refused has been moved aside.
  [[nodiscard]] HRESULT Initialize();

  // Asks for a save: at once (a work item) when the last one is at least the
  // delay old, else from the timer; ignored while one is pending and after
  // Shutdown. Never waits for a save.
  void Modified() override;
  // Asks for a save at once (a work item), whatever the delay and an armed
  // timer; ignored after Shutdown.
  void ModifiedUrgently() override;
  // Returns once a save that began after the call has ended (none after
  // Shutdown): this thread's, or another's it waited for. A failure is
  // logged and the timer tries again.
  void SaveNow() override;

  // As SaveNow; a failure is logged and the save tried again a delay later.
  void Persist2Disk();
  // Collects the center's packages under its lock and writes them, in turn
  // with every other save: one asked for while another runs waits for it to
  // end, and then one save collects and writes for all who waited.
  [[nodiscard]] HRESULT DoPersist2Disk();

  // The timer is destroyed (waiting for a tick under way), its queue let go, the
  // list saved a last time; later Modified calls do nothing. Once.
  void Shutdown();

  // Saves finished, whatever their result, for statistics and tests; and a wait
  // for their number to reach `count`, true when it did within timeout_ms.
  [[nodiscard]] uint64_t save_count() const;
  [[nodiscard]] bool WaitForSaveCount(uint64_t count, uint32_t timeout_ms) const;

  // The list file and its ".new" companion (built on first use).
  [[nodiscard]] std::string list_path();
  [[nodiscard]] std::string new_list_path();

  // Called by Initialize after each loaded package has been handed to the
  // center, for tests that look at the files at that moment. Set before
  // Initialize.
  void SetPackageAddedHookForTesting(std::function<void(Package*)> hook);
  // Runs in every save between the snapshot and the write; tests hold a save
  // there to let a newer one overtake it.
  void SetBeforeWriteHookForTesting(std::function<void()> hook) {
    tobric::MutexLock hold(hook_mutex_);
    before_write_hook_ = std::make_shared<std::function<void()>>(std::move(hook));
  }

 private:
  static void OnTimer(tobric::QueueTimer* timer);

  // Loads one list file; an existing file that does not load or has another
  // version is moved aside (or remembered for HardSave when that fails).
  [[nodiscard]] HRESULT LoadList(const std::string& path, Resource* resource);
  // Moves a loaded ".new" onto the list so that the next start reads what
  // this one did, whatever happens to the next save.
  void PromoteNewList();
  // Queues a save as a long-running work item.
  void QueueSave();
  // Arms the one-shot save timer (an armed timer stays as it is); false when
  // shut down or when the timer could not be started (logged for `caller`).
  [[nodiscard]] bool ArmTimer(const char* caller);
  // Arms the timer for another try after a failed save.
  void RetryLater();
  // Moves aside the refused files that could not be moved at start, which a
  // save must not replace; those it could not move stay for the next save.
  [[nodiscard]] HRESULT SetAsideRefusedFiles();
  // Deletes the ".new" file `path` that a failed save left incomplete.
  static void DropTornNewList(const std::string& path);

  void AddFile(const std::vector<ResourceFile>& records);
  // A save in its turn; *carried (may be null) tells whether another
  // caller's save served this one.
  [[nodiscard]] HRESULT SaveInTurn(bool* carried);
  // The body of a turn: collects the records and writes them.
  [[nodiscard]] HRESULT CollectAndWrite();
  // Writes the list: a ".new" file flushed, then renamed over the list.
  [[nodiscard]] HRESULT HardSave(const Resource& resource);
  void BuildPaths() REQUIRES(lock_);
  void CountSave();

  // Constant after construction.
  OfflineCenter* const owner_;
  const uint32_t save_delay_ms_;

  tobric::LLock lock_;
  std::string list_path_ GUARDED_BY(lock_);
  std::string new_list_path_ GUARDED_BY(lock_);
  // Files refused at start that are still to be moved aside.
  std::vector<std::string> refused_files_ GUARDED_BY(lock_);

  tobric::Mutex timer_mutex_;
  // Null after Shutdown.
  std::unique_ptr<tobric::platform::TimerQueue> timer_queue_ GUARDED_BY(timer_mutex_);
  std::unique_ptr<tobric::QueueTimer> timer_ GUARDED_BY(timer_mutex_);
  // Set once, under timer_mutex_; Modified reads it without.
  std::atomic<bool> shut_down_{false};

  std::atomic<uint64_t> last_modified_{0};  // FILETIME
  std::atomic<uint64_t> last_saved_{0};     // FILETIME
  std::atomic<int32_t> pending_{0};
  // While Initialize hands packages to the center, changes only mark the list
  // as changed; the save follows once all are in.
  std::atomic<bool> loading_{false};
  std::atomic<bool> changed_while_loading_{false};
  std::function<void(Package*)> package_added_hook_;  // set before Initialize
  // Set while saves may run: each save runs the hook it found.
  tobric::Mutex hook_mutex_;
  std::shared_ptr<std::function<void()>> before_write_hook_ GUARDED_BY(hook_mutex_);

  tobric::SharedRun save_turns_;

  mutable tobric::Mutex saves_mutex_;
  mutable std::condition_variable_any saves_changed_;
  uint64_t saves_ GUARDED_BY(saves_mutex_) = 0;
};

}  // namespace lorvane

#endif  // STORAGE_PERSISTER_H_
