#include <gtest/gtest.h>
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

// Named objects live in this folder; without a runtime folder it is in /tmp,
// where another user could plant it first or a link in its place.
TEST(LocationsTest, ObjectFolderIsMadePrivateAndAnUnsafeOneIsRefused) {
  IsolatedEnv env;
  const std::string folder = env.root() + "/run/VELMO_TOBRIC_BASE-" + std::to_string(getuid());
  const mode_t old_umask = umask(0);  // a careless umask must not open the folder up
  std::string got;
  const HRESULT hr = GetObjectFolder(&got);
  umask(old_umask);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(got, folder);
  struct stat info {};
  ASSERT_EQ(lstat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);

  const auto expect_refused = [&](const char* what) {
    EXPECT_EQ(GetObjectFolder(&got), HresultFromWin32(kErrorAccessDenied)) << what;
    std::filesystem::remove_all(folder);  // a link goes, not its target
  };
  ASSERT_EQ(chmod(folder.c_str(), 0701), 0);
  expect_refused("searchable by others");
  ASSERT_EQ(mkdir((env.root() + "/elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(symlink((env.root() + "/elsewhere").c_str(), folder.c_str()), 0);
  expect_refused("a link, even to a private folder of our own");
  std::ofstream(folder) << "x";
  expect_refused("a regular file");
}

}  // namespace
}  // namespace tobric::platform
