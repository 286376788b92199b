#include "base/platform/object_names.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "base/platform/error.h"
#include "base/platform/locations.h"
#include "base/platform/process.h"

namespace tobric::platform {

namespace {

constexpr char kMachineFolder[] = "/tmp/VELMO_TOBRIC_BASE";

// Well under NAME_MAX (255) so that callers may still add a suffix such as ".lock".
constexpr size_t kMaxNameBytes = 200;
constexpr size_t kKeptNameBytes = 180;

uint64_t Fnv1a64(const std::string& data) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : data) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

HRESULT GetMachineFolder(std::string* folder) {
  std::string path = GetEnv("TOBRIC_MACHINE_OBJECT_DIR");
  if (path.empty()) path = kMachineFolder;

  if (mkdir(path.c_str(), 01777) == 0) {
    // The umask takes the bits for others away, and mkdir may drop the sticky bit;
    // every user's processes must be able to add their files here.
    if (chmod(path.c_str(), 01777) != 0) return LastErrorHresult();
  } else if (errno != EEXIST) {
    return LastErrorHresult();
  }

  // A symbolic link planted under this name would redirect every user's objects.
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return LastErrorHresult();
  if (!S_ISDIR(info.st_mode)) return HresultFromWin32(kErrorAccessDenied);
  *folder = path;
  return S_OK;
}

}  // namespace

std::string ObjectFileName(const std::string& name) {
  std::string file_name;
  file_name.reserve(name.size());
  for (const char c : name) {
    if (c != '/' && c != '\0') file_name += c;
  }
  if (file_name.size() <= kMaxNameBytes) return file_name;
  char hash[17];
  snprintf(hash, sizeof(hash), "%016llx", static_cast<unsigned long long>(Fnv1a64(name)));
  file_name.resize(kKeptNameBytes);
  file_name += '-';
  file_name += hash;
  return file_name;
}

HRESULT ObjectPath(const std::string& name, ObjectScope scope, std::string* path) {
  const std::string file_name = ObjectFileName(name);
  if (file_name.empty() || file_name == "." || file_name == "..") return E_INVALIDARG;
  std::string folder;
  const HRESULT hr =
      scope == ObjectScope::kUser ? GetObjectFolder(&folder) : GetMachineFolder(&folder);
  if (Failed(hr)) return hr;
  *path = JoinPath(folder, file_name);
  return S_OK;
}

}  // namespace tobric::platform
