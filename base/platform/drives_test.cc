#include "base/platform/drives.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "base/platform/error.h"
#include "tests/support/isolated_env.h"

namespace tobric::platform {
namespace {

namespace fs = std::filesystem;

TEST(DrivesTest, MountInfoLinesGiveTheirDeviceMountPointTypeAndSource) {
  const std::vector<MountEntry> entries = ParseMountInfo(
      "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw,discard\n"
      "30 26 8:17 / /media/my\\040disk\\134x rw,nosuid shared:5 master:1 - vfat /dev/sdb1 rw\n"
      "31 26 0:45 / /proc rw - proc proc rw\n"
      "garbage\n"
      "33 26 8:1 / /no-source - ext4\n"
      "32 26 7:0 / /snap/core/1 ro,nodev - squashfs /dev/loop0 ro");
  std::vector<std::string> seen;
  for (const MountEntry& e : entries) {
    seen.push_back(e.mount_point + " " + std::to_string(e.major) + ":" + std::to_string(e.minor) +
                   " " + e.fs_type + " " + e.source + (e.read_only ? " ro" : ""));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "/ 254:0 ext4 /dev/vda", "/media/my disk\\x 8:17 vfat /dev/sdb1",
                      "/proc 0:45 proc proc", "/snap/core/1 7:0 squashfs /dev/loop0 ro"}));
}

// A sysfs tree of the shape the kernel makes: devices under their buses,
// /sys/dev/block and /sys/class/block linking to them.
class FakeSysfs {
 public:
  explicit FakeSysfs(std::string root) : root_(std::move(root)) {}

  // Makes a disk folder under bus_path with a "removable" attribute and one
  // partition; links the partition (and the disk) by number and name.
  std::string AddDisk(const std::string& bus_path, const std::string& name, int major,
                      int disk_minor, bool removable) {
    const fs::path disk = fs::path(root_) / "devices" / bus_path / "block" / name;
    const fs::path partition = disk / (name + "1");
    fs::create_directories(partition);
    Write(disk / "removable", removable ? "1\n" : "0\n");
    Write(partition / "partition", "1\n");
    Link(disk, major, disk_minor, name);
    Link(partition, major, disk_minor + 1, name + "1");
    return partition.string();
  }

  // A mapped device (an encrypted volume, say) on top of slave.
  void AddMapped(const std::string& name, int major, int minor, const std::string& slave) {
    const fs::path device = fs::path(root_) / "devices/virtual/block" / name;
    fs::create_directories(device / "slaves");
    Write(device / "removable", "0\n");
    fs::create_directory_symlink(fs::path(root_) / "class/block" / slave,
                                 device / "slaves" / slave);
    Link(device, major, minor, name);
  }

 private:
  static void Write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }
  void Link(const fs::path& target, int major, int minor, const std::string& name) {
    fs::create_directories(fs::path(root_) / "dev/block");
    fs::create_directories(fs::path(root_) / "class/block");
    fs::create_directory_symlink(target, fs::path(root_) / "dev/block" /
                                             (std::to_string(major) + ":" + std::to_string(minor)));
    fs::create_directory_symlink(target, fs::path(root_) / "class/block" / name);
  }

  std::string root_;
};

TEST(DrivesTest, UsbFireWireAndRemovableDevicesAreExternal) {
  IsolatedEnv env;
  const std::string sysfs = env.root() + "/sys";
  FakeSysfs tree(sysfs);
  tree.AddDisk("pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0", "sda", 8, 0, false);
  tree.AddDisk("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "sdb", 8, 16,
               false);
  tree.AddDisk("pci0000:00/0000:00:1e.0/card-reader/host7", "sdc", 8, 32, true);
  tree.AddDisk("pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0/host8", "sdd", 8, 48, false);
  tree.AddDisk("pci0000:00/0000:00:1c.1/usbmisc-not-a-bus/host9", "sde", 8, 64, false);
  tree.AddMapped("dm-0", 253, 0, "sdb1");
  tree.AddMapped("dm-1", 253, 1, "sda1");

  EXPECT_FALSE(IsExternalBlockDevice(8, 0, sysfs));
  EXPECT_FALSE(IsExternalBlockDevice(8, 1, sysfs));
  EXPECT_TRUE(IsExternalBlockDevice(8, 17, sysfs));  // partition of a USB disk
  EXPECT_TRUE(IsExternalBlockDevice(8, 33, sysfs));  // partition of removable media
  EXPECT_TRUE(IsExternalBlockDevice(8, 49, sysfs));  // FireWire
  EXPECT_FALSE(IsExternalBlockDevice(8, 65, sysfs));
  EXPECT_TRUE(IsExternalBlockDevice(253, 0, sysfs));  // a volume on the USB disk
  EXPECT_FALSE(IsExternalBlockDevice(253, 1, sysfs));
  // Unknown to sysfs (a container's view): taken as fixed.
  EXPECT_FALSE(IsExternalBlockDevice(9, 9, sysfs));
}

TEST(DrivesTest, CandidatesStartWithTheHomeFolderAndAreDistinctFolders) {
  IsolatedEnv env;
  const std::vector<DriveCandidate> candidates = ListDriveCandidates();
  ASSERT_FALSE(candidates.empty());
  EXPECT_EQ(candidates[0].root, env.root() + "/home");
  EXPECT_GT(candidates[0].free_bytes, 0u);
  std::set<std::string> roots;
  for (const DriveCandidate& candidate : candidates) {
    EXPECT_TRUE(fs::is_directory(candidate.root)) << candidate.root;
    EXPECT_TRUE(roots.insert(candidate.root).second) << candidate.root;
  }

  uint64_t free_bytes = 0;
  EXPECT_EQ(GetFreeSpace(env.root() + "/missing", &free_bytes),
            HresultFromWin32(kErrorFileNotFound));
}

}  // namespace
}  // namespace tobric::platform
