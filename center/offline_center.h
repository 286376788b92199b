// The facade through which every client request reaches the engine.
#ifndef CENTER_OFFLINE_CENTER_H_
#define CENTER_OFFLINE_CENTER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/threading/lock.h"
#include "base/threading/thread_pool.h"
#include "base/threading/user_work_item.h"

namespace tobric::platform {
class WorkPool;
}

namespace lorvane {

class DownloadInterface;
class FactoryInterface;
class Package;
class OfflineCenter;
class Persister;

// What the center is made from. Default() is the process's real wiring
// (TaskFactroy, the process work pool, settings and paths of ConfigManager);
// tests replace parts: a factory of fake tasks, their own work pool, a list file
// in a temporary folder, a shorter save delay, a shorter stop limit.
struct OfflineCenterOptions {
  // Null: a new TaskFactroy.
  std::function<std::unique_ptr<FactoryInterface>()> make_factory;
  // Null: a DownloadManager with the factory above. Tests of the state machine
  // alone put a recording fake here.
  std::function<std::unique_ptr<DownloadInterface>(OfflineCenter*)> make_download_manager;
  // Null: the process's work pool.
  tobric::platform::WorkPool* work_pool = nullptr;
  // Read at every scheduling pass. Null: ConfigManager's concurrent_task_num.
  std::function<int32_t()> concurrent_task_num;
  // Folder of new packages. Null: ConfigManager's download_folder.
  std::function<std::string()> download_folder;
  // download_list.db. Empty: ConfigManager's download list path.
  std::string download_list_path;
  // The persister's delay between saves (5000 ms).
  uint32_t save_delay_ms = 5000;
  // How long StopAll waits for running tasks (15000 ms).
  uint32_t stop_limit_ms = 15000;
  // How long Stop waits for the pool's pending work items (60000 ms).
  uint32_t drain_limit_ms = tobric::ThreadPool::kDefaultDrainLimitMs;
  // Whether Initialize makes a persister and loads the list (tests of the state
  // machine alone do without).
  bool use_persister = true;
};

// OfflineCenter: owns the list of packages (an id-ordered map; packages are not
// owned, see Package) and the three long-lived components: the ThreadPool, the
// DownloadManager (with its factory) and the Persister. An operation on one
// package is handed to the package's current state; the center only finds the
// package, keeps the list, tells the persister the list changed and turns the
// outcome into a result code.
//
// Threads: RPC threads, the console thread and pool threads call it at once.
// lock_ (recursive) guards packages_ only, and is held for the map's own
// operations: never across a package's state calls, which may touch the disk.
// An operation on a package holds the package's lock around its state call,
// so the state it acts on cannot change under it. Lock order: center lock,
// package lock, persister lock; the download manager's queue locks come after
// the center's.
class OfflineCenter {
 public:
  // The process's center: made on first use under a process-wide lock, published,
  // initialised once (other threads wait on the creation lock until Initialize
  // has finished), never destroyed.
  static OfflineCenter* GetInstance();
  // The options GetInstance makes the process's center from, when called before
  // the first GetInstance (later calls change nothing that was made).
  static void SetInstanceOptions(OfflineCenterOptions options);
  // Makes `center` the instance GetInstance returns (null: none); returns the
  // previous one. For tests that build their own center.
  static OfflineCenter* SetInstanceForTesting(OfflineCenter* center);

  explicit OfflineCenter(OfflineCenterOptions options);
  // Only tests' own centers are destroyed (the process's center never is): runs
  // Stop when it has not run, then frees the components.
  ~OfflineCenter();
  OfflineCenter(const OfflineCenter&) = delete;
  OfflineCenter& operator=(const OfflineCenter&) = delete;

  // Pool, persister (loading the saved list; no package is started), download
  // manager, in that order.
  [[nodiscard]] HRESULT Initialize();

  // A new package for `uri`, listed and queued: 0, or its initialisation error
  // (it stays listed, in STATE_ERROR). After Stop the package is listed but not
  // queued, and the result is E_POOL_DRAINED.
  [[nodiscard]] HRESULT Download(const std::string& uri);
  // Queues the package again; its error_code afterwards (E_POOL_DRAINED after
  // Stop, the package untouched).
  [[nodiscard]] HRESULT Start(const std::string& id);
  [[nodiscard]] HRESULT Pause(const std::string& id);
  [[nodiscard]] HRESULT Delete(const std::string& id);
  [[nodiscard]] HRESULT DeletePerment(const std::string& id);
  [[nodiscard]] Package* FindPackage(const std::string& id);
  // Appends the packages in id order, at most `limit` of them: a list shown a
  // page at a time need not walk the whole map under the lock.
  void GetPackages(std::vector<Package*>* packages, size_t limit = SIZE_MAX);
  [[nodiscard]] uint32_t GetPackageCount();
  [[nodiscard]] bool ExistUri(const std::string& uri);
  [[nodiscard]] uint32_t GetTotalDownloadSpeed();

  void AddInternal(Package* package);
  void DeleteInternal(Package* package);
  [[nodiscard]] HRESULT QueueUserWorkItem(tobric::UserWorkItem* item, uint32_t flags);

  [[nodiscard]] DownloadInterface* GetDownloadManager();
  // concurrent_task_num changed: waiting downloads may start at once.
  void ConcurrencyChanged();
  [[nodiscard]] Persister* GetPersister();
  [[nodiscard]] tobric::LLock& lock() RETURN_CAPABILITY(lock_) { return lock_; }
  [[nodiscard]] const OfflineCenterOptions& options() const { return options_; }
  // The folder new packages go to (the configured download folder).
  [[nodiscard]] std::string DownloadFolder() const;

  // The stop sequence's part of the engine, run by the first caller only (the
  // stop flag goes from 0 to 1 by compare-and-swap): StopAll, shut the persister
  // down (it saves a last time and ignores later changes), drain the pool (later
  // work items are refused). The persister and pool objects are shut down rather
  // than destroyed: packages, tasks and RPC calls still in flight hold pointers to
  // them, and a refused call is safe where a freed object is not. The map, the
  // packages and the download manager stay. False when it had run before.
  bool Stop();
  [[nodiscard]] bool stopped() const { return stopped_.load() != 0; }

 private:
  // The package listed under `id`, or null.
  [[nodiscard]] Package* FindLocked(const std::string& id) const REQUIRES(lock_);
  // Takes the package listed under `id` off the list and marks the list
  // modified; the package, or null when none is listed.
  [[nodiscard]] Package* Unlist(const std::string& id);

  const OfflineCenterOptions options_;
  std::map<std::string, Package*> packages_ GUARDED_BY(lock_);
  std::unique_ptr<tobric::ThreadPool> thread_pool_;
  std::unique_ptr<DownloadInterface> download_manager_;
  std::unique_ptr<Persister> persister_;
  tobric::LLock lock_;
  std::atomic<int32_t> stopped_{0};
};

}  // namespace lorvane

#endif  // CENTER_OFFLINE_CENTER_H_
