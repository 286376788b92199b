#include "storage/persister.h"

#include <chrono>
#include <limits>
#include <new>
#include <utility>

#include "base/logging/logging.h"
#include "base/platform/clock.h"
#include "base/platform/files.h"
#include "base/platform/work_pool.h"
#include "base/threading/user_work_item.h"
#include "center/offline_center.h"
#include "http_task/meta_file.h"
#include "package/package.h"
#include "package/package_state.h"
#include "storage/config_manager.h"
#include "base/unreadable_file.h"

namespace lorvane {

using tobric::AutoLock;
using tobric::LC_USER;
namespace platform = tobric::platform;

namespace {

// The error code a package is stored with: its code while it is in STATE_ERROR,
// else 0, since a stored code brings the package back in error at the next
// start. State and code are read as one value, without the package's lock: a
// save never waits for a package. A failure sets its code before its state;
// a save that reads between the two stores no code, and the state change asks
// for the next save, which stores it.
HRESULT StoredErrorCode(const Package& package) {
  const Package::Status status = package.status();
  return status.state == STATE_ERROR ? status.error_code : 0;
}

// Reads only the package's own atomics and leaf-locked strings.
ResourceFile RecordOf(Package& package) {
  ResourceFile record;
  record.error_code = StoredErrorCode(package);
  record.total_size = package.total_size();
  record.download_size = package.download_size();
  record.create_time = package.create_time();
  record.complete_time = package.complete_time();
  record.name = package.name();
  record.path = package.path();
  record.uri = package.uri();
  record.caption = package.caption();
  record.metafile = package.metafile();
  return record;
}

// After a crash the list holds the progress of its last save, up to a delay
// behind the metafile, which the task updates after every block. The
// metafile's figure is taken when it describes this very download as a task
// would resume it: same uri, and the list's size, the metafile's and the data
// file's all agree. A missing or damaged metafile changes nothing.
void TakeMetafileProgress(Package* package) {
  const uint64_t total = package->total_size();
  if (total == 0 || package->download_size() == total) return;
  const std::string data_file = package->FullFilePath();
  if (data_file.empty()) return;
  std::string metafile = package->metafile();
  if (metafile.empty()) metafile = MetaFileName(data_file);
  MetaFileProgress progress;
  if (Failed(MetaFile::ReadProgress(metafile, &progress))) return;
  uint64_t data_size = 0;
  if (progress.uri != package->uri() || progress.file_size != total ||
      Failed(platform::GetFileSize(data_file, &data_size)) || data_size != total ||
      progress.downloaded == package->download_size()) {
    return;
  }
  TLOG(LC_USER, 1, "[Persister::AddFile][Progress of %s taken from its metafile][%llu of %llu]",
       data_file.c_str(), static_cast<unsigned long long>(progress.downloaded),
       static_cast<unsigned long long>(total));
  package->set_download_size(progress.downloaded);
}

}  // namespace

Persister::Persister(OfflineCenter* owner)
    : owner_(owner),
      save_delay_ms_(owner->options().save_delay_ms),
      timer_queue_(std::make_unique<platform::TimerQueue>(owner->options().work_pool)),
      timer_(std::make_unique<tobric::QueueTimer>(timer_queue_.get(), this, &Persister::OnTimer)) {}

Persister::~Persister() { Shutdown(); }

HRESULT Persister::Initialize() {
  const std::string list = list_path();
  const std::string fresh = new_list_path();

  Resource resource;
  HRESULT hr = E_XML_LOAD_FAILED;
  uint64_t fresh_size = 0;
  // A ".new" file is what an interrupted save left: the newer list. One that a
  // kill cut short does not parse, and the list it was to replace is still
  // whole. An empty one is the same save cut short before it wrote anything.
  if (platform::FileExists(fresh) && Succeeded(platform::GetFileSize(fresh, &fresh_size)) &&
      fresh_size != 0) {
    hr = LoadList(fresh, &resource);
    if (Failed(hr)) {
      TLOG(LC_USER, tobric::kLevelWarning,
           "[Persister::Initialize][Failed to load %s, reading the list instead][0x%x]",
           fresh.c_str(), static_cast<unsigned>(hr));
    } else {
      PromoteNewList();
    }
  }
  if (Failed(hr)) {
    hr = LoadList(list, &resource);
    if (Failed(hr)) return hr;
  }
  AddFile(resource.files);
  return S_OK;
}

HRESULT Persister::LoadList(const std::string& path, Resource* resource) {
  HRESULT hr = LoadResource(path, resource);
  if (Succeeded(hr) && resource->version != kListVersion) {
    TLOG(LC_USER, tobric::kLevelError, "[Initialize][not support download list version %s to %s]",
         resource->version.c_str(), kListVersion);
    hr = E_LIST_VERSION_UNSUPPORTED;
  }
  // A missing file is an empty list; one that is there but refused may be the
  // only copy of the user's list (a newer engine's, or damaged), so the saves
  // that follow must not write over it.
  if (Failed(hr) && platform::FileExists(path) &&
      Failed(tobric::MoveAsideUnreadable(path, "Persister::Initialize"))) {
    AutoLock lock(lock_);
    refused_files_.push_back(path);
  }
  return hr;
}

void Persister::PromoteNewList() {
  const std::string list = list_path();
  const std::string fresh = new_list_path();
  // The list is about to be replaced: one that cannot be read goes aside
  // first, and while it cannot be moved the ".new" stays as it is (it is read
  // again at the next start).
  Resource current;
  if (platform::FileExists(list) && Failed(LoadList(list, &current)) &&
      platform::FileExists(list)) {
    return;
  }
  const HRESULT hr = platform::MoveReplaceDurable(fresh, list);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[Persister::Initialize][Failed to move %s onto %s][0x%x]",
         fresh.c_str(), list.c_str(), static_cast<unsigned>(hr));
    return;
  }
  TLOG(LC_USER, 1, "[Persister::Initialize][%s moved onto %s]", fresh.c_str(), list.c_str());
}

