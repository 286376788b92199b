// For tests: a small file system of its own, so that a test can fill it and see
// how the code under test meets a full disk (ENOSPC), which /dev/full alone
// cannot show for allocation, renames or files that grow.
//
// ScopedSmallDisk makes a fresh folder under $TMPDIR (else /tmp) and mounts a
// tmpfs of the given size there. Mounting needs privilege (root, or
// CAP_SYS_ADMIN in the mount namespace); without it available() is false and
// reason() says why, so the test can GTEST_SKIP. The destructor detaches the
// mount (a descriptor the test left open must not keep the mount alive) and
// removes the folder. One object per test, on the test's thread.
#ifndef TESTS_SUPPORT_SMALL_DISK_H_
#define TESTS_SUPPORT_SMALL_DISK_H_

#include <cstdint>
#include <string>

namespace tobric::platform {

class ScopedSmallDisk {
 public:
  explicit ScopedSmallDisk(uint64_t size_bytes);
  ~ScopedSmallDisk();
  ScopedSmallDisk(const ScopedSmallDisk&) = delete;
  ScopedSmallDisk& operator=(const ScopedSmallDisk&) = delete;

  [[nodiscard]] bool available() const { return mounted_; }
  // Why the disk is not available; empty when it is.
  [[nodiscard]] const std::string& reason() const { return reason_; }
  // The mount point: files made here live on the small disk.
  [[nodiscard]] const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
  std::string reason_;
  bool mounted_ = false;
};

}  // namespace tobric::platform

#endif  // TESTS_SUPPORT_SMALL_DISK_H_
