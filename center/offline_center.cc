#include "center/offline_center.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "base/logging/logging.h"
#include "base/platform/process.h"
#include "download/download_interface.h"
#include "download/download_manager.h"
#include "download/task_factroy.h"
#include "download/task_interface.h"
#include "download/uri_text.h"
#include "package/package.h"
#include "package/package_state.h"
#include "storage/config_manager.h"
#include "storage/persister.h"

namespace lorvane {

using tobric::AutoLock;
using tobric::LC_USER;

namespace {

// The creation lock of the process's center. Recursive: code reached from
// Initialize on the creating thread asks for the instance again and must get it,
// while other threads wait here until Initialize has finished. Never destroyed.
tobric::LLock& CreationLock() {
  static tobric::LLock* const lock = new tobric::LLock();
  return *lock;
}

// The instance, once usable: read without the lock on every call.
std::atomic<OfflineCenter*> g_ready{nullptr};
// The instance, published before Initialize runs. Guarded by CreationLock().
OfflineCenter* g_instance = nullptr;
// What the instance is made from. Guarded by CreationLock().
OfflineCenterOptions* g_instance_options = nullptr;

// The form in which URIs are compared: blanks at both ends stripped, lower case.
std::string NormalizedUri(const std::string& uri) { return LowerCaseText(TrimUnicodeSpace(uri)); }

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Whether `uri`, normalised, equals `normalized`. ExistUri asks this of every
// listed package, and listed URIs are nearly always ASCII: for those the same
// rules (ASCII blanks, A-Z) are applied in place, without converting or copying.
bool NormalizesTo(std::string_view uri, const std::string& normalized) {
  if (!IsAscii(uri)) return NormalizedUri(std::string(uri)) == normalized;
  size_t begin = 0;
  size_t end = uri.size();
  while (begin < end && IsUnicodeSpace(static_cast<char16_t>(uri[begin]))) ++begin;
  while (end > begin && IsUnicodeSpace(static_cast<char16_t>(uri[end - 1]))) --end;
  if (end - begin != normalized.size()) return false;
  for (size_t i = begin; i < end; ++i) {
    char c = uri[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (c != normalized[i - begin]) return false;
  }
  return true;
}

}  // namespace

OfflineCenter* OfflineCenter::GetInstance() {
  OfflineCenter* const ready = g_ready.load(std::memory_order_acquire);
  if (ready != nullptr) return ready;
  AutoLock hold(CreationLock());
  if (g_instance == nullptr) {
    g_instance = new OfflineCenter(g_instance_options != nullptr ? *g_instance_options
                                                                 : OfflineCenterOptions());
    // A failed start is logged by Initialize; the center then refuses what needs
    // the missing parts.
    static_cast<void>(g_instance->Initialize());
    g_ready.store(g_instance, std::memory_order_release);
  }
  return g_instance;
}

void OfflineCenter::SetInstanceOptions(OfflineCenterOptions options) {
  AutoLock hold(CreationLock());
  delete g_instance_options;
  g_instance_options = new OfflineCenterOptions(std::move(options));
}

OfflineCenter* OfflineCenter::SetInstanceForTesting(OfflineCenter* center) {
  AutoLock hold(CreationLock());
  OfflineCenter* const previous = g_instance;
  g_instance = center;
  g_ready.store(center, std::memory_order_release);
  return previous;
}

OfflineCenter::OfflineCenter(OfflineCenterOptions options) : options_(std::move(options)) {}

OfflineCenter::~OfflineCenter() {
  Stop();
  // The persister saves through the center's map and lock: it goes first.
  persister_.reset();
  download_manager_.reset();
  thread_pool_.reset();
}

HRESULT OfflineCenter::Initialize() {
  auto pool = std::make_unique<tobric::ThreadPool>(options_.work_pool);
  HRESULT hr = pool->Initialize();
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError,
         "[OfflineCenter::Initialize][Failed to initialize thread pool][0x%08x]",
         static_cast<unsigned>(hr));
    return hr;
  }
  pool->set_drain_limit_ms(options_.drain_limit_ms);
  thread_pool_ = std::move(pool);

