#include "http_task/task.h"

#include <algorithm>
#include <cinttypes>
#include <limits>
#include <set>
#include <utility>

#include "base/logging/logging.h"
#include "base/numbered_name.h"
#include "base/platform/clock.h"
#include "base/platform/error.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "base/platform/work_pool.h"
#include "base/threading/user_work_item.h"
#include "center/offline_center.h"
#include "download/http_dector.h"
#include "http_task/worker_item.h"
#include "package/package.h"
#include "package/persister_interface.h"
#include "storage/config_manager.h"

namespace lorvane {

using tobric::AutoLock;
using tobric::LC_USER;
namespace platform = tobric::platform;

namespace {

// One timing thread for every HTTP task of the process instead of one per
// task: a hundred downloads at once are an ordinary load. Never destroyed, as
// timers of tasks still alive at exit refer to it.
platform::TimerQueue* HttpTimerQueue() {
  static platform::TimerQueue* const queue = new platform::TimerQueue();
  return queue;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool PathTaken(const std::string& path) {
  return platform::FileExists(path) || platform::FolderExists(path);
}

// The final paths of the downloads of this process that have chosen their
// name but not yet made their data file. The folder shows a name taken only
// once that file exists, so two downloads of one name laid out at once (the
// same file from two servers) would otherwise both take it, write into one
// data file, and the first to finish would rename the other's blocks away.
class NamesBeingLaidOut {
 public:
  static NamesBeingLaidOut& Get() {
    static NamesBeingLaidOut* const names = new NamesBeingLaidOut();
    return *names;
  }
  // False when another download holds `path`.
  bool Hold(const std::string& path) {
    tobric::MutexLock hold(lock_);
    return held_.insert(path).second;
  }
  void Release(const std::string& path) {
    tobric::MutexLock hold(lock_);
    held_.erase(path);
  }

 private:
  tobric::Mutex lock_;
  std::set<std::string> held_ GUARDED_BY(lock_);
};

// Releases a held name when the layout has made its data file, or failed.
class HeldName {
 public:
  HeldName() = default;
  ~HeldName() {
    if (!path_.empty()) NamesBeingLaidOut::Get().Release(path_);
  }
  HeldName(const HeldName&) = delete;
  HeldName& operator=(const HeldName&) = delete;

  // The name is free when no other download holds it and, checked once it is
  // held, neither it nor its data file is on disk: a download that released
  // it has made its data file by then.
  bool TryHold(const std::string& final_path, const std::string& data_path) {
    if (!NamesBeingLaidOut::Get().Hold(final_path)) return false;
    if (PathTaken(final_path) || PathTaken(data_path)) {
      NamesBeingLaidOut::Get().Release(final_path);
      return false;
    }
    path_ = final_path;
    return true;
  }

 private:
  std::string path_;
};

// DataFileName of the first of name, name(1), name(2) ... that is free in
// `folder` (HeldName::TryHold), held in *held until the data file exists.
std::string MakeUniqueName(const std::string& folder, const std::string& name, HeldName* held) {
  for (uint32_t k = 0;; ++k) {
    const std::string candidate = tobric::NumberedName(name, k);
    if (held->TryHold(platform::JoinPath(folder, candidate),
                      platform::JoinPath(folder, DataFileName(candidate)))) {
      return DataFileName(candidate);
    }
    if (k == std::numeric_limits<uint32_t>::max()) return DataFileName(name);
  }
}

void FillDefaults(HttpTaskOptions* options) {
  if (!options->queue_work_item) {
    options->queue_work_item = [](tobric::UserWorkItem* item) {
      return OfflineCenter::GetInstance()->QueueUserWorkItem(item, platform::kWorkLongRunning);
    };
  }
  if (!options->threads_per_task) {
    options->threads_per_task = [] { return ConfigManager::GetInstance()->GetThreadNumPerTask(); };
  }
  if (!options->download_folder) {
    options->download_folder = [] { return ConfigManager::GetInstance()->GetDownloadFolder(); };
  }
}

// Finishes a task whose every block was on disk when it started.
class FinishItem : public tobric::UserWorkItem {
 public:
  explicit FinishItem(std::shared_ptr<Task> task) : task_(std::move(task)) {}
  void Run() override { task_->FinishWithoutWorkers(); }

 private:
  const std::shared_ptr<Task> task_;
};

// Ends a finish hold for Cancel, which runs under the package's lock that the
// report takes.
class HoldEndItem : public tobric::UserWorkItem {
 public:
  explicit HoldEndItem(std::shared_ptr<Task> task) : task_(std::move(task)) {}
  void Run() override { Task::EndFinishHold(task_.get()); }

 private:
  const std::shared_ptr<Task> task_;
};

}  // namespace

Task::Task(Package* package, HttpTaskOptions options)
    : package_(package), options_(std::move(options)) {
  FillDefaults(&options_);
  idle_timer_ = std::make_unique<tobric::QueueTimer>(HttpTimerQueue(), this, &Task::OnIdleTimer);
  const HRESULT hr =
      idle_timer_->Start(options_.idle_check_period_ms, options_.idle_check_period_ms, 0);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelWarning, "[Task::Task][Failed start queue timer][0x%x]",
         static_cast<unsigned>(hr));
  }
}

