#include "base/platform/process.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/platform/files.h"

namespace tobric::platform {
namespace {

TEST(Process, ThreadIdsAreKernelIds) {
  // The main thread's kernel id is the process id; other threads differ.
  EXPECT_EQ(ThreadId(), ProcessId());
  uint32_t other = 0;
  std::thread thread([&other] { other = ThreadId(); });
  thread.join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, ProcessId());
}

TEST(Process, ProgramFile) {
  const std::string path = ProgramPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path[0], '/');
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(ProgramFolder() + "/" + "platform_process_test", path);
  EXPECT_EQ(ProgramBaseName(), "platform_process_test");
}

}  // namespace
}  // namespace tobric::platform
