// The lock that keeps one service per user data folder, as the service takes
// it and as clients look at it.
//
// The single-instance mutex lives in the object folder, which follows
// XDG_RUNTIME_DIR; the data folder does not. Two sessions of one user (a
// systemd unit and an ssh login, say) may see different object folders and the
// same data folder, so the mutex alone would let two services share config.db
// and download_list.db. The service therefore also holds this lock file in the
// data folder for its whole life, recording its pid and its object folder;
// a client that finds it held by a service whose socket is in another object
// folder says so instead of starting a third. Header-only: the client does not
// link the engine.
#ifndef SERVICE_DATA_FOLDER_LOCK_H_
#define SERVICE_DATA_FOLDER_LOCK_H_

#include <string>

#include "base/platform/locations.h"

namespace lorvane {

inline constexpr char kDataFolderLockName[] = "corvaned.lock";

// The user data folder of a service started without options, where
// ConfigManager keeps its files.
[[nodiscard]] inline std::string DefaultUserDataFolder() {
  return tobric::platform::UserDataFolder();
}

[[nodiscard]] inline std::string DataFolderLockPath(const std::string& data_folder) {
  return tobric::platform::JoinPath(data_folder, kDataFolderLockName);
}

}  // namespace lorvane

#endif  // SERVICE_DATA_FOLDER_LOCK_H_