Task::~Task() {
  idle_timer_.reset();
  // When the last reference went inside the finish timer's own tick this
  // cannot wait for that tick; the timer queue then deletes the timer without
  // waiting, which is all that is left to do.
  if (finish_timer_id_ != 0) {
    static_cast<void>(HttpTimerQueue()->DeleteTimer(finish_timer_id_, true));
  }
}

HRESULT Task::Initialize() {
  TLOG(LC_USER, 1, "[Task::Initialize]");
  std::unique_ptr<MetaFile> meta_file;
  const std::string data_file = package_->FullFilePath();
  // The metafile always sits beside the data file under MetaFileName. A list
  // saved between the data file's naming and the metafile's (a crash right
  // after the layout) still finds it that way, instead of starting over.
  if (!package_->name().empty() && package_->metafile().empty() && !data_file.empty()) {
    package_->set_metafile(MetaFileName(data_file));
  }
  HRESULT loaded = E_FAIL;
  if (!package_->name().empty() && platform::FileExists(data_file)) {
    loaded = MetaFile::Load(package_->metafile(), &meta_file);
  }
  if (loaded == platform::HresultFromWin32(platform::kErrorSharingViolation)) {
    // Another task of this download, still ending, holds the metafile: its
    // blocks are real. Laying the download out anew would throw them away;
    // the next start finds the metafile free.
    TLOG(LC_USER, tobric::kLevelWarning, "[Task::Initialize][Metafile %s is in use][0x%x]",
         package_->metafile().c_str(), static_cast<unsigned>(loaded));
    return loaded;
  }
  bool resume = Succeeded(loaded) && meta_file->uri() == package_->uri();
  // A data file cut short (or grown) behind our back no longer holds the
  // blocks the metafile records; only a fresh layout is safe then.
  uint64_t data_size = 0;
  if (resume && (Failed(platform::GetFileSize(data_file, &data_size)) ||
                 data_size != meta_file->file_size())) {
    resume = false;
  }

  // Every start asks the server: the blocks on disk may only be joined by
  // blocks of the same version of the file, and where redirects lead and
  // whether ranges are served may have changed since.
  ProbeResult probed;
  std::string file_name;
  HRESULT hr = Probe(&probed, &file_name);
  if (Failed(hr)) return hr;
  const uint64_t validator_hash = ValidatorHash(probed.validator);
  if (resume && (probed.content_length != meta_file->file_size() ||
                 (meta_file->reserved() != 0 && meta_file->reserved() != validator_hash))) {
    TLOG(LC_USER, tobric::kLevelWarning,
         "[Task::Initialize][The file changed on the server: validator hash 0x%016" PRIx64
         ", %" PRIu64 " bytes; now %s (hash 0x%016" PRIx64 "), %" PRIu64
         " bytes. The download starts over.]",
         meta_file->reserved(), meta_file->file_size(),
         probed.validator.empty() ? "none" : probed.validator.c_str(), validator_hash,
         probed.content_length);
    resume = false;
  }
  if (!resume) {
    meta_file.reset();
    hr = LayOutNewDownload(probed, file_name, &meta_file);
    if (Failed(hr)) return hr;
  } else if (meta_file->reserved() == 0) {
    // Written before validators were kept, or by a server that sent none: the
    // size was all there was to compare. From now on the version is known.
    meta_file->set_reserved(validator_hash);
  }
  const uint64_t downloaded = meta_file->downloaded();
  const std::string laid_out = package_->FullFilePath();
  const bool journal_commit_flushes = options_.journal_commit_flushes
                                          ? options_.journal_commit_flushes(laid_out)
                                          : platform::JournalCommitFlushesEarlierWrites(laid_out);
  {
    AutoLock hold(lock_);
    journal_commit_flushes_ = journal_commit_flushes;
    meta_file_ = std::move(meta_file);
    block_url_ = probed.final_url;
    validator_ = probed.validator;
    single_stream_ = probed.ranges_refused;
    error_code_ = S_OK;
  }
  package_->set_download_size(downloaded);
  return S_OK;
}

HRESULT Task::Probe(ProbeResult* probed, std::string* file_name) {
  const std::string uri = package_->uri();
  HttpDector detector(uri);
  ProbeOptions options;
  options.network_state = options_.network_state;
  options.cancel = &cancel_requested_;
  detector.set_probe_options(options);
  HRESULT hr = detector.Detect();
  // A cancel during the probe lays nothing out: the files would only be
  // removed again, or left for a download the user paused before it began.
  if (Succeeded(hr) && cancel_requested_.load()) hr = E_CANCELED;
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[Can't get the informatin of %s][0x%x]", uri.c_str(),
         static_cast<unsigned>(hr));
    return hr;
  }
  *probed = detector.probe();
  *file_name = detector.file_name();
  return S_OK;
}

