// The running process: ids and the program file.
#ifndef BASE_PLATFORM_PROCESS_H_
#define BASE_PLATFORM_PROCESS_H_

#include <cstdint>
#include <string>

namespace tobric::platform {

[[nodiscard]] uint32_t ProcessId();
// The kernel's id of the calling thread (gettid), as in log line prefixes.
[[nodiscard]] uint32_t ThreadId();
[[nodiscard]] uint32_t UserId();

// Full path of the program file (/proc/self/exe).
[[nodiscard]] std::string ProgramPath();
// Folder of the program file, without a trailing separator.
[[nodiscard]] std::string ProgramFolder();
// Base name of the program file without folder and extension ("corvaned").
[[nodiscard]] std::string ProgramBaseName();

// Gives the memory the allocator holds free back to the system (malloc_trim):
// after a burst of short-lived allocations, such as reading a long download
// list, the process would otherwise keep that peak for its whole life.
void ReturnFreeMemory();

// Caps the allocator's arenas at `count`. By default every thread that
// allocates may get an arena of its own, and each keeps the buffers its
// thread freed resident; a service whose many threads mostly wait, and whose
// transfers run on whichever pool thread is free, otherwise holds one
// transfer's buffers per thread that ever ran one. Call before threads start.
void LimitAllocatorArenas(int count);

// Has this program run with `name` set to `value` from its very start, when
// the dynamic loader runs the libraries' own start-up code, which reads its
// settings before main. When `name` is unset, sets it and starts the program
// file again in this process (execv, the same arguments); the new start finds
// it set, removes it so that child processes start as usual, and returns. A
// start that fails leaves the program going on as it is. Call before any
// thread exists.
void RunWithLoaderEnvironment(const char* name, const char* value);

// Value of an environment variable, empty when unset.
[[nodiscard]] std::string GetEnv(const char* name);

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_PROCESS_H_
