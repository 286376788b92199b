#include "base/platform/error.h"

#include <errno.h>
#include <gtest/gtest.h>


namespace tobric::platform {
namespace {

// Whatever number an errno gives must come back as an errno that gives the same
// number, so that a stored code's system message names the same condition.
TEST(ErrorMap, EveryMappedErrnoRoundTrips) {
  constexpr int kLastErrno = 133;  // EHWPOISON on Linux
  int mapped = 0;
  for (int err = 1; err <= kLastErrno; ++err) {
    const uint32_t win32 = Win32FromErrno(err);
    if (win32 == 0) continue;
    ++mapped;
    const int back = ErrnoFromWin32(win32);
    ASSERT_NE(back, 0) << "errno " << err << " -> " << win32;
    EXPECT_EQ(Win32FromErrno(back), win32) << "errno " << err << " -> " << win32 << " -> " << back;
    EXPECT_FALSE(SystemMessage(win32).empty());
  }
  EXPECT_GT(mapped, 40);
}

}  // namespace
}  // namespace tobric::platform