HRESULT Task::LayOutNewDownload(const ProbeResult& probed, const std::string& file_name,
                                std::unique_ptr<MetaFile>* meta_file) {
  if (package_->path().empty()) package_->set_path(options_.download_folder());
  const std::string name = package_->name();
  package_->set_total_size(probed.content_length);
  HeldName held;
  // A download laid out before keeps its name while its data file is there.
  // Once that is gone the name may have been taken since, by a finished file
  // (the rename at the end would fail) or by a download being laid out (the
  // two would share one data file): it is chosen again like a new one's.
  if (name.empty() || !PathTaken(platform::JoinPath(package_->path(), DataFileName(name)))) {
    const std::string unique =
        MakeUniqueName(package_->path(), name.empty() ? file_name : RealFileName(name), &held);
    package_->set_name(unique);
    package_->set_caption(RealFileName(unique));
  } else {
    package_->set_name(DataFileName(name));
  }

  const uint64_t total_size = package_->total_size();
  std::unique_ptr<MetaFile> created;
  HRESULT hr = MetaFile::Create(total_size, &created);
  if (Failed(hr)) return hr;
  const std::string data_file = package_->FullFilePath();
  package_->set_metafile(MetaFileName(data_file));
  package_->set_download_size(0);
  // The files are about to exist under names only the package knows: the list
  // on disk names them first, so that after a crash the next start finds them
  // (and resumes) instead of laying the download out again beside them. This
  // runs on the start item with no lock held, so the wait holds up nobody.
  if (PersisterInterface* observer = package_->observer()) observer->SaveNow();
  hr = CreateFileWithSize(data_file, total_size);
  if (Failed(hr)) return hr;
  created->set_uri(package_->uri());
  created->set_name(package_->name());
  created->set_path(package_->path());
  created->set_reserved(ValidatorHash(probed.validator));
  // The download goes on without it: the first finished block saves again.
  hr = created->Save(package_->metafile());
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelWarning, "[UpdateMetaFile Failed 0x%x]", static_cast<unsigned>(hr));
  }
  *meta_file = std::move(created);
  return S_OK;
}

HRESULT Task::CreateFileWithSize(const std::string& path, uint64_t size) {
  uint64_t existing = 0;
  if (platform::FileExists(path) && Succeeded(platform::GetFileSize(path, &existing)) &&
      existing == size) {
    return S_OK;
  }
  const std::string folder = FolderOf(path);
  if (!folder.empty() && !platform::FolderExists(folder)) {
    const HRESULT hr = platform::CreateFolderWithParents(folder);
    if (Failed(hr)) {
      TLOG(LC_USER, tobric::kLevelError, "[Task::CreateFileWithSize][tobric::CreateDir failed]");
      return hr;
    }
  }
  platform::File file;
  if (Failed(file.Open(path, platform::File::kReadWrite, platform::File::kCreateAlways))) {
    TLOG(LC_USER, tobric::kLevelError, "[Task::CreateFileWithSize fail for %s!\n]", path.c_str());
    return E_CREATE_FILE_FAILED;
  }
  const HRESULT hr = file.Allocate(size);
  if (Succeeded(hr)) return S_OK;
  file.Close();
  // The file is ours and useless at the wrong size; a full disk should not
  // also keep an empty file the user did not ask for.
  static_cast<void>(platform::DeleteFile(path));
  return hr == platform::HresultFromWin32(platform::kErrorDiskFull) ? E_DISK_FULL
                                                                    : E_CREATE_FILE_FAILED;
}

HRESULT Task::Start() {
  const uint64_t now = platform::FileTimeNow();
  // Read before lock_: the first read of the settings loads them from disk.
  const int32_t threads = std::max<int32_t>(1, options_.threads_per_task());
  HRESULT last = S_OK;
  int started = 0;
  {
    AutoLock hold(lock_);
    if (meta_file_ == nullptr) return E_UNEXPECTED;
    start_time_ = now;
    if (meta_file_->AllBlocksDone()) {
      TLOG(LC_USER, 1, "[Task::Start][Task already done 0x%x]",
           static_cast<unsigned>(E_TASK_ALREADY_DONE));
      // The process ended between the last block and the rename. The finish
      // runs as the last worker's completion would run it, on a work item of
      // its own (Start holds the package's lock, which the report takes), and
      // no block is fetched again.
      finishing_ = true;
      auto item = std::make_unique<FinishItem>(shared_from_this());
      const HRESULT queued = options_.queue_work_item(item.get());
      if (Failed(queued)) return queued;
      static_cast<void>(item.release());
      return S_OK;
    }
    last_complete_time_ = now;
    last_data_time_.store(now);
    cursor_ = 0;
    if (single_stream_ && meta_file_->downloaded() != 0) {
      TLOG(LC_USER, tobric::kLevelWarning,
           "[Task::Start][The server does not serve ranges: the download starts again from "
           "its first byte]");
      meta_file_->ClearBlocks();
    }
    streaming_.store(single_stream_);
    const uint32_t count =
        std::min<uint32_t>(static_cast<uint32_t>(threads), meta_file_->block_count());
    for (uint32_t i = 0; i < count; ++i) {
      last = ScheduleNewWorker();
      if (Failed(last)) break;
      ++started;
    }
  }
  package_->set_start_time(now);
  if (streaming_.load()) package_->set_download_size(0);
  if (started == 0 && last != E_NO_BLOCK_LEFT) {
    TLOG(LC_USER, tobric::kLevelError, "[Task::Start][ScheduleNewWorker failed 0x%x]",
         static_cast<unsigned>(last));
    return last;
  }
  return S_OK;
}

