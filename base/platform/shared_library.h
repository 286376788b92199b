// Shared libraries loaded at run time, for optional components that the
// program works without (the P2P engine).
#ifndef BASE_PLATFORM_SHARED_LIBRARY_H_
#define BASE_PLATFORM_SHARED_LIBRARY_H_

#include <string>

namespace tobric::platform {

// An opaque handle of a loaded library; null when none.
using SharedLibraryHandle = void*;

// Loads the library by name (a bare name is looked for along the program's
// run path, then the usual search order) and resolves all its symbols at once,
// so that a library with an unresolvable dependency fails here and not in the
// middle of a call. Null on failure, with the loader's text in *error. The
// library stays loaded until the process ends: there is no unload, since
// threads the library started may still run its code. Any thread.
[[nodiscard]] SharedLibraryHandle LoadSharedLibrary(const std::string& name, std::string* error);

// The address of an exported function or object of a loaded library; null when
// the library does not export the name. Any thread.
[[nodiscard]] void* FindLibrarySymbol(SharedLibraryHandle library, const char* name);

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_SHARED_LIBRARY_H_
