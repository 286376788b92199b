// Drives that may hold downloads: the mounted local file systems that are fixed
// (not removable, not behind a USB or FireWire bus), each with its free space.
//
// Linux has no drive letters. A candidate is the mount point of a local block
// device, tried at its root, and the user's home folder standing for the file
// system it lives on (most roots are writable only by the administrator).
#ifndef BASE_PLATFORM_DRIVES_H_
#define BASE_PLATFORM_DRIVES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_codes.h"

namespace tobric::platform {

struct DriveCandidate {
  std::string root;         // a folder: a mount point or the home folder
  uint64_t free_bytes = 0;  // bytes this user may still write there
};

// The home folder first, then every other fixed local file system's mount point
// in mount order. File systems whose free space cannot be read are left out.
[[nodiscard]] std::vector<DriveCandidate> ListDriveCandidates();

// Bytes the calling user may write on the file system of path (statvfs
// f_bavail * f_frsize: what is left once the blocks kept for the administrator
// are set aside).
[[nodiscard]] HRESULT GetFreeSpace(const std::string& path, uint64_t* free_bytes);

// True when the file system holding path (a file or a folder) keeps one
// journal of all its metadata, in order, whose every commit first flushes the
// device's write cache: ext3 and ext4 with their journal, and XFS. There a
// write that went around the page cache (O_DIRECT) and returned is on the
// disk, with the extents it filled, as soon as any later rename or new file
// is: the commit that makes the latter durable flushes the former first. btrfs
// is not one: an fsync may put one file's changes on disk through its log tree
// ahead of another's extents. False for any other file system, and when the
// mount of path cannot be found.
[[nodiscard]] bool JournalCommitFlushesEarlierWrites(const std::string& path);

// Its answer for the block device major:minor, from the text of
// /proc/self/mountinfo and the sysfs under sysfs_root.
[[nodiscard]] bool JournalOrdersWritesOn(uint32_t major, uint32_t minor,
                                         std::string_view mountinfo,
                                         const std::string& sysfs_root = "/sys");

// One line of /proc/self/mountinfo, the fields the candidate list needs.
struct MountEntry {
  uint32_t major = 0;
  uint32_t minor = 0;
  std::string mount_point;  // octal escapes (\040 for a space) decoded
  std::string fs_type;
  std::string source;      // "/dev/sda1", "tmpfs", "server:/export" ...
  bool read_only = false;  // the mount's own options say "ro"
};

// Lines that do not have the expected fields are skipped.
[[nodiscard]] std::vector<MountEntry> ParseMountInfo(std::string_view text);

// True when the block device major:minor is removable media or sits behind a
// USB or FireWire bus, judged from sysfs under sysfs_root: the device's
// "removable" attribute (the whole disk's, for a partition) and the bus names in
// the path that /sys/dev/block/<major>:<minor> resolves to.
[[nodiscard]] bool IsExternalBlockDevice(uint32_t major, uint32_t minor,
                                         const std::string& sysfs_root = "/sys");

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_DRIVES_H_
