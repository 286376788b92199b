#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/platform/error.h"
#include "base/platform/object_names.h"
#include "tests/support/isolated_env.h"

namespace tobric::platform {
namespace {

class ObjectNamesTest : public ::testing::Test {
 protected:
  // The machine folder is left for ObjectPath to create.
  ObjectNamesTest() { setenv("TOBRIC_MACHINE_OBJECT_DIR", machine_folder_.c_str(), 1); }

  IsolatedEnv env_;
  const std::string user_folder_ =
      env_.root() + "/run/VELMO_TOBRIC_BASE-" + std::to_string(getuid());
  const std::string machine_folder_ = env_.root() + "/objects";
};

TEST_F(ObjectNamesTest, FileNames) {
  EXPECT_EQ(ObjectFileName("corvane.lock"), "corvane.lock");
  EXPECT_EQ(ObjectFileName("a/b//c/"), "abc");
  EXPECT_EQ(ObjectFileName(std::string("a\0b", 3)), "ab");
  const std::string longest(200, 'n');
  EXPECT_EQ(ObjectFileName(longest), longest);
  // "/" is dropped before the length is judged.
  EXPECT_EQ(ObjectFileName(std::string(190, 'a') + std::string(20, '/')), std::string(190, 'a'));
}

TEST_F(ObjectNamesTest, LongNamesKeepTheirStartAndGetAHash) {
  // Pinned values: processes of different versions must meet at the same file.
  const std::string name = std::string(150, 'x') + "/" + std::string(100, 'y');
  EXPECT_EQ(ObjectFileName(name),
            std::string(150, 'x') + std::string(30, 'y') + "-f6425743bcab4d22");
  std::string accented;
  for (int i = 0; i < 101; ++i) accented += "\xC3\xA9";  // 202 bytes
  EXPECT_EQ(ObjectFileName(accented), accented.substr(0, 180) + "-7ada37b1b0023511");

  // Names that differ only past the kept start stay apart.
  const std::string a = std::string(250, 'q') + "a";
  const std::string b = std::string(250, 'q') + "b";
  EXPECT_EQ(ObjectFileName(a).size(), 197u);
  EXPECT_NE(ObjectFileName(a), ObjectFileName(b));
}

TEST_F(ObjectNamesTest, PathsOfUserAndMachineObjects) {
  std::string path;
  ASSERT_EQ(ObjectPath("Corvane/ready", ObjectScope::kUser, &path), S_OK);
  EXPECT_EQ(path, user_folder_ + "/Corvaneready");
  EXPECT_TRUE(std::filesystem::is_directory(user_folder_));
  for (const char* name : {"", "//", "..", "/./"}) {
    EXPECT_EQ(ObjectPath(name, ObjectScope::kUser, &path), E_INVALIDARG) << name;
  }

  // The machine folder is open to all and sticky, whatever the umask.
  const mode_t old_umask = umask(022);
  const HRESULT hr = ObjectPath("log.lock", ObjectScope::kMachine, &path);
  umask(old_umask);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(path, machine_folder_ + "/log.lock");
  struct stat info {};
  ASSERT_EQ(lstat(machine_folder_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 01777u);
}

TEST_F(ObjectNamesTest, UnsafeMachineFolderIsRefused) {
  // The user's folder has its own tests with the locations.
  std::string path;
  const std::string target = env_.root() + "/elsewhere";
  ASSERT_EQ(mkdir(target.c_str(), 01777), 0);
  ASSERT_EQ(symlink(target.c_str(), machine_folder_.c_str()), 0);
  EXPECT_EQ(ObjectPath("x", ObjectScope::kMachine, &path), HresultFromWin32(kErrorAccessDenied));
  std::filesystem::remove(machine_folder_);
  std::ofstream(machine_folder_) << "x";
  EXPECT_EQ(ObjectPath("x", ObjectScope::kMachine, &path), HresultFromWin32(kErrorAccessDenied));
}

}  // namespace
}  // namespace tobric::platform
