#include <dlfcn.h>

#include "base/platform/shared_library.h"

namespace tobric::platform {

SharedLibraryHandle LoadSharedLibrary(const std::string& name, std::string* error) {
  // The loader's message is per thread and cleared when read: clear a stale one
  // first, so the text reported belongs to this load.
  dlerror();
  void* const library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr && error != nullptr) {
    const char* const text = dlerror();
    *error = text != nullptr ? text : "unknown loader error";
  }
  return library;
}

void* FindLibrarySymbol(SharedLibraryHandle library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return dlsym(library, name);
}

}  // namespace tobric::platform
