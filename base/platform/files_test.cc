#include "base/platform/files.h"

#include <gtest/gtest.h>

#include <string>

#include "base/platform/clock.h"
#include "base/platform/error.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"
#include "tests/support/small_disk.h"

namespace tobric::platform {
namespace {

const HRESULT kNotFound = HresultFromWin32(kErrorFileNotFound);
const HRESULT kExists = HresultFromWin32(kErrorAlreadyExists);
const HRESULT kTooLarge = HresultFromWin32(kErrorOutOfMemory);
const HRESULT kInvalidHandle = HresultFromWin32(6);

class FilesTest : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return folder_ + "/" + name; }
  void Put(const std::string& name, const std::string& bytes) const {
    corvane::testsupport::WriteFile(PathOf(name), bytes);
  }
  std::string Get(const std::string& name) const {
    return corvane::testsupport::ReadFile(PathOf(name));
  }

  IsolatedEnv env_;
  const std::string folder_ = env_.root() + "/tmp";
};

TEST_F(FilesTest, MovesAndDeletes) {
  Put("a", "first");
  Put("b", "second");
  EXPECT_EQ(MoveNoReplace(PathOf("a"), PathOf("b")), kExists);
  EXPECT_EQ(Get("b"), "second");
  EXPECT_EQ(MoveNoReplace(PathOf("a"), PathOf("c")), S_OK);
  EXPECT_FALSE(FileExists(PathOf("a")));
  EXPECT_EQ(Get("c"), "first");
  EXPECT_EQ(MoveNoReplace(PathOf("a"), PathOf("d")), kNotFound);
  for (auto* move : {&MoveReplace, &MoveReplaceDurable}) {
    Put("list.new", "saved");
    Put("list", "stale");
    EXPECT_EQ(move(PathOf("list.new"), PathOf("list")), S_OK);
    EXPECT_FALSE(FileExists(PathOf("list.new")));
    EXPECT_EQ(Get("list"), "saved");
    EXPECT_EQ(move(PathOf("list.new"), PathOf("list")), kNotFound);
  }
  EXPECT_EQ(DeleteFile(PathOf("list")), S_OK);
  EXPECT_FALSE(FileExists(PathOf("list")));
  EXPECT_EQ(DeleteFile(PathOf("list")), kNotFound);
}

TEST_F(FilesTest, TempFilesFoldersAndWriteTimes) {
  std::string path, other;
  ASSERT_EQ(CreateTempFile(folder_, "ofc", &path), S_OK);
  ASSERT_EQ(CreateTempFile(folder_, "ofc", &other), S_OK);
  EXPECT_EQ(path.rfind(folder_ + "/ofc", 0), 0u) << path;
  EXPECT_NE(path, other);
  EXPECT_EQ(CreateTempFile(PathOf("missing"), "ofc", &path), kNotFound);

  EXPECT_EQ(CreateFolderWithParents(PathOf("a/b//c/")), S_OK);
  EXPECT_TRUE(FolderExists(PathOf("a/b/c")));
  EXPECT_EQ(CreateFolderWithParents(PathOf("a/b/c")), S_OK);
  Put("file", "");
  EXPECT_EQ(CreateFolderWithParents(PathOf("file/sub")), kExists);
  EXPECT_FALSE(FolderExists(PathOf("file")));

  // File systems stamp with a coarse clock, up to a tick behind the fine one.
  constexpr uint64_t kSlack = 10000000;
  const uint64_t before = FileTimeNow();
  Put("f", "x");
  uint64_t written = 0;
  ASSERT_EQ(GetLastWriteTime(PathOf("f"), &written), S_OK);
  EXPECT_GE(written + kSlack, before);
  EXPECT_LE(written, FileTimeNow() + kSlack);
  EXPECT_EQ(GetLastWriteTime(PathOf("missing"), &written), kNotFound);
}

TEST_F(FilesTest, ReadFileToStringHonoursTheCap) {
  Put("f", std::string(1000, 'x'));
  std::string contents;
  EXPECT_EQ(ReadFileToString(PathOf("f"), 1000, &contents), S_OK);
  EXPECT_EQ(contents, std::string(1000, 'x'));
  contents = "unchanged";
  EXPECT_EQ(ReadFileToString(PathOf("f"), 999, &contents), kTooLarge);
  EXPECT_EQ(contents, "unchanged");
  EXPECT_EQ(ReadFileToString(PathOf("missing"), 10, &contents), kNotFound);
  // Files under /proc report size 0; the cap still applies to what is read.
  EXPECT_EQ(ReadFileToString("/proc/self/status", 1 << 20, &contents), S_OK);
  EXPECT_NE(contents.find("Pid:"), std::string::npos);
  EXPECT_EQ(ReadFileToString("/proc/self/status", 10, &contents), kTooLarge);
}

