#include "base/platform/locations.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "base/platform/error.h"

namespace tobric::platform {
namespace {

namespace fs = std::filesystem;

// Gives each test its own HOME, XDG folders and TMPDIR.
class LocationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // Read before the first test points TMPDIR at a folder of its own.
    static const fs::path base = fs::temp_directory_path();
    root_ =
        (base / ("tobric-locations-" + std::string(info->name()) + "-" + std::to_string(getpid())))
            .string();
    fs::remove_all(root_);
    fs::create_directories(root_ + "/run");
    setenv("HOME", (root_ + "/home").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
    setenv("TMPDIR", (root_ + "/tmp").c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CONFIG_HOME");
    expected_folder_ = root_ + "/run/VELMO_TOBRIC_BASE-" + std::to_string(getuid());
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string root_;
  std::string expected_folder_;
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
  EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/a//", "/b"), "/a/b");
  EXPECT_EQ(JoinPath("/", "b"), "/b");
  EXPECT_EQ(JoinPath("", "b"), "b");
  EXPECT_EQ(JoinPath("/a", "b/c"), "/a/b/c");
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

  std::string again;
  EXPECT_EQ(GetObjectFolder(&again), S_OK);
  EXPECT_EQ(again, folder);
}

TEST_F(LocationsTest, ObjectFolderOpenToOthersIsRefused) {
  ASSERT_EQ(mkdir(expected_folder_.c_str(), 0700), 0);
  ASSERT_EQ(chmod(expected_folder_.c_str(), 0755), 0);
  std::string folder = "unchanged";
  EXPECT_EQ(GetObjectFolder(&folder), HresultFromWin32(kErrorAccessDenied));
  EXPECT_EQ(folder, "unchanged");
  ASSERT_EQ(chmod(expected_folder_.c_str(), 0701), 0);
  EXPECT_EQ(GetObjectFolder(&folder), HresultFromWin32(kErrorAccessDenied));
}

TEST_F(LocationsTest, ObjectFolderSymlinkIsRefused) {
  // Even a link to a private folder of our own: whoever planted it can change it.
  const std::string target = root_ + "/elsewhere";
  ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
  ASSERT_EQ(symlink(target.c_str(), expected_folder_.c_str()), 0);
  std::string folder;
  EXPECT_EQ(GetObjectFolder(&folder), HresultFromWin32(kErrorAccessDenied));
}

TEST_F(LocationsTest, ObjectFolderThatIsAFileIsRefused) {
  const int fd = open(expected_folder_.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string folder;
  EXPECT_EQ(GetObjectFolder(&folder), HresultFromWin32(kErrorAccessDenied));
}

TEST_F(LocationsTest, ObjectFolderOfAnotherUserIsRefused) {
  if (getuid() != 0) GTEST_SKIP() << "changing a folder's owner needs root";
  ASSERT_EQ(mkdir(expected_folder_.c_str(), 0700), 0);
  ASSERT_EQ(chown(expected_folder_.c_str(), 12345, 12345), 0);
  std::string folder;
  EXPECT_EQ(GetObjectFolder(&folder), HresultFromWin32(kErrorAccessDenied));
}

}  // namespace
}  // namespace tobric::platform
