#include "storage/config_manager.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "base/logging/logging.h"
#include "base/platform/clock.h"
#include "base/platform/error.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "base/unreadable_file.h"
#include "storage/xml_documents.h"

namespace lorvane {

namespace {

constexpr char kConfigFileName[] = "config.db";
constexpr char kDownloadListFileName[] = "download_list.db";
constexpr char kDownloadSubfolder[] = "KxDownload";
constexpr char kConfigVersion[] = "1.0.0";
// The engine's own code for "not loaded", logged when the limits cannot be set.
constexpr int32_t kEngineMissing = -9;
// A probe folder name that exists already is retried with a later tick count
// this many times before the drive is given up.
constexpr int kProbeNameAttempts = 100;

// Unsigned, so that 0 and every negative value fall outside.
bool InRange(int32_t value, uint32_t max) {
  const uint32_t bits = static_cast<uint32_t>(value);
  return bits >= 1 && bits <= max;
}

bool PathExists(const std::string& path) {
  return tobric::platform::FileExists(path) || tobric::platform::FolderExists(path);
}

// root + "test" + a tick count, a name nobody uses yet; empty when none is found.
std::string ProbeName(const std::string& root) {
  for (int attempt = 0; attempt < kProbeNameAttempts; ++attempt) {
    if (attempt > 0) tobric::platform::SleepMs(1);
    std::string probe =
        tobric::platform::JoinPath(root, "test" + std::to_string(tobric::platform::TickCount()));
    if (!PathExists(probe)) return probe;
  }
  return std::string();
}

}  // namespace

std::atomic<ConfigManager::EngineSettingFunction> ConfigManager::engine_setting_function_{nullptr};

ConfigManager* ConfigManager::GetInstance() {
  // The initialisation of a function's static is the process-wide lock with the
  // check repeated inside it; the instance is never destroyed.
  static ConfigManager* const instance = [] {
    auto* manager = new ConfigManager(ConfigManagerOptions{});
    manager->Initialize();
    return manager;
  }();
  return instance;
}

void ConfigManager::SetEngineSettingFunction(EngineSettingFunction function) {
  engine_setting_function_.store(function);
}

ConfigManager::ConfigManager(ConfigManagerOptions options) : options_(std::move(options)) {}

void ConfigManager::Initialize() {
  tobric::AutoLock hold(lock_);
  Configuration loaded;
  const std::string path = GetConfigPath();
  HRESULT hr = LoadConfiguration(path, &loaded);
  if (Succeeded(hr) && loaded.version != kConfigVersion) {
    TLOG(tobric::LC_USER, tobric::kLevelError,
         "[ConfigManager::Initialize][not support configuration version %s to %s]",
         loaded.version.c_str(), kConfigVersion);
    hr = E_XML_LOAD_FAILED;
  }
  // A missing file means first start. One that is there but refused (damaged,
  // or a newer engine's) goes aside before the save below writes a new one;
  // while it cannot be moved, no save may replace it.
  if (Failed(hr) && tobric::platform::FileExists(path) &&
      Failed(tobric::MoveAsideUnreadable(path, "ConfigManager::Initialize"))) {
    refused_file_ = path;
  }
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelWarning,
         "[ConfigManager::Initialize][Configuration file is load failed 0x%x, default values are "
         "used]",
         static_cast<unsigned>(hr));
  } else {
    thread_num_per_task_ = InRange(loaded.thread_num_per_task, kMaxThreadNumPerTask)
                               ? loaded.thread_num_per_task
                               : kDefaultThreadNumPerTask;
    concurrent_task_num_ = InRange(loaded.concurrent_task_num, kMaxConcurrentTaskNum)
                               ? loaded.concurrent_task_num
                               : kDefaultConcurrentTaskNum;
    {
      tobric::AutoLock hold_folder(folder_lock_);
      // A stored folder is taken as it is, even when it no longer exists: the
      // user chose it, and a drive that is away now may be back later. Taken
      // before the limits below: each of their setters saves the file, which
      // would otherwise store an empty folder, and the next start would then
      // choose a default one over the user's.
      download_folder_ = loaded.download_folder;
    }
    // Through the setters, so the engine gets the stored limits; without the
    // engine they fail and the defaults stay (and are what the next save writes).
    static_cast<void>(SetDownBandwidth(loaded.down_bandwidth));
    static_cast<void>(SetUpBandwidth(loaded.up_bandwidth));
  }

  if (!GetDownloadFolder().empty()) return;
  std::string root;
  const std::vector<tobric::platform::DriveCandidate> candidates =
      options_.list_drives ? options_.list_drives() : tobric::platform::ListDriveCandidates();
  if (!ChooseDownloadFolder(candidates, &root)) {
    root = options_.fallback_folder.empty() ? tobric::platform::HomeFolder()
                                            : options_.fallback_folder;
  }
  {
    tobric::AutoLock hold_folder(folder_lock_);
    download_folder_ = tobric::platform::JoinPath(root, kDownloadSubfolder);
  }
  TLOG(tobric::LC_USER, 1, "[ConfigManager::Initialize][download folder %s]",
       GetDownloadFolder().c_str());
  static_cast<void>(Persist2Disk());
}

