#include "tests/support/small_disk.h"

#include <filesystem>

#include "base/platform/process.h"
#include "base/platform/testing/process_testutil_posix.h"
#include "tests/support/files.h"

namespace tobric::platform {

ScopedSmallDisk::ScopedSmallDisk(uint64_t size_bytes)
    : folder_(corvane::testsupport::MakePrivateFolder("tobric-small-disk-")) {
  if (folder_.empty()) {
    reason_ = "cannot make a folder for the small disk";
  } else if (UserId() != 0) {
    reason_ = "mounting a tmpfs needs root";
  } else {
    mounted_ = testutil::MountTmpfs(folder_, size_bytes, &reason_);
  }
}

ScopedSmallDisk::~ScopedSmallDisk() {
  if (mounted_) testutil::UnmountDetached(folder_);
  // The tmpfs took its files with it; only the empty mount point is left.
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove(folder_, ignored);
}

}  // namespace tobric::platform
