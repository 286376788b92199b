// ConfigManager: the engine's user settings (workers per download, downloads at
// once, the P2P engine's bandwidth limits, the download folder), kept in
// config.db, and the places of the per-user files.
#ifndef STORAGE_CONFIG_MANAGER_H_
#define STORAGE_CONFIG_MANAGER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/platform/drives.h"
#include "base/result_codes.h"
#include "base/threading/lock.h"
#include "base/threading/shared_run.h"

namespace lorvane {

// Where a ConfigManager looks. The process's instance uses the defaults; tests
// point every field at a temporary folder so they never touch the real home.
struct ConfigManagerOptions {
  // Folder of config.db and download_list.db, created with its parents when
  // missing. Empty: the local application-data folder + "Velmo/Corvane/User Data".
  std::string user_data_folder;
  // Where downloads go ("KxDownload" is added) when no drive takes a test
  // folder. Empty: the user's home folder; the program's own folder, the classic
  // choice, is rarely writable by a user on Linux.
  std::string fallback_folder;
  // The drives to choose the download folder from. Empty: the platform's list
  // (tobric::platform::ListDriveCandidates).
  std::function<std::vector<tobric::platform::DriveCandidate>()> list_drives;
};

// The process's settings, made on first use by GetInstance() and never destroyed
// (tests make their own from options and call Initialize themselves).
//
// Threads: the service interface's and the console's threads call the setters;
// pool threads read the values. The four numbers are atomics and are read
// without a lock. lock_ (an LLock) serialises the start-up and the changes of
// the two limits, so that the engine's limits and the values in memory change
// together, and guards the refused file; under it only folder_lock_ and the
// logger's lock are taken, and the P2P engine is called. Saves take turns
// through save_turns_ and hold neither lock while they write and flush: each
// collects the values when its turn comes, so config.db ends with the last
// ones. folder_lock_ guards download_folder_ alone.
class ConfigManager {
 public:
  // The P2P engine's settings function: setting 1 download limit, 2 upload limit
  // (bytes per second, -1 unlimited), 3 and 4 switched off with 0.
  using EngineSettingFunction = int32_t (*)(int32_t setting, int32_t value);

  static constexpr int32_t kDefaultThreadNumPerTask = 5;
  static constexpr int32_t kDefaultConcurrentTaskNum = 5;
  static constexpr int32_t kDefaultBandwidth = -1;
  static constexpr uint32_t kMaxThreadNumPerTask = 512;
  static constexpr uint32_t kMaxConcurrentTaskNum = 2048;

  // The process's instance with default options, initialised on the first call.
  static ConfigManager* GetInstance();

  // The engine binding installs the engine's settings function once it is
  // loaded; null means the engine is absent. Process-wide.
  static void SetEngineSettingFunction(EngineSettingFunction function);

  // Defaults 5, 5, -1, -1 and no download folder until Initialize.
  explicit ConfigManager(ConfigManagerOptions options);
  ConfigManager(const ConfigManager&) = delete;
  ConfigManager& operator=(const ConfigManager&) = delete;

  // Once, before any other use: reads config.db (out-of-range counts become 5,
  // the bandwidths go through their setters so the engine receives them), and
  // chooses and saves a download folder when none is stored. A config.db that
  // does not load or has another version than "1.0.0" gives the defaults and
  // is moved aside as "config.db.bad-<time>", never overwritten.
  void Initialize();

  // Computed on first use and kept.
  [[nodiscard]] std::string GetUserDataPath();
  [[nodiscard]] std::string GetConfigPath();
  [[nodiscard]] std::string GetDownloadListPath();

  [[nodiscard]] int32_t GetThreadNumPerTask() const { return thread_num_per_task_.load(); }
  [[nodiscard]] int32_t GetConcurrentTaskNum() const { return concurrent_task_num_.load(); }
  [[nodiscard]] int32_t GetDownBandwidth() const { return down_bandwidth_.load(); }
  [[nodiscard]] int32_t GetUpBandwidth() const { return up_bandwidth_.load(); }
  [[nodiscard]] std::string GetDownloadFolder() const;

  // 1..512 (compared unsigned), stored and saved; else E_INVALID_CONFIG_VALUE.
  [[nodiscard]] HRESULT SetThreadNumPerTask(int32_t value);
  // 1..2048 (compared unsigned), stored and saved; else E_INVALID_CONFIG_VALUE.
  [[nodiscard]] HRESULT SetConcurrentTaskNum(int32_t value);
  // Hands both limits to the engine, then stores and saves; E_INVALIDARG when
  // the engine is absent (nothing is stored then).
  [[nodiscard]] HRESULT SetDownBandwidth(int32_t value);
  [[nodiscard]] HRESULT SetUpBandwidth(int32_t value);
  // An existing folder becomes the download folder and is saved (the result of
  // saving). A missing one is only created with its parents (the result of
  // that); the setting stays until it is set again.
  [[nodiscard]] HRESULT SetDownloadFolder(const std::string& folder);

  // Writes the current values to config.db with version "1.0.0", in turn with
  // the other saves (see save_turns_).
  [[nodiscard]] HRESULT Persist2Disk();

  // The fixed drive with the most free space on which a folder can be made, in
  // candidate order on ties. False when none.
  [[nodiscard]] static bool ChooseDownloadFolder(
      const std::vector<tobric::platform::DriveCandidate>& candidates, std::string* root);

 private:
  enum class Bandwidth { kDown, kUp };
  [[nodiscard]] HRESULT SetBandwidth(Bandwidth which, int32_t value);
  // One save's turn: collects the values and writes config.db.
  [[nodiscard]] HRESULT WriteCurrentValues();
  void ComputePaths();

  static std::atomic<EngineSettingFunction> engine_setting_function_;

  // Constant after construction.
  const ConfigManagerOptions options_;

  std::atomic<int32_t> thread_num_per_task_{kDefaultThreadNumPerTask};
  std::atomic<int32_t> concurrent_task_num_{kDefaultConcurrentTaskNum};
  std::atomic<int32_t> down_bandwidth_{kDefaultBandwidth};
  std::atomic<int32_t> up_bandwidth_{kDefaultBandwidth};

  // Written once under paths_once_, read-only after.
  std::once_flag paths_once_;
  std::string user_data_path_;
  std::string config_path_;
  std::string download_list_path_;

  tobric::LLock lock_;
  // A config.db refused at start that could not be moved aside yet; a save
  // moves it first and fails while it cannot.
  std::string refused_file_ GUARDED_BY(lock_);
  mutable tobric::LLock folder_lock_;
  std::string download_folder_ GUARDED_BY(folder_lock_);
  tobric::SharedRun save_turns_;
};

}  // namespace lorvane

#endif  // STORAGE_CONFIG_MANAGER_H_