void ConfigManager::ComputePaths() {
  std::string folder = options_.user_data_folder;
  if (folder.empty()) {
    const std::string app_data = tobric::platform::LocalAppDataFolder();
    if (app_data.empty()) {
      TLOG(tobric::LC_USER, tobric::kLevelError,
           "[ConfigManager::GetUserDataPath][GetSpecialFolder CSIDL_LOCAL_APPDATA failed 0x%x]",
           static_cast<unsigned>(
               tobric::platform::HresultFromWin32(tobric::platform::kErrorPathNotFound)));
    }
    folder = tobric::platform::UserDataFolder();
  }
  if (!tobric::platform::FolderExists(folder)) {
    const HRESULT hr = tobric::platform::CreateFolderWithParents(folder);
    if (Failed(hr)) {
      TLOG(tobric::LC_USER, tobric::kLevelError,
           "[ConfigManager::GetUserDataPath][cannot create %s 0x%x]", folder.c_str(),
           static_cast<unsigned>(hr));
    }
  }
  user_data_path_ = folder;
  config_path_ = tobric::platform::JoinPath(folder, kConfigFileName);
  download_list_path_ = tobric::platform::JoinPath(folder, kDownloadListFileName);
}

std::string ConfigManager::GetUserDataPath() {
  std::call_once(paths_once_, [this] { ComputePaths(); });
  return user_data_path_;
}

std::string ConfigManager::GetConfigPath() {
  std::call_once(paths_once_, [this] { ComputePaths(); });
  return config_path_;
}

std::string ConfigManager::GetDownloadListPath() {
  std::call_once(paths_once_, [this] { ComputePaths(); });
  return download_list_path_;
}

std::string ConfigManager::GetDownloadFolder() const {
  tobric::AutoLock hold(folder_lock_);
  return download_folder_;
}

HRESULT ConfigManager::SetThreadNumPerTask(int32_t value) {
  if (!InRange(value, kMaxThreadNumPerTask)) return E_INVALID_CONFIG_VALUE;
  thread_num_per_task_ = value;
  return Persist2Disk();
}

HRESULT ConfigManager::SetConcurrentTaskNum(int32_t value) {
  if (!InRange(value, kMaxConcurrentTaskNum)) {
    TLOG(tobric::LC_USER, tobric::kLevelWarning,
         "[ConfigManager::SetConcurrentTaskNum][Invalid value is ignored %u]",
         static_cast<unsigned>(value));
    return E_INVALID_CONFIG_VALUE;
  }
  concurrent_task_num_ = value;
  return Persist2Disk();
}

HRESULT ConfigManager::SetDownBandwidth(int32_t value) {
  return SetBandwidth(Bandwidth::kDown, value);
}

HRESULT ConfigManager::SetUpBandwidth(int32_t value) { return SetBandwidth(Bandwidth::kUp, value); }

HRESULT ConfigManager::SetBandwidth(Bandwidth which, int32_t value) {
  const EngineSettingFunction set_setting = engine_setting_function_.load();
  if (set_setting == nullptr) {
    TLOG(tobric::LC_USER, tobric::kLevelError, "[LimitDownloadSpeed failed %d]", kEngineMissing);
    return E_INVALIDARG;
  }
  {
    // Under lock_ so that two limit changes at once cannot leave the engine
    // with one pair and the values with another; the save that follows
    // collects the values as they are when its turn comes.
    tobric::AutoLock hold(lock_);
    const int32_t down = which == Bandwidth::kDown ? value : down_bandwidth_.load();
    const int32_t up = which == Bandwidth::kUp ? value : up_bandwidth_.load();
    // The engine answers with its own codes; a limit it refuses still is the
    // user's setting, so the value is stored either way.
    static_cast<void>(set_setting(3, 0));
    static_cast<void>(set_setting(4, 0));
    static_cast<void>(set_setting(1, down));
    static_cast<void>(set_setting(2, up));
    (which == Bandwidth::kDown ? down_bandwidth_ : up_bandwidth_) = value;
  }
  return Persist2Disk();
}

