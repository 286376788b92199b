// Return addresses of the calling thread's stack, and the module an address
// belongs to, for trace records and crash reports.
#ifndef BASE_PLATFORM_STACK_TRACE_H_
#define BASE_PLATFORM_STACK_TRACE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace tobric::platform {

inline constexpr size_t kMaxStackFrames = 32;

// Fills addresses with up to max_count (at most kMaxStackFrames) return addresses,
// innermost first, starting with the caller of this function; returns how many.
// May allocate on its first call in a process (the unwinder is loaded then).
size_t CaptureStackTrace(uint64_t* addresses, size_t max_count);

// Full path of the program file or shared library whose code or data holds
// address; empty when no loaded module does.
[[nodiscard]] std::string ModulePathOf(const void* address);

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_STACK_TRACE_H_
