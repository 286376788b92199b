#include "base/platform/stack_trace.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>

#include <algorithm>

#include "base/platform/process.h"

namespace tobric::platform {

// Not inlined, so that __builtin_return_address(0) is an address in the caller.
__attribute__((noinline)) size_t CaptureStackTrace(uint64_t* addresses, size_t max_count) {
  max_count = std::min(max_count, kMaxStackFrames);
  // Room for this function's own frame and for one of an intercepting backtrace
  // (sanitizers wrap it), both skipped below.
  void* frames[kMaxStackFrames + 2];
  const int captured = backtrace(frames, static_cast<int>(max_count) + 2);
  if (captured <= 0) return 0;
  const void* caller = __builtin_return_address(0);
  size_t first = 0;
  while (first < static_cast<size_t>(captured) && frames[first] != caller) ++first;
  if (first == static_cast<size_t>(captured)) first = std::min<size_t>(1, first);
  const size_t count = std::min(static_cast<size_t>(captured) - first, max_count);
  for (size_t i = 0; i < count; ++i) {
    addresses[i] = reinterpret_cast<uintptr_t>(frames[first + i]);
  }
  return count;
}

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  link_map* module = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) == 0) {
    return std::string();
  }
  // The program itself has no name in the loader's list (dladdr would answer with
  // argv[0], which a symbolic link or a relative start makes unreliable).
  if (module != nullptr && (module->l_name == nullptr || module->l_name[0] == '\0')) {
    return ProgramPath();
  }
  return info.dli_fname == nullptr ? std::string() : std::string(info.dli_fname);
}

}  // namespace tobric::platform