void Persister::AddFile(const std::vector<ResourceFile>& records) {
  loading_.store(true);
  for (const ResourceFile& record : records) {
    Package* package = Package::Create();
    // No observer until it is initialised: restoring the fields asks for no save.
    package->set_uri(record.uri);
    package->set_create_time(record.create_time);
    package->set_name(record.name);
    package->set_path(record.path);
    package->set_download_size(record.download_size);
    package->set_total_size(record.total_size);
    package->set_complete_time(record.complete_time);
    package->set_caption(record.caption);
    package->set_metafile(record.metafile);
    package->set_error_code(record.error_code);
    TakeMetafileProgress(package);
    package->state()->Initialize(package);
    // Only what the load changed in the stored fields (progress read from a
    // metafile, a finished file found) is worth a save; the state each
    // package settles in is not.
    if (!(RecordOf(*package) == record)) changed_while_loading_.store(true);
    package->set_observer(this);
    owner_->AddInternal(package);
    if (package->state_number() == STATE_ERROR) {
      TLOG(LC_USER, tobric::kLevelWarning, "[AddFile]][Failed to initialize package][0x%x]",
           static_cast<unsigned>(package->error_code()));
    }
    if (package_added_hook_) package_added_hook_(package);
  }
  loading_.store(false);
  if (changed_while_loading_.exchange(false)) Modified();
}

void Persister::Modified() {
  if (shut_down_.load()) return;
  const uint64_t now = platform::FileTimeNow();
  last_modified_.store(now);
  if (loading_.load()) {
    changed_while_loading_.store(true);
    return;
  }

  int32_t idle = 0;
  if (!pending_.compare_exchange_strong(idle, 1)) {
    TLOG(LC_USER, 1, "[Persistence request is ignored.]");
    return;
  }

  // A save that ended after `now` was read counts as just now.
  const uint64_t saved = last_saved_.load();
  const uint64_t since_save_ms = now > saved ? (now - saved) / platform::kFileTimeUnitsPerMs : 0;
  const uint32_t elapsed = since_save_ms > std::numeric_limits<uint32_t>::max()
                               ? std::numeric_limits<uint32_t>::max()
                               : static_cast<uint32_t>(since_save_ms);

  if (elapsed < save_delay_ms_) {
    TLOG(LC_USER, 1, "[Persistence is delayed.]");
    // Shut down meanwhile: its last save carries this change.
    static_cast<void>(ArmTimer("Persister::Modified"));
    return;
  }

  QueueSave();
}

void Persister::SaveNow() {
  if (shut_down_.load()) return;
  Persist2Disk();
}

