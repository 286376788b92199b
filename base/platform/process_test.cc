#include "base/platform/process.h"

#include <gtest/gtest.h>

#include <thread>

namespace tobric::platform {
namespace {

// Log lines name threads by the kernel's id, which other tools show too.
TEST(Process, ThreadIdsAreKernelIds) {
  // The main thread's kernel id is the process id; other threads differ.
  EXPECT_EQ(ThreadId(), ProcessId());
  uint32_t other = 0;
  std::thread thread([&other] { other = ThreadId(); });
  thread.join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, ProcessId());
}

}  // namespace
}  // namespace tobric::platform
