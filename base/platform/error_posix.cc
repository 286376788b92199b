#include "base/platform/error.h"

#include <errno.h>
#include <string.h>

#include <atomic>
#include <cstddef>

namespace tobric::platform {

namespace {

struct ErrnoWin32 {
  int err;
  uint32_t win32;
};

// errno -> Win32. Where several errno values share a Win32 number, the first one
// listed is the one that number turns back into (ErrnoFromWin32), so the system
// message of a stored code reads as naturally as the platform allows.
constexpr ErrnoWin32 kErrnoToWin32[] = {
    {ENOENT, 2},           // ERROR_FILE_NOT_FOUND
    {ENOTDIR, 3},          // ERROR_PATH_NOT_FOUND
    {EMFILE, 4},           // ERROR_TOO_MANY_OPEN_FILES
    {ENFILE, 4},           // ERROR_TOO_MANY_OPEN_FILES
    {EACCES, 5},           // ERROR_ACCESS_DENIED
    {EPERM, 5},            // ERROR_ACCESS_DENIED
    {EBADF, 6},            // ERROR_INVALID_HANDLE
    {E2BIG, 10},           // ERROR_BAD_ENVIRONMENT
    {ENOEXEC, 11},         // ERROR_BAD_FORMAT
    {ENOMEM, 14},          // ERROR_OUTOFMEMORY
    {EXDEV, 17},           // ERROR_NOT_SAME_DEVICE
    {EROFS, 19},           // ERROR_WRITE_PROTECT
    {ENODEV, 20},          // ERROR_BAD_UNIT
    {ETXTBSY, 32},         // ERROR_SHARING_VIOLATION
    {EOPNOTSUPP, 50},      // ERROR_NOT_SUPPORTED (ENOTSUP is the same value)
    {EINVAL, 87},          // ERROR_INVALID_PARAMETER
    {EPIPE, 109},          // ERROR_BROKEN_PIPE
    {ENOSPC, 112},         // ERROR_DISK_FULL
    {EDQUOT, 112},         // ERROR_DISK_FULL
    {ENOSYS, 120},         // ERROR_CALL_NOT_IMPLEMENTED
    {ERANGE, 122},         // ERROR_INSUFFICIENT_BUFFER
    {ECHILD, 128},         // ERROR_WAIT_NO_CHILDREN
    {ESPIPE, 132},         // ERROR_SEEK_ON_DEVICE
    {ENOTEMPTY, 145},      // ERROR_DIR_NOT_EMPTY
    {EBUSY, 170},          // ERROR_BUSY
    {EEXIST, 183},         // ERROR_ALREADY_EXISTS
    {ENAMETOOLONG, 206},   // ERROR_FILENAME_EXCED_RANGE
    {EFBIG, 223},          // ERROR_FILE_TOO_LARGE
    {EISDIR, 336},         // ERROR_DIRECTORY_NOT_SUPPORTED
    {EOVERFLOW, 534},      // ERROR_ARITHMETIC_OVERFLOW
    {ECANCELED, 995},      // ERROR_OPERATION_ABORTED
    {EFAULT, 998},         // ERROR_NOACCESS
    {EILSEQ, 1113},        // ERROR_NO_UNICODE_TRANSLATION
    {EIO, 1117},           // ERROR_IO_DEVICE
    {EDEADLK, 1131},       // ERROR_POSSIBLE_DEADLOCK
    {EMLINK, 1142},        // ERROR_TOO_MANY_LINKS
    {ECONNREFUSED, 1225},  // ERROR_CONNECTION_REFUSED
    {ENETUNREACH, 1231},   // ERROR_NETWORK_UNREACHABLE
    {EHOSTUNREACH, 1232},  // ERROR_HOST_UNREACHABLE
    {ECONNABORTED, 1236},  // ERROR_CONNECTION_ABORTED
    {ETIMEDOUT, 1460},     // ERROR_TIMEOUT
    {ELOOP, 1921},         // ERROR_CANT_RESOLVE_FILENAME
    // Socket conditions without a general Win32 number use their Winsock numbers,
    // which share the same number space.
    {EINTR, 10004},            // WSAEINTR
    {EAGAIN, 10035},           // WSAEWOULDBLOCK (EWOULDBLOCK is the same value)
    {EINPROGRESS, 10036},      // WSAEINPROGRESS
    {EALREADY, 10037},         // WSAEALREADY
    {ENOTSOCK, 10038},         // WSAENOTSOCK
    {EMSGSIZE, 10040},         // WSAEMSGSIZE
    {EPROTONOSUPPORT, 10043},  // WSAEPROTONOSUPPORT
    {EAFNOSUPPORT, 10047},     // WSAEAFNOSUPPORT
    {EADDRINUSE, 10048},       // WSAEADDRINUSE
    {EADDRNOTAVAIL, 10049},    // WSAEADDRNOTAVAIL
    {ENETDOWN, 10050},         // WSAENETDOWN
    {ENETRESET, 10052},        // WSAENETRESET
    {ECONNRESET, 10054},       // WSAECONNRESET
    {ENOBUFS, 10055},          // WSAENOBUFS
    {EISCONN, 10056},          // WSAEISCONN
    {ENOTCONN, 10057},         // WSAENOTCONN
    {ESHUTDOWN, 10058},        // WSAESHUTDOWN
    {EHOSTDOWN, 10064},        // WSAEHOSTDOWN
};

// Win32 numbers this platform never produces but may meet in codes stored or sent
// by a Windows build; they still get a system message.
constexpr ErrnoWin32 kWin32OnlyToErrno[] = {
    {ENOMEM, 8},            // ERROR_NOT_ENOUGH_MEMORY
    {EACCES, 33},           // ERROR_LOCK_VIOLATION
    {ENOSPC, 39},           // ERROR_HANDLE_DISK_FULL
    {EEXIST, 80},           // ERROR_FILE_EXISTS
    {ETIMEDOUT, 121},       // ERROR_SEM_TIMEOUT
    {ETIMEDOUT, 258},       // WAIT_TIMEOUT
    {ENOTDIR, 267},         // ERROR_DIRECTORY
    {ECANCELED, 1223},      // ERROR_CANCELLED
    {EBADF, 10009},         // WSAEBADF
    {EACCES, 10013},        // WSAEACCES
    {EFAULT, 10014},        // WSAEFAULT
    {EINVAL, 10022},        // WSAEINVAL
    {EMFILE, 10024},        // WSAEMFILE
    {EOPNOTSUPP, 10045},    // WSAEOPNOTSUPP
    {ENETUNREACH, 10051},   // WSAENETUNREACH
    {ECONNABORTED, 10053},  // WSAECONNABORTED
    {ETIMEDOUT, 10060},     // WSAETIMEDOUT
    {ECONNREFUSED, 10061},  // WSAECONNREFUSED
    {ELOOP, 10062},         // WSAELOOP
    {ENAMETOOLONG, 10063},  // WSAENAMETOOLONG
    {EHOSTUNREACH, 10065},  // WSAEHOSTUNREACH
    {ENOTEMPTY, 10066},     // WSAENOTEMPTY
};

// strerror_r has two signatures (GNU returns the text, XSI fills the buffer);
// these overloads accept whichever the C library declares.
[[maybe_unused]] const char* StrerrorResult(char* result, const char* /*buffer*/) { return result; }
[[maybe_unused]] const char* StrerrorResult(int rc, const char* buffer) {
  return rc == 0 ? buffer : "";
}

std::atomic<UnmappedErrnoReporter> unmapped_errno_reporter{nullptr};

}  // namespace

HRESULT HresultFromWin32(uint32_t error) {
  if (error == 0) return S_OK;
  return MakeHresult(0x80070000u | (error & 0xFFFFu));
}

uint32_t Win32FromErrno(int err) {
  for (const ErrnoWin32& entry : kErrnoToWin32) {
    if (entry.err == err) return entry.win32;
  }
  return 0;
}

void SetUnmappedErrnoReporter(UnmappedErrnoReporter reporter) {
  unmapped_errno_reporter.store(reporter);
}

HRESULT HresultFromErrno(int err) {
  const uint32_t win32 = Win32FromErrno(err);
  if (win32 != 0) return HresultFromWin32(win32);
  if (err != 0) {
    const UnmappedErrnoReporter reporter = unmapped_errno_reporter.load();
    if (reporter != nullptr) {
      // Callers may look at errno again after the mapping; logging must not move it.
      const int saved = errno;
      reporter(err, ErrnoText(err));
      errno = saved;
    }
  }
  return E_FAIL;
}

HRESULT LastErrorHresult() { return HresultFromErrno(errno); }

int ErrnoFromWin32(uint32_t error) {
  if (error == 0) return 0;
  for (const ErrnoWin32& entry : kErrnoToWin32) {
    if (entry.win32 == error) return entry.err;
  }
  for (const ErrnoWin32& entry : kWin32OnlyToErrno) {
    if (entry.win32 == error) return entry.err;
  }
  return 0;
}

std::string SystemMessage(uint32_t error) {
  if (error == 0) return ErrnoText(0);
  const int err = ErrnoFromWin32(error);
  if (err == 0) return std::string();
  return ErrnoText(err);
}

std::string ErrnoText(int err) {
  char buffer[256] = {};
  return std::string(StrerrorResult(strerror_r(err, buffer, sizeof(buffer)), buffer));
}

}  // namespace tobric::platform
