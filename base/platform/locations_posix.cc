#include "base/platform/locations.h"

#include <errno.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "base/platform/error.h"
#include "base/platform/process.h"

namespace tobric::platform {

namespace {

// XDG base-directory variables count only when they hold an absolute path; a
// relative one would make the data folder depend on the working directory.
std::string AbsoluteEnv(const char* name) {
  std::string value = GetEnv(name);
  if (value.empty() || value[0] != '/') return std::string();
  return value;
}

std::string PasswdHome() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
  passwd entry{};
  passwd* found = nullptr;
  for (;;) {
    const int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr) return std::string();
    return std::string(found->pw_dir);
  }
}

}  // namespace

std::string HomeFolder() {
  std::string home = GetEnv("HOME");
  if (!home.empty()) return home;
  return PasswdHome();
}

std::string LocalAppDataFolder() {
  std::string folder = AbsoluteEnv("XDG_DATA_HOME");
  if (!folder.empty()) return folder;
  return JoinPath(HomeFolder(), ".local/share");
}

std::string UserDataFolder() { return JoinPath(LocalAppDataFolder(), "Velmo/Corvane/User Data"); }

std::string ConfigFolder() {
  std::string folder = AbsoluteEnv("XDG_CONFIG_HOME");
  if (!folder.empty()) return folder;
  return JoinPath(HomeFolder(), ".config");
}

std::string UserTempFolder() {
  std::string folder = GetEnv("TMPDIR");
  if (!folder.empty()) return folder;
  return "/tmp";
}

HRESULT GetObjectFolder(std::string* folder) {
  std::string base = AbsoluteEnv("XDG_RUNTIME_DIR");
  if (base.empty()) base = "/tmp";
  const uid_t uid = getuid();
  const std::string path = JoinPath(base, "VELMO_TOBRIC_BASE-" + std::to_string(uid));

  if (mkdir(path.c_str(), 0700) == 0) {
    // The umask may have taken owner bits away; it never adds any for others.
    if (chmod(path.c_str(), 0700) != 0) return LastErrorHresult();
  } else if (errno != EEXIST) {
    return LastErrorHresult();
  }

  // lstat, not stat: in /tmp another user can plant a symbolic link to a folder of
  // theirs under our name, and following it would hand them our objects.
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return LastErrorHresult();
  if (!S_ISDIR(info.st_mode) || info.st_uid != uid || (info.st_mode & 077) != 0) {
    return HresultFromWin32(kErrorAccessDenied);
  }
  *folder = path;
  return S_OK;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  size_t folder_end = folder.size();
  while (folder_end > 1 && folder[folder_end - 1] == '/') --folder_end;
  size_t name_start = 0;
  while (name_start < name.size() && name[name_start] == '/') ++name_start;
  std::string joined = folder.substr(0, folder_end);
  if (joined != "/") joined += '/';
  joined.append(name, name_start, std::string::npos);
  return joined;
}

}  // namespace tobric::platform