  // The list is loaded before the download manager exists: loading never queues.
  if (options_.use_persister) {
    persister_ = std::make_unique<Persister>(this);
    hr = persister_->Initialize();
    if (Failed(hr)) {
      TLOG(LC_USER, tobric::kLevelWarning,
           "[OfflineCenter::Initialize][Failed to read download list][0x%x]",
           static_cast<unsigned>(hr));
    }
    // Parsing a long list takes several times the memory its packages keep.
    tobric::platform::ReturnFreeMemory();
  }

  if (options_.make_download_manager) {
    download_manager_ = options_.make_download_manager(this);
  } else {
    std::unique_ptr<FactoryInterface> factory =
        options_.make_factory ? options_.make_factory() : std::make_unique<TaskFactroy>();
    std::function<int32_t()> concurrent_task_num = options_.concurrent_task_num;
    if (!concurrent_task_num) {
      concurrent_task_num = [] { return ConfigManager::GetInstance()->GetConcurrentTaskNum(); };
    }
    download_manager_ =
        std::make_unique<DownloadManager>(std::move(factory), thread_pool_.get(),
                                          std::move(concurrent_task_num), options_.stop_limit_ms);
  }
  return S_OK;
}

Package* OfflineCenter::FindLocked(const std::string& id) const {
  const auto found = packages_.find(id);
  return found != packages_.end() ? found->second : nullptr;
}

HRESULT OfflineCenter::Download(const std::string& uri) {
  TLOG(LC_USER, 1, "[OfflineCenter::Download]");
  Package* const package = Package::Create();
  package->set_uri(uri);
  // Without the center's lock: the first package may wait for the settings
  // to choose a download folder, which asks every mounted drive; nobody else
  // can see the package yet.
  package->state()->Initialize(package);
  package->set_observer(persister_.get());
  AddInternal(package);
  // Saved at once, not up to five seconds later: the client is told the
  // download is added, and a crash in between would lose it.
  if (persister_ != nullptr) persister_->ModifiedUrgently();

  if (package->state_number() == STATE_ERROR) {
    const HRESULT error = package->error_code();
    TLOG(LC_USER, tobric::kLevelWarning,
         "[OfflineCenter::Download]][Failed to initialize package][0x%x]",
         static_cast<unsigned>(error));
    return error;
  }
  // After the stop no pass would ever start the task: the package stays listed,
  // ready, and the caller learns why nothing runs.
  if (stopped()) {
    TLOG(LC_USER, tobric::kLevelWarning,
         "[OfflineCenter::Download][The engine is stopped; package is not queued][0x%x]",
         static_cast<unsigned>(tobric::E_POOL_DRAINED));
    return tobric::E_POOL_DRAINED;
  }
  AutoLock package_lock(package->lock());
  package->state()->QueueDownload(package);
  return S_OK;
}

HRESULT OfflineCenter::Start(const std::string& id) {
  TLOG(LC_USER, 1, "[OfflineCenter::Start]");
  Package* const package = FindPackage(id);
  if (package == nullptr) return E_PACKAGE_NOT_FOUND;
  if (stopped()) {
    TLOG(LC_USER, tobric::kLevelWarning,
         "[OfflineCenter::Start][The engine is stopped; package is not queued][0x%x]",
         static_cast<unsigned>(tobric::E_POOL_DRAINED));
    return tobric::E_POOL_DRAINED;
  }
  // The state is read and acted on under the package's lock: two Starts at
  // once queue the package once.
  AutoLock package_lock(package->lock());
  package->state()->QueueDownload(package);
  return package->error_code();
}

HRESULT OfflineCenter::Pause(const std::string& id) {
  TLOG(LC_USER, 1, "[OfflineCenter::Pause]");
  Package* const package = FindPackage(id);
  if (package == nullptr) return E_PACKAGE_NOT_FOUND;
  AutoLock package_lock(package->lock());
  package->state()->Pause(package);
  TLOG(LC_USER, 1, "[OfflineCenter::Pause done]");
  return package->error_code();
}

HRESULT OfflineCenter::Delete(const std::string& id) {
  TLOG(LC_USER, 1, "[OfflineCenter::Delete]");
  Package* const package = Unlist(id);
  if (package == nullptr) return E_PACKAGE_NOT_FOUND;
  AutoLock package_lock(package->lock());
  package->state()->Pause(package);
  return S_OK;
}