HRESULT Task::Cancel() {
  // First, and without lock_: a task still initialising holds no lock while it
  // probes the server, and the probe watches this flag.
  cancel_requested_.store(true);
  AutoLock hold(lock_);
  TLOG(LC_USER, 1, "[Task::Cancel][WorkerItem %u]", static_cast<unsigned>(workers_.size()));
  for (WorkerItem* worker : workers_) static_cast<void>(worker->Cancel());
  // Once the last worker has ended there is nothing left to stop: a finished
  // download already has (or is getting) its final name and its metafile is
  // gone, so reporting E_CANCELED would describe files that no longer exist.
  if (!finishing_) canceled_ = true;
  // A finished download held back as half done: its file is final, and its
  // place among the running downloads would stay taken for the rest of the
  // hold. A pause or a removal ends the hold now. ArmFinishTimer reads the
  // flag set above under lock_, so a hold armed after this sees it and is not.
  if (finish_hold_ != nullptr) {
    auto item = std::make_unique<HoldEndItem>(shared_from_this());
    if (Succeeded(options_.queue_work_item(item.get()))) static_cast<void>(item.release());
  }
  return S_OK;
}

void Task::SetCallback(tobric::AsyncCallback<std::shared_ptr<TaskInterface>>* callback) {
  AutoLock hold(lock_);
  if (callback != callback_.get()) callback_.reset(callback);
}

void Task::NotifyData() {
  // Every worker calls this for every piece of data it receives; the idle check
  // reads it every 5 s. A store at most every 100 ms keeps the workers of a
  // fast download from passing this cache line between them all the time.
  constexpr uint64_t kStep = 100 * platform::kFileTimeUnitsPerMs;
  const uint64_t now = platform::FileTimeNow();
  if (now - last_data_time_.load(std::memory_order_relaxed) >= kStep) last_data_time_.store(now);
}

uint64_t Task::ResourceSize() const { return meta_file_ != nullptr ? meta_file_->file_size() : 0; }

HRESULT Task::ScheduleNewWorker() {
  if (start_over_) return E_NO_BLOCK_LEFT;
  if (canceled_) {
    TLOG(LC_USER, 1, "[Task::ScheduleNewWorker][Task %s has been canceled.]",
         package_->name().c_str());
    return E_CANCELED;
  }
  if (failure_balance_ >= kFailureLimit) {
    TLOG(LC_USER, tobric::kLevelWarning,
         "[Task::ScheduleNewWorker][Too many workers die, refusing schedule.]");
    return E_TOO_MANY_WORKER_FAILURES;
  }
  if (single_stream_) {
    // One stream for the whole file, started once the range workers are gone.
    if (!workers_.empty() || !unrecorded_.empty() || meta_file_->AllBlocksDone()) {
      return E_NO_BLOCK_LEFT;
    }
    Region whole;
    whole.block = kWholeFileBlock;
    whole.length = meta_file_->file_size();
    return QueueWorker(whole);
  }
  const uint32_t count = meta_file_->block_count();
  bool found = false;
  uint32_t block = 0;
  for (uint32_t i = 0; i < count && !found; ++i) {
    block = static_cast<uint32_t>((static_cast<uint64_t>(cursor_) + i) % count);
    found = !meta_file_->test(block) &&
            std::none_of(workers_.begin(), workers_.end(), [block](const WorkerItem* worker) {
              return worker->region().block == block;
            }) &&
            std::none_of(unrecorded_.begin(), unrecorded_.end(),
                         [block](const WrittenBlock& written) { return written.block == block; });
  }
  if (!found) return E_NO_BLOCK_LEFT;
  ++cursor_;

  Region region;
  region.block = block;
  region.position = static_cast<uint64_t>(block) * meta_file_->block_size();
  region.length = meta_file_->block_length(block);
  return QueueWorker(region);
}

