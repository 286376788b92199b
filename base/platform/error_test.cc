#include "base/platform/error.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <utility>

namespace tobric::platform {
namespace {

TEST(ErrorMap, ErrnoToWin32AndHresult) {
  for (const auto& [err, win32] : {std::pair{ENOENT, 2u}, std::pair{EPERM, 5u},
                                   std::pair{EDQUOT, 112u}, std::pair{ECONNREFUSED, 1225u}}) {
    EXPECT_EQ(Win32FromErrno(err), win32) << err;
  }
  EXPECT_EQ(HresultFromErrno(ENOSPC), MakeHresult(0x80070070));
  EXPECT_EQ(HresultFromErrno(EINVAL), E_INVALIDARG);
  EXPECT_EQ(HresultFromErrno(ENOMEM), E_OUTOFMEMORY);
  for (int unmapped : {0, ENOMSG, -1, 100000}) EXPECT_EQ(HresultFromErrno(unmapped), E_FAIL);
  errno = EEXIST;
  EXPECT_EQ(LastErrorHresult(), HresultFromWin32(kErrorAlreadyExists));
  EXPECT_EQ(HresultFromWin32(0), S_OK);
  EXPECT_EQ(HresultFromWin32(0x12345), MakeHresult(0x80072345));
}

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