HRESULT OfflineCenter::DeletePerment(const std::string& id) {
  TLOG(LC_USER, 1, "[OfflineCenter::DeletePerment]");
  Package* const package = Unlist(id);
  if (package == nullptr) return E_PACKAGE_NOT_FOUND;
  // The files are deleted without the center's lock, which a slow disk would
  // otherwise hold from every other client.
  AutoLock package_lock(package->lock());
  package->state()->Delete(package);
  return S_OK;
}

Package* OfflineCenter::Unlist(const std::string& id) {
  Package* package;
  {
    // Finding and removing under one hold: of two racing deletes of the same id
    // exactly one finds the package.
    AutoLock hold(lock_);
    package = FindLocked(id);
    if (package == nullptr) return nullptr;
    DeleteInternal(package);
  }
  // At once too: a removed download must not come back after a crash, least
  // of all one whose files were deleted with it.
  if (persister_ != nullptr) persister_->ModifiedUrgently();
  return package;
}

Package* OfflineCenter::FindPackage(const std::string& id) {
  AutoLock hold(lock_);
  return FindLocked(id);
}

void OfflineCenter::GetPackages(std::vector<Package*>* packages, size_t limit) {
  AutoLock hold(lock_);
  const size_t wanted = std::min(limit, packages_.size());
  packages->reserve(packages->size() + wanted);
  auto it = packages_.begin();
  for (size_t i = 0; i < wanted; ++i, ++it) packages->push_back(it->second);
}

uint32_t OfflineCenter::GetPackageCount() {
  AutoLock hold(lock_);
  return static_cast<uint32_t>(packages_.size());
}

bool OfflineCenter::ExistUri(const std::string& uri) {
  const std::string wanted = NormalizedUri(uri);
  AutoLock hold(lock_);
  for (const auto& [id, package] : packages_) {
    if (NormalizesTo(package->uri(), wanted)) return true;
  }
  return false;
}

uint32_t OfflineCenter::GetTotalDownloadSpeed() {
  AutoLock hold(lock_);
  uint32_t total = 0;
  for (const auto& [id, package] : packages_) {
    PackageState* const state = package->state();
    if (state->GetState() != STATE_DOWNLOADING) continue;
    total += static_cast<uint32_t>(state->get_download_speed(package));
  }
  return total;
}

void OfflineCenter::AddInternal(Package* package) {
  AutoLock hold(lock_);
  TLOG(LC_USER, 1, "[OfflineCenter::AddInternal][Package %s is added to list]",
       package->FullFilePath().c_str());
  packages_.emplace(package->id(), package);
}

void OfflineCenter::DeleteInternal(Package* package) {
  AutoLock hold(lock_);
  TLOG(LC_USER, 1, "[OfflineCenter::DeleteInternal]][Package %s is deleted from list]",
       package->FullFilePath().c_str());
  packages_.erase(package->id());
}

HRESULT OfflineCenter::QueueUserWorkItem(tobric::UserWorkItem* item, uint32_t flags) {
  TLOG(LC_USER, 1, "[OfflineCenter::QueueUserWorkItem]");
  if (thread_pool_ == nullptr) return E_UNEXPECTED;
  return thread_pool_->Queue(item, flags);
}

DownloadInterface* OfflineCenter::GetDownloadManager() { return download_manager_.get(); }

void OfflineCenter::ConcurrencyChanged() {
  if (download_manager_ != nullptr && !stopped()) download_manager_->Reschedule();
}

Persister* OfflineCenter::GetPersister() { return persister_.get(); }

std::string OfflineCenter::DownloadFolder() const {
  if (options_.download_folder) return options_.download_folder();
  return ConfigManager::GetInstance()->GetDownloadFolder();
}

bool OfflineCenter::Stop() {
  int32_t running = 0;
  if (!stopped_.compare_exchange_strong(running, 1)) return false;
  TLOG(LC_USER, 1, "[OfflineCenter::Stop]");
  if (download_manager_ != nullptr) static_cast<void>(download_manager_->StopAll());
  if (persister_ != nullptr) persister_->Shutdown();
  if (thread_pool_ != nullptr) thread_pool_->Drain();
  return true;
}

}  // namespace lorvane