TEST_F(FilesTest, OpenDispositionsAndOffsets) {
  File file;
  EXPECT_EQ(file.Open(PathOf("f"), File::kRead, File::kOpenExisting), kNotFound);
  ASSERT_EQ(file.Open(PathOf("f"), File::kWrite, File::kCreateNew), S_OK);
  EXPECT_EQ(file.Open(PathOf("f"), File::kWrite, File::kCreateNew), kExists);
  ASSERT_EQ(file.Open(PathOf("f"), File::kReadWrite, File::kCreateAlways), S_OK);
  ASSERT_EQ(file.Write("abc", 3), S_OK);
  ASSERT_EQ(file.WriteAt(10, "XYZ", 3), S_OK);
  char buffer[32] = {};
  size_t read = 0;
  ASSERT_EQ(file.ReadAt(11, buffer, 5, &read), S_OK);
  EXPECT_EQ(std::string(buffer, read), "YZ");
  // Write goes on at the current position, which WriteAt does not move.
  ASSERT_EQ(file.Write("de", 2), S_OK);
  uint64_t end = 0;
  ASSERT_EQ(file.SeekToEnd(&end), S_OK);
  EXPECT_EQ(end, 13u);
  ASSERT_EQ(file.Write("!", 1), S_OK);
  EXPECT_EQ(file.Sync(), S_OK);
  EXPECT_EQ(Get("f"), std::string("abcde\0\0\0\0\0XYZ!", 14));
  ASSERT_EQ(file.Truncate(4), S_OK);
  file.Close();
  EXPECT_EQ(Get("f"), "abcd");
  ASSERT_EQ(file.Open(PathOf("f"), File::kRead, File::kOpenAlways), S_OK);
  EXPECT_EQ(file.Write("x", 1), kInvalidHandle);  // not open for writing
}

TEST_F(FilesTest, AllocateGrowsKeepsContentAndFailsWholeOnAFullDisk) {
  File file;
  ASSERT_EQ(file.Open(PathOf("f"), File::kReadWrite, File::kCreateAlways), S_OK);
  ASSERT_EQ(file.Write("head", 4), S_OK);
  constexpr uint64_t kSize = 3 * 1024 * 1024 + 7;
  ASSERT_EQ(file.Allocate(kSize), S_OK);
  uint64_t size = 0;
  ASSERT_EQ(GetFileSize(PathOf("f"), &size), S_OK);
  EXPECT_EQ(size, kSize);
  // Writes anywhere in the allocated range land without growing the file.
  ASSERT_EQ(file.WriteAt(kSize - 3, "end", 3), S_OK);
  EXPECT_EQ(file.SyncData(), S_OK);
  file.Close();
  const std::string bytes = Get("f");
  EXPECT_EQ(bytes.size(), kSize);
  EXPECT_EQ(bytes.substr(0, 5), std::string("head\0", 5));
  EXPECT_EQ(bytes.substr(kSize - 4), std::string("\0end", 4));

  ASSERT_EQ(file.Open("/dev/full", File::kWrite, File::kOpenExisting), S_OK);
  EXPECT_EQ(file.Write("data", 4), HresultFromWin32(kErrorDiskFull));
  EXPECT_EQ(file.WriteAt(0, "data", 4), HresultFromWin32(kErrorDiskFull));
  ScopedSmallDisk disk(1024 * 1024);
  if (!disk.available()) GTEST_SKIP() << disk.reason();
  ASSERT_EQ(file.Open(disk.folder() + "/big", File::kReadWrite, File::kCreateAlways), S_OK);
  ASSERT_EQ(file.Write("kept", 4), S_OK);
  EXPECT_EQ(file.Allocate(4 * 1024 * 1024), HresultFromWin32(kErrorDiskFull));
  ASSERT_EQ(file.Size(&size), S_OK);
  EXPECT_EQ(size, 4u);
  // What the failed allocation took was given back: the disk still has room.
  EXPECT_EQ(file.Allocate(512 * 1024), S_OK);
}

TEST_F(FilesTest, LockExclusiveRefusesASecondHolderUntilTheFirstCloses) {
  Put("f", "x");
  File first;
  ASSERT_EQ(first.Open(PathOf("f"), File::kRead, File::kOpenExisting), S_OK);
  ASSERT_EQ(first.LockExclusive(), S_OK);
  // Two opens in one process are two holders: flock, unlike fcntl locks, is
  // per open file, which is what keeps a second loader of one file out.
  File second;
  ASSERT_EQ(second.Open(PathOf("f"), File::kReadWrite, File::kOpenExisting), S_OK);
  EXPECT_EQ(second.LockExclusive(), HresultFromWin32(kErrorSharingViolation));
  first.Close();
  EXPECT_EQ(second.LockExclusive(), S_OK);
}

}  // namespace
}  // namespace tobric::platform
