#include "base/platform/error.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

namespace tobric::platform {
namespace {

// Every errno value the platform defines, including ones without a Win32 number.
constexpr int kLastErrno = 133;  // EHWPOISON on Linux

TEST(ErrorMap, NamedNumbersFromErrno) {
  EXPECT_EQ(Win32FromErrno(ENOENT), kErrorFileNotFound);
  EXPECT_EQ(Win32FromErrno(ENOTDIR), kErrorPathNotFound);
  EXPECT_EQ(Win32FromErrno(EACCES), kErrorAccessDenied);
  EXPECT_EQ(Win32FromErrno(EPERM), kErrorAccessDenied);
  EXPECT_EQ(Win32FromErrno(ENOMEM), kErrorOutOfMemory);
  EXPECT_EQ(Win32FromErrno(EINVAL), kErrorInvalidParameter);
  EXPECT_EQ(Win32FromErrno(ENOSPC), kErrorDiskFull);
  EXPECT_EQ(Win32FromErrno(EDQUOT), kErrorDiskFull);
  EXPECT_EQ(Win32FromErrno(EEXIST), kErrorAlreadyExists);
  EXPECT_EQ(Win32FromErrno(ETIMEDOUT), kErrorTimeout);
  EXPECT_EQ(Win32FromErrno(ENAMETOOLONG), 206u);
  EXPECT_EQ(Win32FromErrno(EPIPE), 109u);
  EXPECT_EQ(Win32FromErrno(EBUSY), 170u);
  EXPECT_EQ(Win32FromErrno(ECONNREFUSED), 1225u);
}

TEST(ErrorMap, HresultFromErrno) {
  EXPECT_EQ(HresultFromErrno(ENOSPC), MakeHresult(0x80070070));
  EXPECT_EQ(HresultFromErrno(EINVAL), E_INVALIDARG);
  EXPECT_EQ(HresultFromErrno(ENOMEM), E_OUTOFMEMORY);
  EXPECT_EQ(HresultFromErrno(0), E_FAIL);
  EXPECT_EQ(HresultFromErrno(ENOMSG), E_FAIL);  // no Win32 equivalent
  EXPECT_EQ(HresultFromErrno(-1), E_FAIL);
  EXPECT_EQ(HresultFromErrno(100000), E_FAIL);
  errno = EEXIST;
  EXPECT_EQ(LastErrorHresult(), HresultFromWin32(kErrorAlreadyExists));
}

TEST(ErrorMap, HresultFromWin32KeepsZeroAndLow16Bits) {
  EXPECT_EQ(HresultFromWin32(0), S_OK);
  EXPECT_EQ(HresultFromWin32(5), MakeHresult(0x80070005));
  EXPECT_EQ(HresultFromWin32(0x12345), MakeHresult(0x80072345));
}

// Whatever number an errno gives must come back as an errno that gives the same
// number, so that a stored code's system message names the same condition.
TEST(ErrorMap, EveryMappedErrnoRoundTrips) {
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

TEST(ErrorMap, CanonicalErrnoForSharedNumbers) {
  EXPECT_EQ(ErrnoFromWin32(kErrorAccessDenied), EACCES);
  EXPECT_EQ(ErrnoFromWin32(kErrorDiskFull), ENOSPC);
  EXPECT_EQ(ErrnoFromWin32(4), EMFILE);
  // Numbers only a Windows build produces still read back.
  EXPECT_EQ(ErrnoFromWin32(kErrorNotEnoughMemory), ENOMEM);
  EXPECT_EQ(ErrnoFromWin32(80), EEXIST);  // ERROR_FILE_EXISTS
}

TEST(ErrorMap, SystemMessage) {
  EXPECT_EQ(SystemMessage(kErrorAccessDenied), strerror(EACCES));
  EXPECT_EQ(SystemMessage(kErrorFileNotFound), strerror(ENOENT));
  EXPECT_EQ(SystemMessage(0), strerror(0));
  EXPECT_EQ(SystemMessage(0x4005), "");  // low half of E_FAIL: no such number
  EXPECT_EQ(SystemMessage(0xFFFF), "");
  EXPECT_EQ(ErrnoText(ENOSPC), strerror(ENOSPC));
  EXPECT_FALSE(ErrnoText(99999).empty());
}

}  // namespace
}  // namespace tobric::platform