void Persister::ModifiedUrgently() {
  if (shut_down_.load()) return;
  last_modified_.store(platform::FileTimeNow());
  if (loading_.load()) {
    changed_while_loading_.store(true);
    return;
  }
  // A pending save may be the timer's, seconds away: this one goes now, and
  // the timer's later save is merely redundant.
  pending_.store(1);
  QueueSave();
}

void Persister::QueueSave() {
  auto* item =
      new (std::nothrow) tobric::ThreadPoolCallBack0<Persister>(this, &Persister::Persist2Disk);
  if (item == nullptr) return;
  if (Failed(owner_->QueueUserWorkItem(item, platform::kWorkLongRunning))) delete item;
}

void Persister::OnTimer(tobric::QueueTimer* timer) {
  auto* self = static_cast<Persister*>(timer->owner());
  if (self == nullptr) return;
  // Ticks run on the pool's fixed threads: the save, with its disk flushes,
  // goes to a thread of its own.
  self->QueueSave();
}

// Saves asked for while one runs wait for it to end; then one of them saves
// for all, with a list collected after each of them was asked for. A hundred
// downloads that start at once thus write the list a few times instead of a
// hundred, two flushes each, and none of them returns before its change is
// on disk (or the save that carried it failed, was logged and is tried again).
void Persister::Persist2Disk() {
  bool carried = false;
  const HRESULT hr = SaveInTurn(&carried);
  if (carried) {
    TLOG(LC_USER, 1, "[Persister::Persist2Disk][Carried by another save]");
    return;
  }
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[DoPersist2Disk failed 0x%x]", static_cast<unsigned>(hr));
    RetryLater();
  }
}

HRESULT Persister::DoPersist2Disk() { return SaveInTurn(nullptr); }

HRESULT Persister::SaveInTurn(bool* carried) {
  bool served_by_another = false;
  const HRESULT hr = save_turns_.Run(
      [this] {
        TLOG(LC_USER, 1, "[Persister::Persist2Disk]");
        return CollectAndWrite();
      },
      &served_by_another);
  if (served_by_another) CountSave();
  if (carried != nullptr) *carried = served_by_another;
  return hr;
}

bool Persister::ArmTimer(const char* caller) {
  tobric::MutexLock hold(timer_mutex_);
  if (timer_ == nullptr) return false;
  const HRESULT hr = timer_->Start(save_delay_ms_, 0, platform::kTimerExecuteOnlyOnce);
  // E_UNEXPECTED: armed already, and the save it carries comes in time.
  if (Failed(hr) && hr != E_UNEXPECTED) {
    TLOG(LC_USER, tobric::kLevelError, "[%s][Failed to start the timer 0x%x]", caller,
         static_cast<unsigned>(hr));
    return false;
  }
  return true;
}

void Persister::RetryLater() {
  // Nothing else would save the list before the next change, which may be
  // hours away, or never come before a crash.
  // Shut down: the last save has been made, or is the one that failed.
  if (!ArmTimer("Persister::Persist2Disk")) return;
  TLOG(LC_USER, tobric::kLevelWarning, "[Persister::Persist2Disk][Save tried again in %u ms]",
       save_delay_ms_);
}

HRESULT Persister::CollectAndWrite() {
  TLOG(LC_USER, 1, "[Persister::DoPersist2Disk]");
  Resource resource;
  resource.version = kListVersion;
  {
    AutoLock center_lock(owner_->lock());
    // Cleared before collecting: a change from here on asks for a save of its
    // own, so none is lost.
    pending_.exchange(0);
    std::vector<Package*> packages;
    owner_->GetPackages(&packages);
    resource.files.reserve(packages.size());
    for (Package* package : packages) resource.files.push_back(RecordOf(*package));
  }
  std::shared_ptr<std::function<void()>> hook;
  {
    tobric::MutexLock hold(hook_mutex_);
    hook = before_write_hook_;
  }
  if (hook != nullptr && *hook) (*hook)();
  const HRESULT hr = HardSave(resource);
  last_saved_.store(platform::FileTimeNow());
  CountSave();
  return hr;
}