HRESULT Task::QueueWorker(const Region& region) {
  auto worker = std::make_unique<WorkerItem>(shared_from_this(), region);
  HRESULT hr = worker->Prepare(ResourceSize(), block_url_, validator_);
  if (Failed(hr)) return hr;
  workers_.push_back(worker.get());
  // The pool may run the worker at once; its Complete waits for lock_.
  hr = options_.queue_work_item(worker.get());
  if (Failed(hr)) {
    workers_.pop_back();
    return hr;
  }
  static_cast<void>(worker.release());
  return S_OK;
}

// A completion runs in three steps, because the package's lock must never be
// awaited while lock_ is held: a cancel holds the package's lock (the download
// manager's cancel lock) and then waits for lock_, so a completion doing the
// reverse could dead-lock with it. Step 1, under lock_: the block joins those
// waiting for their flush, the counters, the next worker, and whether this was
// the last worker. Step 2, without lock_: the package's download_size and
// speed. Two workers may finish step 1 in one order and reach step 2 in the
// other; the sequence number taken in step 1 lets step 2 drop values older
// than those already shown. Step 3, without lock_: the flush and record of the
// waiting blocks (CommitBlocks) when no other completion is doing it, or else,
// for the last worker, the rename and the report to the manager, whose
// callback takes the package's lock.
//
// Two answers of a worker change the way the download goes on instead of
// failing it: the server ignores ranges (the range workers are recalled and
// one stream fetches the whole file) and the file changed on the server (the
// workers are recalled and, once the last has ended, the download starts over
// on this thread). Results of recalled workers are no failures.
void Task::Complete(WorkerItem* worker, HRESULT result) {
  PackageUpdate update;
  Ending ending;
  bool commit = false;
  {
    AutoLock hold(lock_);
    TLOG(LC_USER, 1, "[Task::Complete]");
    const Region region = worker->region();
    workers_.erase(std::remove(workers_.begin(), workers_.end(), worker), workers_.end());

    if (Failed(result)) {
      TLOG(LC_USER, tobric::kLevelWarning, "[Task::Complete][WorkerItem failed 0x%x]",
           static_cast<unsigned>(result));
    }
    if (Succeeded(result)) {
      // The speed counts blocks that arrived whole, over the time since the
      // last one did.
      const uint64_t now = platform::FileTimeNow();
      const uint64_t elapsed = now > last_complete_time_ ? now - last_complete_time_ : 1;
      const uint64_t speed = region.length * platform::kFileTimeUnitsPerSecond / elapsed;
      update.speed = static_cast<int32_t>(
          std::min<uint64_t>(speed, static_cast<uint64_t>(std::numeric_limits<int32_t>::max())));
      last_complete_time_ = now;
      unrecorded_.push_back(
          WrittenBlock{region.block, !(journal_commit_flushes_ && worker->written_direct())});
      if (failure_balance_ > 0) --failure_balance_;
    } else if ((result == E_FILE_CHANGED || result == E_RANGES_REFUSED) && !canceled_) {
      if (result == E_FILE_CHANGED) {
        start_over_ = true;
      } else if (!single_stream_) {
        TLOG(LC_USER, tobric::kLevelWarning,
             "[Task::Complete][The server does not serve ranges: one stream fetches the whole "
             "file]");
        single_stream_ = true;
        streaming_.store(true);
        meta_file_->ClearBlocks();
        static_cast<void>(MakeMetaFileImage(&ending.image, &ending.image_generation));
      }
      for (WorkerItem* running : workers_) static_cast<void>(running->Cancel());
      recalling_ = !workers_.empty();
    } else if (!(recalling_ && result == E_CANCELED)) {
      ++failure_balance_;
      error_code_ = result;
    }
    update.downloaded = meta_file_->downloaded();
    update.sequence = ++update_sequence_;

    if (workers_.empty()) recalling_ = false;
    const HRESULT next = ScheduleNewWorker();
    if (next != E_NO_BLOCK_LEFT && next != E_TOO_MANY_WORKER_FAILURES) error_code_ = next;

    commit = !committing_ && !unrecorded_.empty();
    if (commit) committing_ = true;
    DecideEnding(&ending);
    TLOG(LC_USER, 1, "[Task::Complete done]");
  }

  if (!ending.image.empty()) WriteMetaFileImage(ending.image_generation, ending.image);
  ApplyPackageUpdate(update);
  if (commit) {
    CommitBlocks();
    return;
  }
  Conclude(ending);
}

