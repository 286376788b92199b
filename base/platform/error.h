// Platform error numbers as result codes.
//
// A platform error travels as HRESULT_FROM_WIN32 of its Win32 equivalent so that a
// code in a log line, on the wire or in download_list.db means the same on every
// platform. This is the one place where errno is mapped.
#ifndef BASE_PLATFORM_ERROR_H_
#define BASE_PLATFORM_ERROR_H_

#include <cstdint>
#include <string>

#include "base/result_codes.h"

namespace tobric::platform {

// Win32 error numbers the rest of the system names.
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorOutOfMemory = 14;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorTimeout = 1460;

// 0x80070000 | (error & 0xFFFF); 0 stays 0.
[[nodiscard]] HRESULT HresultFromWin32(uint32_t error);

// The Win32 number standing for an errno value, 0 when there is none.
[[nodiscard]] uint32_t Win32FromErrno(int err);

// HRESULT_FROM_WIN32 of the errno's Win32 number; E_FAIL when err is 0 or has no
// Win32 equivalent. The code no longer says which errno it was, so a non-zero
// errno without an equivalent is handed to the unmapped-errno reporter first.
[[nodiscard]] HRESULT HresultFromErrno(int err);

// Told of every non-zero errno that HresultFromErrno turns into E_FAIL, with
// its strerror text, on the thread that met it. This layer cannot log (the
// logger is built on it), so the logger installs the reporter; until then, or
// with null, nobody is told. Any thread may set it.
using UnmappedErrnoReporter = void (*)(int err, const std::string& text);
void SetUnmappedErrnoReporter(UnmappedErrnoReporter reporter);

// HresultFromErrno(errno), read at the call.
[[nodiscard]] HRESULT LastErrorHresult();

// The errno value a Win32 number stands for, 0 when there is none.
[[nodiscard]] int ErrnoFromWin32(uint32_t error);

// The system's message for a Win32 error number (strerror of its errno), empty when
// the number has no errno equivalent. Number 0 (success) has a message, as it has
// on Windows: strerror(0).
[[nodiscard]] std::string SystemMessage(uint32_t error);

// strerror text of an errno value, thread-safe.
[[nodiscard]] std::string ErrnoText(int err);

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_ERROR_H_