HRESULT Persister::HardSave(const Resource& resource) {
  TLOG(LC_USER, 1, "[Persister::HardSave]");
  // Saves take turns, so the files below have one writer.
  const std::string list = list_path();
  const std::string fresh = new_list_path();
  HRESULT hr = SetAsideRefusedFiles();
  if (Failed(hr)) return hr;

  // The list is printed into memory and written once, into the ".new" file.
  // That file is made and flushed in the list's own folder, so that the
  // rename below is atomic against a crash; until the rename the old list
  // stays untouched.
  const std::string bytes = PrintResource(resource);
  platform::File file;
  hr = file.Open(fresh, platform::File::kWrite, platform::File::kCreateAlways, 0600);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[::CreateFile failed][0x08%x]", static_cast<unsigned>(hr));
    return hr;
  }
  hr = file.Write(bytes.data(), bytes.size());
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[::WriteFile failed][0x08%x]", static_cast<unsigned>(hr));
    file.Close();
    DropTornNewList(fresh);
    return hr;
  }
  hr = file.Sync();
  file.Close();
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[::FlushFileBuffers failed][0x%x]",
         static_cast<unsigned>(hr));
    DropTornNewList(fresh);
    return hr;
  }

  // The file's data is on disk already; the folder is flushed after the
  // rename so that the new name is too.
  hr = platform::MoveReplace(fresh, list);
  if (Succeeded(hr)) hr = platform::SyncFolderOf(list);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[tobric::File::Move failed][0x%x]",
         static_cast<unsigned>(hr));
    return hr;
  }
  return S_OK;
}

HRESULT Persister::SetAsideRefusedFiles() {
  std::vector<std::string> refused;
  {
    AutoLock lock(lock_);
    refused.swap(refused_files_);
  }
  HRESULT hr = S_OK;
  while (!refused.empty()) {
    hr = tobric::MoveAsideUnreadable(refused.back(), "Persister::HardSave");
    if (Failed(hr)) break;
    refused.pop_back();
  }
  if (!refused.empty()) {
    AutoLock lock(lock_);
    refused_files_.insert(refused_files_.end(), refused.begin(), refused.end());
  }
  return hr;
}

void Persister::DropTornNewList(const std::string& path) {
  // Left behind, the part of the list written so far would be what the next
  // start finds first: it would be refused and moved aside as a damaged list.
  const HRESULT hr = platform::DeleteFile(path);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelWarning, "[Persister::HardSave][Failed to delete %s][0x%x]",
         path.c_str(), static_cast<unsigned>(hr));
  }
}

void Persister::Shutdown() {
  std::unique_ptr<tobric::QueueTimer> timer;
  std::unique_ptr<platform::TimerQueue> timer_queue;
  {
    tobric::MutexLock hold(timer_mutex_);
    if (shut_down_.exchange(true)) return;
    timer = std::move(timer_);
    timer_queue = std::move(timer_queue_);
  }
  // The timer waits for a tick under way; afterwards nothing of ours runs in the
  // queue, so letting it go waits for nothing.
  timer.reset();
  timer_queue.reset();
  Persist2Disk();
}

std::string Persister::list_path() {
  AutoLock lock(lock_);
  BuildPaths();
  return list_path_;
}

std::string Persister::new_list_path() {
  AutoLock lock(lock_);
  BuildPaths();
  return new_list_path_;
}

void Persister::SetPackageAddedHookForTesting(std::function<void(Package*)> hook) {
  package_added_hook_ = std::move(hook);
}

void Persister::BuildPaths() {
  if (!list_path_.empty()) return;
  const std::string& configured = owner_->options().download_list_path;
  list_path_ =
      configured.empty() ? ConfigManager::GetInstance()->GetDownloadListPath() : configured;
  new_list_path_ = list_path_ + ".new";
}

void Persister::CountSave() {
  // Notified under the mutex: a waiter that then lets the persister go finds
  // this thread done with it.
  tobric::MutexLock hold(saves_mutex_);
  ++saves_;
  saves_changed_.notify_all();
}

uint64_t Persister::save_count() const {
  tobric::MutexLock hold(saves_mutex_);
  return saves_;
}

bool Persister::WaitForSaveCount(uint64_t count, uint32_t timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  tobric::MutexLock hold(saves_mutex_);
  while (saves_ < count) {
    if (saves_changed_.wait_until(hold, deadline) == std::cv_status::timeout) return saves_ >= count;
  }
  return true;
}

}  // namespace lorvane
