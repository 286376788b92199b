#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/platform/error.h"
#include "base/platform/locations.h"
#include "tests/support/isolated_env.h"

namespace tobric::platform {
namespace {

class LocationsTest : public ::testing::Test {
 protected:
  LocationsTest() {
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CONFIG_HOME");
  }

  IsolatedEnv env_;
  const std::string root_ = env_.root();
  const std::string expected_folder_ = root_ + "/run/VELMO_TOBRIC_BASE-" + std::to_string(getuid());
};

TEST_F(LocationsTest, FoldersFollowTheEnvironment) {
  EXPECT_EQ(HomeFolder(), root_ + "/home");
  EXPECT_EQ(LocalAppDataFolder(), root_ + "/home/.local/share");
  EXPECT_EQ(ConfigFolder(), root_ + "/home/.config");
  EXPECT_EQ(UserTempFolder(), root_ + "/tmp");

  setenv("XDG_DATA_HOME", "/data", 1);
  setenv("XDG_CONFIG_HOME", "/config", 1);
  EXPECT_EQ(LocalAppDataFolder(), "/data");
  EXPECT_EQ(ConfigFolder(), "/config");

  // Relative XDG paths are invalid and ignored.
  setenv("XDG_DATA_HOME", "data", 1);
  setenv("XDG_CONFIG_HOME", "config", 1);
  EXPECT_EQ(LocalAppDataFolder(), root_ + "/home/.local/share");
  EXPECT_EQ(ConfigFolder(), root_ + "/home/.config");

  unsetenv("TMPDIR");
  EXPECT_EQ(UserTempFolder(), "/tmp");
  unsetenv("HOME");
  EXPECT_FALSE(HomeFolder().empty());  // from the passwd entry
}

TEST_F(LocationsTest, JoinPathUsesOneSeparator) {
  EXPECT_EQ(JoinPath("/a//", "/b/c"), "/a/b/c");
  EXPECT_EQ(JoinPath("/", "b"), "/b");
  EXPECT_EQ(JoinPath("", "b"), "b");
}

TEST_F(LocationsTest, ObjectFolderIsCreatedPrivate) {
  const mode_t old_umask = umask(0);  // a careless umask must not open the folder up
  std::string folder;
  const HRESULT hr = GetObjectFolder(&folder);
  umask(old_umask);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(folder, expected_folder_);
  struct stat info {};
  ASSERT_EQ(lstat(folder.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_EQ(GetObjectFolder(&folder), S_OK);
}

// Whoever planted or can change the folder could redirect every named object.
TEST_F(LocationsTest, UnsafeObjectFolderIsRefused) {
  const std::string& folder = expected_folder_;
  const auto expect_refused = [&](const char* what) {
    std::string out = "unchanged";
    EXPECT_EQ(GetObjectFolder(&out), HresultFromWin32(kErrorAccessDenied)) << what;
    EXPECT_EQ(out, "unchanged");
    std::filesystem::remove_all(folder);  // a link goes, not its target
  };
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
  expect_refused("open to others");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0701), 0);
  expect_refused("searchable by others");
  // Even a link to a private folder of our own.
  ASSERT_EQ(mkdir((root_ + "/elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(symlink((root_ + "/elsewhere").c_str(), folder.c_str()), 0);
  expect_refused("symlink");
  std::ofstream(folder) << "x";
  expect_refused("regular file");
  if (getuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chown(folder.c_str(), 12345, 12345), 0);
  expect_refused("another user's");
}

}  // namespace
}  // namespace tobric::platform