// The group commit. A block is recorded only once its bytes are on disk,
// which takes one of two ways:
//
//  - A block whose bytes went around the page cache (the worker wrote it
//    direct), on a file system whose journal flushes the device before each
//    commit, needs nothing more. Its bytes reached the device before the
//    metafile image naming it was written, and that image, a new file renamed
//    over the old one, can only be on disk after a journal commit, which
//    first flushes the device's write cache; the extents the block filled
//    were committed with or before it. A crash of the process loses nothing
//    either: the bytes are no longer in the process nor in the page cache.
//  - Any other block waits for a flush of the data file (fdatasync), which
//    puts there every block written before it, so the blocks that finish
//    while a flush runs wait for the next one.
//
// Either way one metafile image records every block that waits: a download of
// many blocks costs far fewer images than blocks, and on the first way no
// flush at all until the folder of the finished file is synced. One
// completion at a time commits (committing_); the others add their block and
// go on, so no thread waits for another's flush and the workers' next blocks
// arrive meanwhile. The committing thread goes on until no block waits, and
// then decides the end itself when the last worker ended during its flush.
void Task::CommitBlocks() {
  for (;;) {
    size_t batch = 0;
    bool needs_flush = false;
    {
      AutoLock hold(lock_);
      batch = unrecorded_.size();
      needs_flush = std::any_of(unrecorded_.begin(), unrecorded_.end(),
                                [](const WrittenBlock& written) { return written.needs_flush; });
    }
    const HRESULT flushed = needs_flush ? FlushDataFile() : S_OK;
    PackageUpdate update;
    Ending ending;
    bool more = false;
    {
      AutoLock hold(lock_);
      if (Succeeded(flushed)) {
        for (size_t i = 0; i < batch; ++i) Record(unrecorded_[i].block);
      } else {
        // The blocks are not known to be on disk: they are fetched again.
        TLOG(LC_USER, tobric::kLevelWarning, "[Task::CommitBlocks][Flush of %s failed 0x%x]",
             package_->FullFilePath().c_str(), static_cast<unsigned>(flushed));
        ++failure_balance_;
        error_code_ = flushed;
      }
      unrecorded_.erase(unrecorded_.begin(), unrecorded_.begin() + static_cast<ptrdiff_t>(batch));
      update.downloaded = meta_file_->downloaded();
      update.sequence = ++update_sequence_;
      if (Failed(flushed) && workers_.empty()) {
        const HRESULT next = ScheduleNewWorker();
        if (next != E_NO_BLOCK_LEFT && next != E_TOO_MANY_WORKER_FAILURES) error_code_ = next;
      }
      more = !unrecorded_.empty();
      if (!more) {
        committing_ = false;
        DecideEnding(&ending);
      }
      // The blocks' record, unless the download has them all and ends now:
      // the rename makes the metafile moot, and one write fewer per download
      // counts when a hundred run at once. An unfinished end has its image
      // from DecideEnding, made after these blocks were set.
      if (Succeeded(flushed) && !(ending.finish && ending.all_done) && ending.image.empty() &&
          !MakeMetaFileImage(&ending.image, &ending.image_generation)) {
        TLOG(LC_USER, tobric::kLevelWarning, "[UpdateMetaFile Failed]");
      }
    }
    // Before the package shows the blocks: the list never counts a block the
    // metafile on disk does not have.
    if (!ending.image.empty()) WriteMetaFileImage(ending.image_generation, ending.image);
    ApplyPackageUpdate(update);
    if (!more) {
      Conclude(ending);
      return;
    }
  }
}

HRESULT Task::FlushDataFile() {
  const std::string path = package_->FullFilePath();
  if (options_.flush_data_file) return options_.flush_data_file(path);
  platform::File file;
  HRESULT hr = file.Open(path, platform::File::kRead, platform::File::kOpenExisting);
  if (Succeeded(hr)) hr = file.SyncData();
  return hr;
}

void Task::Record(uint32_t block) {
  if (block == kWholeFileBlock) {
    for (uint32_t each = 0; each < meta_file_->block_count(); ++each) meta_file_->set(each, true);
    return;
  }
  // A range block that was on its way when the server turned out to ignore
  // ranges: the one stream fetches and records the whole file.
  if (!single_stream_) meta_file_->set(block, true);
}

void Task::DecideEnding(Ending* ending) {
  if (!workers_.empty() || finishing_ || committing_) return;
  if (start_over_ && !canceled_) {
    ending->start_over = true;
    return;
  }
  finishing_ = true;
  ending->finish = true;
  ending->all_done = meta_file_->AllBlocksDone();
  // An earlier completion may not have written its image yet. A download that
  // ends unfinished is reported only after the newest image is on disk (older
  // ones are then dropped), so that its next start reads every block; a
  // finished one drops them all before its metafile goes.
  ending->newest_image = image_generation_;
  if (!ending->all_done && ending->image.empty() && image_generation_ != 0) {
    static_cast<void>(MakeMetaFileImage(&ending->image, &ending->image_generation));
  }
  // With every block on disk the download is finished even when a cancel
  // came in while the last block arrived: the rename costs nothing, and a
  // report of E_CANCELED would have the next start lay the download out
  // anew.
  if (ending->all_done) canceled_ = false;
}

void Task::Conclude(const Ending& ending) {
  if (ending.start_over) {
    StartOver();
    return;
  }
  if (!ending.finish) return;
  if (ending.all_done) {
    {
      // Waits for a write under way; later ones of these images are dropped.
      tobric::MutexLock hold(save_mutex_);
      saved_generation_ = std::max(saved_generation_, ending.newest_image);
    }
    if (DoFinish()) return;
  }
  OnComplete();
}

