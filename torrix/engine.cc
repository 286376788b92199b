#include "torrix/engine.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <utility>
#include <vector>

#include "base/logging/logging.h"
#include "base/numbered_name.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "base/platform/process.h"
#include "torrix/download_task.h"
#include "torrix/magnet_link.h"
#include "torrix/resume_file.h"
#include "torrix/tavp_link.h"
#include "torrix/torrix.h"

namespace torrix {

using tobric::LC_USER;
namespace platform = tobric::platform;

namespace {

constexpr int32_t kMinSegmentKib = 16;
constexpr int32_t kMaxSegmentKib = 1024 * 1024;
constexpr int32_t kMaxWorkers = 64;
constexpr int32_t kMaxNoSourceSeconds = 24 * 60 * 60;
// How far a name taken by other downloads is numbered, name(1) to name(9999).
constexpr uint32_t kNumberedNames = 10000;

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

std::shared_ptr<Task> Engine::FindLocked(uint32_t handle) const {
  const auto found = tasks_.find(handle);
  return found == tasks_.end() ? nullptr : found->second;
}

int32_t Engine::Init() {
  StartLogging();
  ApplyEnvironmentSettings();
  tobric::MutexLock hold(mutex_);
  if (quitting_) return TORRIX_E_BUSY;
  initialized_ = true;
  TLOG(LC_USER, 1, "[Engine::Init]");
  return TORRIX_OK;
}

int32_t Engine::Quit() {
  std::map<uint32_t, std::shared_ptr<Task>> tasks;
  std::shared_ptr<Swarm> swarm;
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
  {
    tobric::MutexLock hold(mutex_);
    swarm.swap(swarm_);
  }
  // Ends the session's threads; every torrent has left it.
  swarm.reset();
  tobric::MutexLock hold(mutex_);
  quitting_ = false;
  initialized_ = false;
  return TORRIX_OK;
}

int32_t Engine::SetSetting(int32_t id, int32_t value) {
  switch (id) {
    case TORRIX_SETTING_DOWNLOAD_LIMIT:
      download_limiter_.SetRate(value);
      download_limit_.store(value);
      break;
    case TORRIX_SETTING_UPLOAD_LIMIT:
      // What magnet tasks send to peers; HTTP tasks send nothing.
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
    case TORRIX_SETTING_LISTEN_PORT:
      if (value < 0 || value > 65535) return TORRIX_E_INVALID_ARG;
      listen_port_.store(value);
      break;
    case TORRIX_SETTING_DHT:
    case TORRIX_SETTING_LSD:
    case TORRIX_SETTING_PORT_MAPPING:
    case TORRIX_SETTING_LOOPBACK_ONLY:
      if (value != 0 && value != 1) return TORRIX_E_INVALID_ARG;
      (id == TORRIX_SETTING_DHT            ? dht_
       : id == TORRIX_SETTING_LSD          ? lsd_
       : id == TORRIX_SETTING_PORT_MAPPING ? port_mapping_
                                           : loopback_only_)
          .store(value == 1);
      break;
    case TORRIX_SETTING_NO_SOURCE_SECONDS:
      if (value < 1 || value > kMaxNoSourceSeconds) return TORRIX_E_INVALID_ARG;
      no_source_seconds_.store(value);
      break;
    default:
      return TORRIX_E_INVALID_ARG;
  }
  if (id == TORRIX_SETTING_DOWNLOAD_LIMIT || id == TORRIX_SETTING_UPLOAD_LIMIT ||
      (id >= TORRIX_SETTING_LISTEN_PORT && id <= TORRIX_SETTING_NO_SOURCE_SECONDS)) {
    std::shared_ptr<Swarm> swarm;
    {
      tobric::MutexLock hold(mutex_);
      swarm = swarm_;
    }
    if (swarm != nullptr) swarm->Apply(CurrentSwarmSettings());
  }
  TLOG(LC_USER, 2, "[Engine::SetSetting][%d = %d]", id, value);
  return TORRIX_OK;
}

void Engine::ApplyEnvironmentSettings() {
  const std::string text = tobric::platform::GetEnv("TORRIX_SETTINGS");
  std::string_view rest(text);
  while (!rest.empty()) {
    const size_t comma = std::min(rest.find(','), rest.size());
    const std::string_view item = rest.substr(0, comma);
    rest.remove_prefix(std::min(comma + 1, rest.size()));
    const size_t equals = item.find('=');
    int32_t id = 0;
    int32_t value = 0;
    const auto parse = [](std::string_view digits, int32_t* out) {
      const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), *out);
      return error == std::errc() && end == digits.data() + digits.size();
    };
    if (equals == std::string_view::npos || !parse(item.substr(0, equals), &id) ||
        !parse(item.substr(equals + 1), &value) || SetSetting(id, value) != TORRIX_OK) {
      TLOG(LC_USER, tobric::kLevelWarning, "[Engine::ApplyEnvironmentSettings][ignored: %.*s]",
           static_cast<int>(item.size()), item.data());
    }
  }
}

SwarmSettings Engine::CurrentSwarmSettings() const {
  SwarmSettings settings;
  settings.download_limit = download_limit_.load();
  settings.upload_limit = upload_limit_.load();
  settings.listen_port = listen_port_.load();
  settings.dht = dht_.load();
  settings.lsd = lsd_.load();
  settings.port_mapping = port_mapping_.load();
  settings.loopback_only = loopback_only_.load();
  settings.no_source_seconds = no_source_seconds_.load();
  return settings;
}

