#include "base/platform/stack_trace.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/platform/process.h"

namespace tobric::platform {
namespace {

__attribute__((noinline)) size_t CaptureFromHere(uint64_t* addresses, size_t max_count) {
  const size_t count = CaptureStackTrace(addresses, max_count);
  asm volatile("");  // keeps the call from becoming a tail call
  return count;
}

TEST(StackTraceTest, CapturesAtMostTheAskedReturnAddressesStartingAtTheCaller) {
  uint64_t addresses[kMaxStackFrames + 4] = {};
  const size_t count = CaptureFromHere(addresses, kMaxStackFrames + 4);
  ASSERT_GE(count, 2u);
  EXPECT_LE(count, kMaxStackFrames);
  // The first address is inside CaptureFromHere, the caller of the capture.
  const auto start = reinterpret_cast<uintptr_t>(&CaptureFromHere);
  EXPECT_GT(addresses[0], start);
  EXPECT_LT(addresses[0], start + 256);
  EXPECT_EQ(CaptureFromHere(addresses, 1), 1u);
}

TEST(StackTraceTest, ModuleOfAnAddressIsTheProgramOrItsLibrary) {
  EXPECT_EQ(ModulePathOf(reinterpret_cast<const void*>(&CaptureFromHere)), ProgramPath());
  const std::string library = ModulePathOf(reinterpret_cast<const void*>(&std::terminate));
  EXPECT_NE(library, "");
  EXPECT_NE(library, ProgramPath());
  int on_stack = 0;
  EXPECT_EQ(ModulePathOf(&on_stack), "");
}

}  // namespace
}  // namespace tobric::platform
