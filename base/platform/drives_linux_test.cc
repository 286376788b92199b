#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/platform/drives.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"

namespace tobric::platform {
namespace {

namespace fs = std::filesystem;

// A wrong yes here lets the HTTP task record blocks whose bytes a power cut
// could still lose, so every doubtful case must answer no.
TEST(JournalOrdersWritesTest, OnlyExtWithAJournalAndXfsOrderEarlierDirectWrites) {
  IsolatedEnv env;
  const std::string sysfs = env.root() + "/sys";
  // Device 7:0 is an ext4 with its journal, 7:1 one without, 7:2 an ext4 that
  // sysfs does not know.
  fs::create_directories(sysfs + "/dev/block");
  fs::create_symlink("../../devices/virtual/block/loop0", sysfs + "/dev/block/7:0");
  fs::create_symlink("../../devices/virtual/block/loop1", sysfs + "/dev/block/7:1");
  fs::create_directories(sysfs + "/fs/ext4/loop0");
  fs::create_directories(sysfs + "/fs/ext4/loop1");
  ASSERT_TRUE(corvane::testsupport::WriteFile(sysfs + "/fs/ext4/loop0/journal_task", "1234\n"));
  ASSERT_TRUE(corvane::testsupport::WriteFile(sysfs + "/fs/ext4/loop1/journal_task", "<none>\n"));
  const std::string mountinfo =
      "30 1 7:0 / /j rw,relatime - ext4 /dev/loop0 rw\n"
      "31 1 7:1 / /n rw,relatime - ext4 /dev/loop1 rw\n"
      "32 1 7:2 / /u rw,relatime - ext4 /dev/loop2 rw\n"
      "33 1 8:1 / /x rw,relatime - xfs /dev/sda1 rw\n"
      "34 1 8:2 / /b rw,relatime - btrfs /dev/sda2 rw\n"
      "35 1 0:30 / /t rw,relatime - tmpfs tmpfs rw\n"
      // Mounted again on top as something else: the top one counts.
      "36 1 8:3 / /o rw,relatime - xfs /dev/sda3 rw\n"
      "37 36 8:3 / /o rw,relatime - vfat /dev/sda3 rw\n";

  EXPECT_TRUE(JournalOrdersWritesOn(7, 0, mountinfo, sysfs));
  EXPECT_FALSE(JournalOrdersWritesOn(7, 1, mountinfo, sysfs)) << "ext4 without a journal";
  EXPECT_FALSE(JournalOrdersWritesOn(7, 2, mountinfo, sysfs)) << "no journal_task to read";
  EXPECT_TRUE(JournalOrdersWritesOn(8, 1, mountinfo, sysfs));
  EXPECT_FALSE(JournalOrdersWritesOn(8, 2, mountinfo, sysfs)) << "btrfs";
  EXPECT_FALSE(JournalOrdersWritesOn(0, 30, mountinfo, sysfs)) << "tmpfs";
  EXPECT_FALSE(JournalOrdersWritesOn(8, 3, mountinfo, sysfs)) << "vfat on top";
  EXPECT_FALSE(JournalOrdersWritesOn(9, 9, mountinfo, sysfs)) << "not mounted";
}

}  // namespace
}  // namespace tobric::platform