// Images are numbered under lock_ in the order their bits were set, and each
// holds every bit set before it; so an image older than the one on disk has
// nothing to add and is dropped. That also keeps a late write from bringing
// back the metafile that the finish has deleted (the last completion's image
// is the newest). save_mutex_ is held across the write and only other
// completions of this task ever wait for it: a cancel, a pause or a package
// read never does.
bool Task::MakeMetaFileImage(std::vector<uint8_t>* image, uint64_t* generation) {
  if (meta_file_ == nullptr || Failed(meta_file_->PrepareSave(image))) {
    image->clear();
    return false;
  }
  *generation = ++image_generation_;
  return true;
}

void Task::WriteMetaFileImage(uint64_t generation, const std::vector<uint8_t>& image) {
  tobric::MutexLock hold(save_mutex_);
  if (generation <= saved_generation_) return;
  saved_generation_ = generation;
  const HRESULT hr = MetaFile::WriteImage(package_->metafile(), image);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelWarning, "[UpdateMetaFile Failed 0x%x]", static_cast<unsigned>(hr));
  }
}

void Task::FinishWithoutWorkers() {
  if (DoFinish()) return;
  OnComplete();
}

void Task::ApplyPackageUpdate(const PackageUpdate& update) {
  tobric::MutexLock hold(update_mutex_);
  if (update.sequence <= applied_sequence_) return;
  applied_sequence_ = update.sequence;
  if (update.speed >= 0) package_->set_download_speed(update.speed);
  package_->set_download_size(update.downloaded);
}

// The file changed on the server and every worker has ended: the download is
// initialized again (the probe sees the new version, the layout is made anew)
// and started. A file that keeps changing fails the download after
// kMaxStartOvers rounds instead of being fetched for ever.
void Task::StartOver() {
  uint64_t newest_image = 0;
  int start_overs = 0;
  {
    AutoLock hold(lock_);
    start_over_ = false;
    start_overs = ++start_overs_;
    newest_image = image_generation_;
    // Lets go of the metafile's hold, so that Initialize can load it.
    meta_file_.reset();
  }
  {
    // A completion of the old version still writing its image must not put
    // it over the metafile of the new layout.
    tobric::MutexLock hold(save_mutex_);
    saved_generation_ = std::max(saved_generation_, newest_image);
  }
  HRESULT hr = E_FILE_CHANGED;
  if (start_overs <= kMaxStartOvers) {
    TLOG(LC_USER, tobric::kLevelWarning, "[Task::StartOver][The file changed on the server; "
         "the download starts over]");
    hr = Initialize();
    if (Succeeded(hr)) hr = Start();
    if (Succeeded(hr)) return;
  }
  {
    AutoLock hold(lock_);
    finishing_ = true;
    error_code_ = hr;
  }
  OnComplete();
}

void Task::NotifyProgress(uint64_t received) {
  NotifyData();
  if (!streaming_.load()) return;
  // One stream for the whole file records nothing until its end; the package
  // shows what has arrived, at most twice a second.
  const uint64_t now = platform::MonotonicMs();
  tobric::MutexLock hold(progress_mutex_);
  if (now - progress_time_ms_ < 500) return;
  if (progress_time_ms_ != 0 && received > progress_bytes_) {
    const uint64_t speed = (received - progress_bytes_) * 1000 / (now - progress_time_ms_);
    package_->set_download_speed(static_cast<int32_t>(
        std::min<uint64_t>(speed, static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))));
  }
  progress_time_ms_ = now;
  progress_bytes_ = received;
  package_->set_download_size(received);
}

