#include "tests/support/small_disk.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

namespace tobric::platform {

ScopedSmallDisk::ScopedSmallDisk(uint64_t size_bytes) {
  const char* tmp = getenv("TMPDIR");
  // mkdtemp replaces the six trailing X.
  std::string pattern =
      std::string((tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp") + "/tobric-small-disk-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    reason_ = std::string("cannot make a folder for the small disk: ") + strerror(errno);
    return;
  }
  folder_ = pattern;
  if (geteuid() != 0) {
    reason_ = "mounting a tmpfs needs root";
    return;
  }
  const std::string options = "size=" + std::to_string(size_bytes) + ",mode=0700";
  if (mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    reason_ = std::string("mount of a tmpfs refused: ") + strerror(errno);
    return;
  }
  mounted_ = true;
}

ScopedSmallDisk::~ScopedSmallDisk() {
  if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  // The tmpfs took its files with it; only the empty mount point is left.
  if (!folder_.empty()) rmdir(folder_.c_str());
}

}  // namespace tobric::platform
