// Per-user locations, derived from the environment at each call so that tests can
// isolate themselves with HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_RUNTIME_DIR
// and TMPDIR.
#ifndef BASE_PLATFORM_LOCATIONS_H_
#define BASE_PLATFORM_LOCATIONS_H_

#include <string>

#include "base/result_codes.h"

namespace tobric::platform {

// $HOME, else the home folder of the user's passwd entry.
[[nodiscard]] std::string HomeFolder();
// The local application-data folder: $XDG_DATA_HOME, else $HOME/.local/share.
[[nodiscard]] std::string LocalAppDataFolder();
// The user data folder of Corvane (config.db, download_list.db): the local
// application-data folder joined with "Velmo/Corvane/User Data". The service
// keeps its files there, and clients look there for the service's lock.
[[nodiscard]] std::string UserDataFolder();
// $XDG_CONFIG_HOME, else $HOME/.config.
[[nodiscard]] std::string ConfigFolder();
// The user's temporary folder: $TMPDIR, else /tmp.
[[nodiscard]] std::string UserTempFolder();

// The per-user folder that holds named kernel objects (lock files, event files,
// sockets): VELMO_TOBRIC_BASE-<uid> under $XDG_RUNTIME_DIR, else under /tmp.
// Created with mode 0700 when missing. Refused (E_ACCESSDENIED-style code
// HRESULT_FROM_WIN32(5)) when it is not a folder owned by the user or when group
// or others have any access to it: another user could otherwise plant events or
// hold our locks.
[[nodiscard]] HRESULT GetObjectFolder(std::string* folder);

// Joins a folder and a name with exactly one separator.
[[nodiscard]] std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_LOCATIONS_H_
