#include "torrix/engine.h"

#include <utility>
#include <vector>

#include "base/logging/logging.h"
#include "torrix/tavp_link.h"
#include "torrix/torrix.h"

namespace torrix {

using tobric::LC_USER;

namespace {

constexpr int32_t kMinSegmentKib = 16;
constexpr int32_t kMaxSegmentKib = 1024 * 1024;
constexpr int32_t kMaxWorkers = 64;

// The library's own logger (its copy of the base library has its own): lines
// go to the program's log file, marked "<program>:libtorrix". The trace socket
// is left to the program's logger, which may be made after this one: a second
// provider of that name would take the live log window away from the
// program's own lines. Made once, never destroyed, like the program's.
void StartLogging() {
  static tobric::Logging* const logger = [] {
    tobric::LoggingOptions options = tobric::LoggingOptions::Defaults();
    options.trace_provider_guid.clear();
    auto* made = new tobric::Logging(std::move(options));
    // Not a test here: the setter is the only way to install a logger made
    // from options other than the defaults.
    static_cast<void>(tobric::Logging::SetCurrentForTesting(made));
    return made;
  }();
  static_cast<void>(logger);
}

}  // namespace

Engine* Engine::Get() {
  static Engine* const engine = new Engine();
  return engine;
}

int32_t Engine::UsableLocked() const {
  if (quitting_) return TORRIX_E_BUSY;
  return initialized_ ? TORRIX_OK : TORRIX_E_FAILED;
}

std::shared_ptr<DownloadTask> Engine::FindLocked(uint32_t handle) const {
  const auto found = tasks_.find(handle);
  return found == tasks_.end() ? nullptr : found->second;
}

int32_t Engine::Init() {
  StartLogging();
  tobric::MutexLock hold(mutex_);
  if (quitting_) return TORRIX_E_BUSY;
  initialized_ = true;
  TLOG(LC_USER, 1, "[Engine::Init]");
  return TORRIX_OK;
}

int32_t Engine::Quit() {
  std::map<uint32_t, std::shared_ptr<DownloadTask>> tasks;
  {
    tobric::MutexLock hold(mutex_);
    if (!initialized_) return TORRIX_OK;
    if (quitting_) return TORRIX_E_BUSY;
    quitting_ = true;
    tasks.swap(tasks_);
  }
  TLOG(LC_USER, 1, "[Engine::Quit][%zu tasks]", tasks.size());
  // All stop at once; then each is waited for.
  for (auto& [handle, task] : tasks) task->Stop();
  for (auto& [handle, task] : tasks) task->Join();
  tasks.clear();
  tobric::MutexLock hold(mutex_);
  quitting_ = false;
  initialized_ = false;
  return TORRIX_OK;
}

int32_t Engine::SetSetting(int32_t id, int32_t value) {
  switch (id) {
    case TORRIX_SETTING_DOWNLOAD_LIMIT:
      download_limiter_.SetRate(value);
      break;
    case TORRIX_SETTING_UPLOAD_LIMIT:
      // Sources are HTTP servers: nothing is sent to peers, so there is
      // nothing yet for this limit to hold back.
      upload_limit_.store(value);
      break;
    case TORRIX_SETTING_LIMIT_MODE_DOWN:
      reserved_settings_[0].store(value);
      break;
    case TORRIX_SETTING_LIMIT_MODE_UP:
      reserved_settings_[1].store(value);
      break;
    case TORRIX_SETTING_PEER_MODE:
      reserved_settings_[2].store(value);
      break;
    case TORRIX_SETTING_SEGMENT_KIB:
      if (value < kMinSegmentKib || value > kMaxSegmentKib) return TORRIX_E_INVALID_ARG;
      segment_kib_.store(value);
      break;
    case TORRIX_SETTING_WORKERS:
      if (value < 1 || value > kMaxWorkers) return TORRIX_E_INVALID_ARG;
      workers_.store(value);
      break;
    default:
      return TORRIX_E_INVALID_ARG;
  }
  TLOG(LC_USER, 2, "[Engine::SetSetting][%d = %d]", id, value);
  return TORRIX_OK;
}

int32_t Engine::Create(const std::string& uri, const std::string& folder, const std::string& name,
                       uint32_t* handle) {
  TavpLink link;
  if (!ParseTavpLink(uri, &link)) {
    TLOG(LC_USER, tobric::kLevelError, "[Engine::Create][not a tavp link: %s]", uri.c_str());
    return TORRIX_E_CREATE_FAILED;
  }
  std::string final_name = SafeFileName(name.empty() ? link.name : name);

  tobric::MutexLock hold(mutex_);
  if (const int32_t usable = UsableLocked(); usable != TORRIX_OK) return usable;
  while (next_handle_ == 0 || tasks_.count(next_handle_) != 0) ++next_handle_;
  auto task = std::make_shared<DownloadTask>(next_handle_, std::move(link), folder,
                                             std::move(final_name), &download_limiter_, &claims_);
  const std::string target = task->TargetPath();
  if (!target.empty()) {
    for (const auto& [other_handle, other] : tasks_) {
      if (other->TargetPath() != target || !other->Active()) continue;
      TLOG(LC_USER, tobric::kLevelWarning, "[Engine::Create][%s is task %u's]", target.c_str(),
           other_handle);
      return other->Stopping() ? TORRIX_E_BUSY : TORRIX_E_CREATE_FAILED;
    }
  }
  *handle = next_handle_++;
  tasks_.emplace(*handle, std::move(task));
  TLOG(LC_USER, 1, "[Engine::Create][handle %u][%s]", *handle, uri.c_str());
  return TORRIX_OK;
}

int32_t Engine::Start(uint32_t handle) {
  TaskTuning tuning;
  tuning.segment_size = static_cast<uint64_t>(segment_kib_.load()) * 1024;
  tuning.workers = static_cast<uint32_t>(workers_.load());
  tobric::MutexLock hold(mutex_);
  if (const int32_t usable = UsableLocked(); usable != TORRIX_OK) return usable;
  const std::shared_ptr<DownloadTask> task = FindLocked(handle);
  if (task == nullptr) return TORRIX_E_NO_TASK;
  return task->Start(tuning);
}

int32_t Engine::Stop(uint32_t handle) {
  tobric::MutexLock hold(mutex_);
  if (const int32_t usable = UsableLocked(); usable != TORRIX_OK) return usable;
  const std::shared_ptr<DownloadTask> task = FindLocked(handle);
  if (task == nullptr) return TORRIX_E_NO_TASK;
  task->Stop();
  return TORRIX_OK;
}

int32_t Engine::Delete(uint32_t handle, bool with_files) {
  std::shared_ptr<DownloadTask> task;
  {
    tobric::MutexLock hold(mutex_);
    if (const int32_t usable = UsableLocked(); usable != TORRIX_OK) return usable;
    task = FindLocked(handle);
    if (task == nullptr) return TORRIX_E_NO_TASK;
    if (task->Active()) {
      task->Stop();
      return TORRIX_E_BUSY;
    }
    tasks_.erase(handle);
  }
  task->Join();
  if (with_files) task->DeleteFiles();
  TLOG(LC_USER, 1, "[Engine::Delete][handle %u]", handle);
  return TORRIX_OK;
}

int32_t Engine::Info(uint32_t handle, TaskSnapshot* snapshot) {
  std::shared_ptr<DownloadTask> task;
  {
    tobric::MutexLock hold(mutex_);
    if (const int32_t usable = UsableLocked(); usable != TORRIX_OK) return usable;
    task = FindLocked(handle);
  }
  *snapshot = task == nullptr ? TaskSnapshot{} : task->Snapshot();
  return TORRIX_OK;
}

}  // namespace torrix
