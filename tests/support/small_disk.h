// For tests: a small file system of its own, so that a test can fill it and see
// how the code under test meets a full disk (ENOSPC), which /dev/full alone
// cannot show for allocation, renames or files that grow.
//
// ScopedSmallDisk makes a fresh folder under $TMPDIR (else /tmp) and mounts a
// tmpfs of the given size there. Mounting needs privilege (root, or
// CAP_SYS_ADMIN in the mount namespace); without it available() is false and
// reason() says why, so the test can GTEST_SKIP. The destructor detaches the
// mount (MNT_DETACH: a descriptor the test left open must not keep the mount
// alive) and removes the folder.
//
// Header-only, so that test programs of any folder can use it. One object per
// test, used from the test's thread.
#ifndef BASE_PLATFORM_SMALL_DISK_TESTUTIL_H_
#define BASE_PLATFORM_SMALL_DISK_TESTUTIL_H_

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace tobric::platform {

class ScopedSmallDisk {
 public:
  explicit ScopedSmallDisk(uint64_t size_bytes) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
    // mkdtemp replaces the six trailing X.
    pattern += "/tobric-small-disk-" + std::string(6, 'X');
    if (mkdtemp(pattern.data()) == nullptr) {
      reason_ = "cannot make a folder for the small disk: " + ErrnoString(errno);
      return;
    }
    folder_ = pattern;
    if (geteuid() != 0) {
      reason_ = "mounting a tmpfs needs root";
      return;
    }
    const std::string options = "size=" + std::to_string(size_bytes) + ",mode=0700";
    if (mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
      reason_ = "mount of a tmpfs refused: " + ErrnoString(errno);
      return;
    }
    mounted_ = true;
  }

  ~ScopedSmallDisk() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
    // The tmpfs took its files with it; only the empty mount point is left.
    if (!folder_.empty()) rmdir(folder_.c_str());
  }

  ScopedSmallDisk(const ScopedSmallDisk&) = delete;
  ScopedSmallDisk& operator=(const ScopedSmallDisk&) = delete;

  [[nodiscard]] bool available() const { return mounted_; }
  // Why the disk is not available; empty when it is.
  [[nodiscard]] const std::string& reason() const { return reason_; }
  // The mount point: files made here live on the small disk.
  [[nodiscard]] const std::string& folder() const { return folder_; }

 private:
  static std::string ErrnoString(int err) {
    char buffer[128] = {};
    // The GNU strerror_r may return a static text instead of filling the buffer.
    return strerror_r(err, buffer, sizeof(buffer));
  }

  std::string folder_;
  std::string reason_;
  bool mounted_ = false;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_SMALL_DISK_TESTUTIL_H_