bool Task::DoFinish() {
  TLOG(LC_USER, 1, "[Task::DoFinish]");
  HRESULT code = S_OK;
  const std::string from = package_->FullFilePath();
  const std::string real_name = RealFileName(package_->name());
  const std::string to = platform::JoinPath(package_->path(), real_name);
  const HRESULT hr = platform::MoveNoReplace(from, to);
  if (Succeeded(hr)) {
    // The new name on disk before the metafile goes: after a power cut either
    // the data file with its metafile or the finished file is there.
    const HRESULT synced = platform::SyncFolderOf(to);
    if (Failed(synced)) {
      TLOG(LC_USER, tobric::kLevelWarning, "[Task::DoFinish][Failed to sync folder of %s][0x%x]",
           to.c_str(), static_cast<unsigned>(synced));
    }
    // The final name last: a save between two of these steps must never
    // store a finished name without its time, or beside a metafile. Until
    // then the list names the data file, and the next start finds it renamed.
    package_->set_complete_time(platform::FileTimeNow());
    const std::string metafile = package_->metafile();
    const HRESULT deleted = platform::DeleteFile(metafile);
    if (Failed(deleted)) {
      TLOG(LC_USER, tobric::kLevelWarning, "[Deleting Meta File Failed!][0x%x]",
           static_cast<unsigned>(deleted));
    }
    // A write the process did not live to finish.
    if (platform::FileExists(MetaFileTempName(metafile))) {
      static_cast<void>(platform::DeleteFile(MetaFileTempName(metafile)));
    }
    package_->set_metafile(std::string());
    package_->set_name(real_name);
    // The list names the data file until it is saved: saved at once, a crash
    // now cannot send the next start looking for a file that is gone.
    if (PersisterInterface* observer = package_->observer()) observer->ModifiedUrgently();
  } else {
    TLOG(LC_USER, tobric::kLevelError, "[Failed to rename data file from %s to %s][0x%x]",
         from.c_str(), to.c_str(), static_cast<unsigned>(hr));
    code = E_RENAME_FAILED;
    // The last blocks were left unrecorded for the rename; the download stays
    // a data file and its metafile, which must now name every block.
    std::vector<uint8_t> image;
    uint64_t generation = 0;
    bool made = false;
    {
      AutoLock hold(lock_);
      made = MakeMetaFileImage(&image, &generation);
    }
    if (made) WriteMetaFileImage(generation, image);
  }

  uint64_t start_time = 0;
  {
    AutoLock hold(lock_);
    error_code_ = code;
    start_time = start_time_;
  }
  const uint64_t total = package_->total_size();
  const uint64_t now = platform::FileTimeNow();
  const uint64_t elapsed_ms =
      now > start_time ? (now - start_time) / platform::kFileTimeUnitsPerMs : 0;
  if (package_->download_size() == total && total != 0 &&
      elapsed_ms < options_.minimum_visible_ms) {
    package_->set_download_size(total / 2);
    if (ArmFinishTimer(static_cast<uint32_t>(options_.minimum_visible_ms - elapsed_ms))) {
      return true;
    }
    package_->set_download_size(total);
  }
  TLOG(LC_USER, 1, "[Task::DoFinish done]");
  return false;
}

// The wait is a one-shot timer rather than a pool thread put to sleep. The
// timer's tick needs a strong reference to report (the report passes one), and
// that reference may turn out to be the last: the task's destructor then runs
// inside the tick. That is safe only because the finish timer lives on the
// shared queue as a bare timer, whose deletion from inside its own tick does
// not wait for the tick; a QueueTimer member would wait for itself there.
bool Task::ArmFinishTimer(uint32_t delay_ms) {
  std::shared_ptr<Task> undo;
  {
    AutoLock hold(lock_);
    if (cancel_requested_.load()) return false;
    finish_hold_ = shared_from_this();
    const HRESULT hr =
        HttpTimerQueue()->CreateTimer(&Task::OnFinishTimer, this, std::max<uint32_t>(delay_ms, 1),
                                      0, platform::kTimerExecuteOnlyOnce, &finish_timer_id_);
    if (Succeeded(hr)) return true;
    TLOG(LC_USER, tobric::kLevelWarning, "[Task::DoFinish][Failed start queue timer][0x%x]",
         static_cast<unsigned>(hr));
    finish_timer_id_ = 0;
    undo = std::move(finish_hold_);
  }
  return false;
}

void Task::OnFinishTimer(void* parameter, bool fired) {
  static_cast<void>(fired);
  EndFinishHold(static_cast<Task*>(parameter));
}

void Task::EndFinishHold(Task* task) {
  std::shared_ptr<Task> self;
  {
    // Also waits until ArmFinishTimer has stored the timer's id.
    AutoLock hold(task->lock_);
    self = std::move(task->finish_hold_);
  }
  if (self == nullptr) return;
  self->package_->set_download_size(self->package_->total_size());
  TLOG(LC_USER, 1, "[Task::DoFinish done]");
  self->OnComplete();
}

void Task::OnComplete() {
  HRESULT code = S_OK;
  tobric::AsyncCallback<std::shared_ptr<TaskInterface>>* callback = nullptr;
  {
    AutoLock hold(lock_);
    if (canceled_) error_code_ = E_CANCELED;
    code = error_code_.load();
    callback = callback_.get();
    // The metafile is let go (and with it the hold from Load) before the
    // report: the next start of this download may come at once and must find
    // the metafile free, not in use by a task that is only ending.
    meta_file_.reset();
  }
  TLOG(LC_USER, 1, "[Task::OnComplete][task %s done, error code:0x%x]", package_->name().c_str(),
       static_cast<unsigned>(code));
  // The callback stays owned by the task, which outlives the call: the
  // reference passed in is held by the callback while it runs.
  if (callback != nullptr) callback->Invoke(shared_from_this());
}

void Task::OnIdleTimer(tobric::QueueTimer* timer) {
  auto* task = static_cast<Task*>(timer->owner());
  const uint64_t now = platform::FileTimeNow();
  const uint64_t last = task->last_data_time_.load();
  const uint64_t limit =
      static_cast<uint64_t>(task->options_.idle_limit_ms) * platform::kFileTimeUnitsPerMs;
  if (now > last && now - last > limit) task->package_->set_download_speed(0);
}

}  // namespace lorvane