HRESULT ConfigManager::SetDownloadFolder(const std::string& folder) {
  // A relative folder would be taken from the service's working folder, which
  // is not the sender's: it is refused whoever sends it.
  if (folder.empty() || folder[0] != '/') {
    TLOG(tobric::LC_USER, tobric::kLevelWarning,
         "[ConfigManager::SetDownloadFolder][not an absolute folder: %s]", folder.c_str());
    return E_INVALIDARG;
  }
  if (!tobric::platform::FolderExists(folder)) {
    // Only made: the client is expected to set it again once it exists, which
    // is how it learns that the folder could be made.
    const HRESULT hr = tobric::platform::CreateFolderWithParents(folder);
    if (Failed(hr)) {
      TLOG(tobric::LC_USER, tobric::kLevelWarning,
           "[ConfigManager::SetDownloadFolder][cannot create %s 0x%x]", folder.c_str(),
           static_cast<unsigned>(hr));
    }
    return hr;
  }
  {
    tobric::AutoLock hold_folder(folder_lock_);
    download_folder_ = folder;
  }
  return Persist2Disk();
}

HRESULT ConfigManager::Persist2Disk() {
  // Saves take turns (save_turns_): one asked for while another writes waits
  // for it, and then one save collects the values and writes for all who
  // waited, so the last values always reach the file and no lock is held
  // while it is written and flushed.
  return save_turns_.Run([this] { return WriteCurrentValues(); });
}

HRESULT ConfigManager::WriteCurrentValues() {
  Configuration configuration;
  configuration.version = kConfigVersion;
  configuration.concurrent_task_num = concurrent_task_num_.load();
  configuration.thread_num_per_task = thread_num_per_task_.load();
  configuration.down_bandwidth = down_bandwidth_.load();
  configuration.up_bandwidth = up_bandwidth_.load();
  configuration.download_folder = GetDownloadFolder();
  std::string refused;
  {
    tobric::AutoLock hold(lock_);
    refused = refused_file_;
  }
  if (!refused.empty()) {
    const HRESULT hr = tobric::MoveAsideUnreadable(refused, "ConfigManager::Persist2Disk");
    if (Failed(hr)) {
      TLOG(tobric::LC_USER, tobric::kLevelError, "[ConfigManager::Persist2Disk failed 0x%x]",
           static_cast<unsigned>(hr));
      return hr;
    }
    tobric::AutoLock hold(lock_);
    refused_file_.clear();
  }
  // Through a temporary file in the same folder that is moved over config.db
  // once it is on disk: a reader (or a restart after a crash) sees the old
  // file or the new one, never a mix of two saves or a torn half.
  const std::string path = GetConfigPath();
  const std::string temporary = path + ".new";
  HRESULT hr = SaveConfiguration(configuration, temporary);
  if (Succeeded(hr)) {
    const HRESULT moved = tobric::platform::MoveReplaceDurable(temporary, path);
    if (Failed(moved)) {
      TLOG(tobric::LC_USER, tobric::kLevelError,
           "[ConfigManager::Persist2Disk][cannot move %s to %s 0x%x]", temporary.c_str(),
           path.c_str(), static_cast<unsigned>(moved));
      hr = E_XML_SAVE_FAILED;
    }
  }
  if (Failed(hr)) {
    static_cast<void>(tobric::platform::DeleteFile(temporary));
    TLOG(tobric::LC_USER, tobric::kLevelError, "[ConfigManager::Persist2Disk failed 0x%x]",
         static_cast<unsigned>(hr));
  }
  return hr;
}

bool ConfigManager::ChooseDownloadFolder(
    const std::vector<tobric::platform::DriveCandidate>& candidates, std::string* root) {
  uint64_t best_free = 0;
  std::string choice;
  for (const tobric::platform::DriveCandidate& candidate : candidates) {
    if (candidate.free_bytes <= best_free) continue;
    // Free space says nothing about permissions: the drive counts only once a
    // folder has really been made on it.
    const std::string probe = ProbeName(candidate.root);
    if (probe.empty() || Failed(tobric::platform::CreateFolderWithParents(probe))) continue;
    std::error_code ignored;
    std::filesystem::remove(probe, ignored);
    best_free = candidate.free_bytes;
    choice = candidate.root;
  }
  if (best_free == 0) return false;
  *root = choice;
  return true;
}

}  // namespace lorvane