std::shared_ptr<Swarm> Engine::GetSwarm() {
  {
    tobric::MutexLock hold(mutex_);
    if (UsableLocked() != TORRIX_OK) return nullptr;
    if (swarm_ != nullptr) return swarm_;
  }
  std::shared_ptr<Swarm> made = MakeSwarm(CurrentSwarmSettings());
  if (made == nullptr) return nullptr;
  std::shared_ptr<Swarm> spare;
  tobric::MutexLock hold(mutex_);
  // Another Create made one meanwhile: that one stays, this one goes (after
  // the lock is let go, when `spare` is destroyed).
  if (swarm_ == nullptr) {
    swarm_ = std::move(made);
  } else {
    spare = std::move(made);
  }
  return swarm_;
}

int32_t Engine::Create(const std::string& uri, const std::string& folder, const std::string& name,
                       uint32_t* handle) {
  TavpLink link;
  if (!ParseTavpLink(uri, &link)) {
    TLOG(LC_USER, tobric::kLevelError, "[Engine::Create][not a tavp link: %s]", uri.c_str());
    return TORRIX_E_CREATE_FAILED;
  }
  std::string final_name = SafeFileName(name.empty() ? link.name : name);
  // Without a folder the download goes to the home folder.
  const std::string where = folder.empty() ? platform::HomeFolder() : folder;
  // A name from the caller is the one its download had, kept while the files
  // of that download are there. Once they are gone the name may have been
  // taken since, and it is chosen again like a link's own.
  const std::string partial = platform::JoinPath(where, final_name);
  const bool choose_name = name.empty() || (!platform::FileExists(partial + kDataExtension) &&
                                            !platform::FileExists(partial + kResumeExtension));
  MagnetLink magnet;
  std::shared_ptr<Swarm> swarm;
  if (IsMagnetLink(link.source)) {
    if (!ParseMagnetLink(link.source, &magnet)) {
      TLOG(LC_USER, tobric::kLevelError, "[Engine::Create][not a usable magnet link: %s]",
           link.source.c_str());
      return TORRIX_E_CREATE_FAILED;
    }
    swarm = GetSwarm();
    if (swarm == nullptr) {
      tobric::MutexLock hold(mutex_);
      const int32_t usable = UsableLocked();
      return usable != TORRIX_OK ? usable : TORRIX_E_FAILED;
    }
  }

  tobric::MutexLock hold(mutex_);
  if (const int32_t usable = UsableLocked(); usable != TORRIX_OK) return usable;
  while (next_handle_ == 0 || tasks_.count(next_handle_) != 0) ++next_handle_;
  std::shared_ptr<Task> task;
  if (choose_name && swarm == nullptr) final_name = FreeNameLocked(where, final_name, link.source);
  if (swarm != nullptr) {
    task = swarm->NewTask(next_handle_, std::move(link), std::move(magnet), where,
                          std::move(final_name), &claims_);
  } else {
    task = std::make_shared<DownloadTask>(next_handle_, std::move(link), where,
                                          std::move(final_name), &download_limiter_, &claims_);
  }
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

// For a download named by its link: the first of name, name(1), name(2) ...
// that no task of the table targets, and under which the folder holds no
// other download: neither a finished file nor the resume file of another
// source, whose data the new download would lay out over. What an earlier
// download of the same source left there is resumed.
std::string Engine::FreeNameLocked(const std::string& folder, const std::string& name,
                                   const std::string& source) const {
  for (uint32_t k = 0; k < kNumberedNames; ++k) {
    const std::string candidate = tobric::NumberedName(name, k);
    const std::string path = platform::JoinPath(folder, candidate);
    const bool targeted = std::any_of(tasks_.begin(), tasks_.end(), [&](const auto& entry) {
      return entry.second->TargetPath() == path;
    });
    if (targeted || platform::FileExists(path) || platform::FolderExists(path)) continue;
    std::string recorded;
    if (ReadResumeSource(path + kResumeExtension, &recorded) && recorded != source) continue;
    return candidate;
  }
  // Every number taken: the name as it was, which its task will find in use.
  return name;
}

int32_t Engine::Start(uint32_t handle) {
  TaskTuning tuning;
  tuning.segment_size = static_cast<uint64_t>(segment_kib_.load()) * 1024;
  tuning.workers = static_cast<uint32_t>(workers_.load());
  tobric::MutexLock hold(mutex_);
  if (const int32_t usable = UsableLocked(); usable != TORRIX_OK) return usable;
  const std::shared_ptr<Task> task = FindLocked(handle);
  if (task == nullptr) return TORRIX_E_NO_TASK;
  return task->Start(tuning);
}

int32_t Engine::Stop(uint32_t handle) {
  tobric::MutexLock hold(mutex_);
  if (const int32_t usable = UsableLocked(); usable != TORRIX_OK) return usable;
  const std::shared_ptr<Task> task = FindLocked(handle);
  if (task == nullptr) return TORRIX_E_NO_TASK;
  task->Stop();
  return TORRIX_OK;
}

int32_t Engine::Delete(uint32_t handle, bool with_files) {
  std::shared_ptr<Task> task;
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
  std::shared_ptr<Task> task;
  {
    tobric::MutexLock hold(mutex_);
    if (const int32_t usable = UsableLocked(); usable != TORRIX_OK) return usable;
    task = FindLocked(handle);
  }
  *snapshot = task == nullptr ? TaskSnapshot{} : task->Snapshot();
  return TORRIX_OK;
}

}  // namespace torrix
